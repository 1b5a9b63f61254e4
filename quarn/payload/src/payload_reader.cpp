// Reads payloads (quarn/payload.hpp) back into trees and machines. The bytes
// may come from anywhere, so every number is checked before it is used: a
// count against what the stacks hold, a length against the bytes left, an
// index against its table. Nothing is allocated that the bytes read so far
// do not pay for, so the work and memory grow at most linearly with the
// payload's size. Objects are made by the same constructors the builders
// use, so what a tree records about itself (what reaches a function, which
// statements append) is worked out again, never read.

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "crc32.hpp"
#include "payload_format.hpp"
#include "quarn/payload.hpp"

namespace quarn {
namespace {

using namespace payload;

// Whether the bytes are UTF-8 as Python's codec accepts it: no overlong
// forms, no surrogates, nothing past U+10FFFF. Every text in the core is.
bool valid_utf8(std::string_view text) noexcept {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    for (std::size_t i = 0; i < text.size();) {
        unsigned char lead = byte(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (lead < 0xC2 || lead > 0xF4 || text.size() - i < length) return false;
        // The second byte's range rules out overlong forms, surrogates and
        // code points past U+10FFFF.
        unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
        unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        if (byte(i + 1) < low || byte(i + 1) > high) return false;
        for (std::size_t k = 2; k < length; ++k)
            if ((byte(i + k) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

template <class T>
struct Stack {
    std::vector<T> items;
    std::vector<T> table;  // the remembered objects, by index
};

class Reader {
public:
    Reader(std::string_view bytes, PayloadFunctions functions)
        : start_(bytes.data()), at_(bytes.data()), end_(bytes.data() + bytes.size()), functions_(functions) {}

    Holds header(bool machine);
    void check_sum();
    Limits limits() { return {varint(), varint()}; }
    void records(Machine* machine);
    template <class T>
    T result(Stack<T>& stack, const char* kind);
    Expr expression_result() { return result(exprs_, "expression"); }
    Statement statement_result() { return result(statements_, "statement"); }
    void nothing_left();

private:
    [[noreturn]] void bad(const std::string& why) const;
    std::uint8_t byte();
    std::uint64_t varint();
    std::string_view bytes(std::uint64_t n);
    std::string_view text(std::uint64_t n);
    Identifier name();
    std::unique_ptr<QuarnFunction> function();
    template <class T>
    std::span<T> top(Stack<T>& stack, std::uint64_t n);
    template <class T>
    T pop(Stack<T>& stack) {
        T item = std::move(top(stack, 1)[0]);
        stack.items.pop_back();
        return item;
    }
    template <class T>
    void drop(Stack<T>& stack, std::size_t n) {
        stack.items.erase(stack.items.end() - static_cast<std::ptrdiff_t>(n), stack.items.end());
    }
    template <class T>
    T remembered(Stack<T>& stack);
    template <class T>
    void push(Stack<T>& stack, T item, bool remember);
    Value value(std::uint8_t tag);
    Value vector();
    Expr expression(std::uint8_t tag);
    Expr pair(std::uint8_t tag);
    Statement statement(std::uint8_t tag);
    Statement branch();
    void bind(Machine* machine);
    std::size_t left() const noexcept;

    const char* start_;
    const char* at_;
    const char* end_;
    const char* record_ = nullptr;  // where the record being read starts
    PayloadFunctions functions_;
    Stack<Value> values_;
    Stack<Expr> exprs_;
    Stack<Statement> statements_;
    std::vector<std::string> names_;
};

void Reader::bad(const std::string& why) const {
    std::string where = record_ ? " (in the record at byte " + std::to_string(record_ - start_) + ")" : "";
    throw BadPayload("invalid payload: " + why + where);
}

std::uint8_t Reader::byte() {
    if (at_ == end_) bad("it ends inside a record");
    return static_cast<std::uint8_t>(*at_++);
}

std::uint64_t Reader::varint() {
    std::uint64_t n = 0;
    for (int shift = 0;; shift += 7) {
        std::uint8_t b = byte();
        if (shift == 63 && b > 1) bad("a number does not fit in 64 bits");
        n |= std::uint64_t{b & 0x7Fu} << shift;
        if (!(b & 0x80)) return n;
    }
}

std::string_view Reader::bytes(std::uint64_t n) {
    if (n > static_cast<std::uint64_t>(end_ - at_)) bad("a length of " + std::to_string(n) + " goes past its end");
    std::string_view out(at_, n);
    at_ += n;
    return out;
}

std::string_view Reader::text(std::uint64_t n) {
    std::string_view out = bytes(n);
    if (!valid_utf8(out)) bad("a text is not UTF-8");
    return out;
}

Identifier Reader::name() {
    std::uint64_t h = varint();
    if (h == 0) return Identifier::U(varint());
    if (h & 1) return Identifier::S(names_.emplace_back(text(h >> 1)));
    if (h / 2 - 1 >= names_.size()) bad("name " + std::to_string(h / 2 - 1) + " is not in the table of names");
    return Identifier::S(names_[h / 2 - 1]);
}

std::unique_ptr<QuarnFunction> Reader::function() {
    std::uint64_t n = varint();
    if (n >= functions_.size())
        bad("function " + std::to_string(n) + " is not among the " + std::to_string(functions_.size()) + " given");
    return functions_[n]->clone_box();
}

// The last n items of the stack; at least n must be there.
template <class T>
std::span<T> Reader::top(Stack<T>& stack, std::uint64_t n) {
    if (n > stack.items.size())
        bad("the record takes " + std::to_string(n) + " objects where " + std::to_string(stack.items.size()) +
            " precede it");
    return std::span<T>(stack.items).last(n);
}

template <class T>
T Reader::remembered(Stack<T>& stack) {
    std::uint64_t index = varint();
    if (index >= stack.table.size())
        bad("the record refers to object " + std::to_string(index) + " of " + std::to_string(stack.table.size()));
    return stack.table[index];
}

template <class T>
void Reader::push(Stack<T>& stack, T item, bool remember) {
    if (remember) stack.table.push_back(item);
    stack.items.push_back(std::move(item));
}

Value Reader::vector() {
    std::uint64_t n = varint();
    Value made = Value::vector(top(values_, n));
    drop(values_, n);
    return made;
}

Value Reader::value(std::uint8_t tag) {
    switch (tag) {
    case kNull: return Value();
    case kFalse: return Value::boolean(false);
    case kTrue: return Value::boolean(true);
    case kInteger: return Value::integer(unzigzag(varint()));
    case kFloat: {
        std::uint64_t bits = 0;
        std::string_view raw = bytes(8);
        for (int i = 7; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(raw[i]);
        return Value::real(std::bit_cast<double>(bits));
    }
    case kText: return Value::string(text(varint()));
    case kVector: return vector();
    case kFunction: return Value::function(function());
    case kValueRef: return remembered(values_);
    }
    bad("the record's tag " + std::to_string(tag) + " is unknown");
}

Expr Reader::pair(std::uint8_t tag) {
    Expr right = pop(exprs_);
    Expr left = pop(exprs_);
    switch (tag) {
    case kEquals: return Expr::equals(std::move(left), std::move(right));
    case kGreaterThan: return Expr::greater_than(std::move(left), std::move(right));
    case kLessThan: return Expr::less_than(std::move(left), std::move(right));
    default: return Expr::binary_op(std::move(left), static_cast<Operator>(tag - kAdd), std::move(right));
    }
}

Expr Reader::expression(std::uint8_t tag) {
    switch (tag) {
    case kLiteral: return Expr::literal(pop(values_));
    case kIdent: return Expr::ident(name());
    case kAdd:
    case kSub:
    case kMul:
    case kDiv:
    case kEquals:
    case kGreaterThan:
    case kLessThan: return pair(tag);
    case kNot: return Expr::not_(pop(exprs_));
    case kCall: {
        Identifier ident = name();
        return Expr::call(std::move(ident), pop(exprs_));
    }
    case kVectorExpr: {
        std::uint64_t n = varint();
        Expr made = Expr::vector(top(exprs_, n));
        drop(exprs_, n);
        return made;
    }
    case kExprRef: return remembered(exprs_);
    }
    bad("the record's tag " + std::to_string(tag) + " is unknown");
}

Statement Reader::branch() {
    std::uint64_t then = varint(), otherwise = varint(), held = statements_.items.size();
    if (then > held || otherwise > held - then)
        bad("the record takes " + std::to_string(then) + " and " + std::to_string(otherwise) + " statements where " +
            std::to_string(held) + " precede it");
    std::span<Statement> lists = top(statements_, then + otherwise);
    Program first(lists.begin(), lists.begin() + static_cast<std::ptrdiff_t>(then));
    Program second(lists.begin() + static_cast<std::ptrdiff_t>(then), lists.end());
    drop(statements_, lists.size());
    return Statement::if_(pop(exprs_), std::move(first), std::move(second));
}

Statement Reader::statement(std::uint8_t tag) {
    switch (tag) {
    case kLet: {
        Identifier ident = name();
        return Statement::let(std::move(ident), pop(exprs_));
    }
    case kIf: return branch();
    case kFn: {
        Identifier ident = name();
        return Statement::fn(std::move(ident), function());
    }
    case kStatementRef: return remembered(statements_);
    }
    bad("the record's tag " + std::to_string(tag) + " is unknown");
}

void Reader::bind(Machine* machine) {
    if (!machine) bad("a tree has no variables to bind");
    Identifier ident = name();
    machine->vars.insert(std::move(ident), pop(values_));
}

// What the payload holds: a machine if `machine`, otherwise a tree.
Holds Reader::header(bool machine) {
    if (at_ == end_) bad("it is empty");
    std::uint8_t version = byte();
    if (version != kPayloadVersion)
        bad("its version is " + std::to_string(version) + "; this velmo reads version " +
            std::to_string(kPayloadVersion));
    check_sum();
    std::uint8_t holds = byte();
    if (holds > static_cast<std::uint8_t>(Holds::Machine)) bad("it holds an unknown kind " + std::to_string(holds));
    if (machine != (holds == static_cast<std::uint8_t>(Holds::Machine)))
        bad(machine ? "it holds a tree, not a machine" : "it holds a machine, not a tree");
    return static_cast<Holds>(holds);
}

// After the version, which a later format may change with the rest: the
// records end where the checksum begins.
void Reader::check_sum() {
    if (end_ - at_ < 1 + kChecksumBytes) bad("it ends before its checksum");
    end_ -= kChecksumBytes;
    std::uint32_t stored = 0;
    for (int i = kChecksumBytes - 1; i >= 0; --i) stored = (stored << 8) | static_cast<unsigned char>(end_[i]);
    if (stored != crc32({start_, static_cast<std::size_t>(end_ - start_)}))
        bad("its checksum does not match its bytes: they were changed or cut short");
}

void Reader::records(Machine* machine) {
    while (at_ != end_) {
        record_ = at_;
        std::uint8_t tag = byte();
        bool remember = tag & kRemember;
        tag &= ~kRemember;
        bool reference = tag == kValueRef || tag == kExprRef || tag == kStatementRef;
        if (remember && (reference || tag == kBind)) bad("a reference or binding cannot be remembered");
        if (tag < kExprTags) {
            push(values_, value(tag), remember);
        } else if (tag < kStatementTags) {
            push(exprs_, expression(tag), remember);
        } else if (tag < kMachineTags) {
            push(statements_, statement(tag), remember);
        } else {
            if (tag != kBind) bad("the record's tag " + std::to_string(tag) + " is unknown");
            bind(machine);
        }
    }
    record_ = nullptr;
}

std::size_t Reader::left() const noexcept {
    return values_.items.size() + exprs_.items.size() + statements_.items.size();
}

// The one object left, on its stack.
template <class T>
T Reader::result(Stack<T>& stack, const char* kind) {
    if (stack.items.size() != 1 || left() != 1)
        bad(std::string("it must end with one ") + kind + " and ends with " + std::to_string(left()) + " objects");
    return pop(stack);
}

void Reader::nothing_left() {
    if (left() != 0) bad("a machine's payload ends with " + std::to_string(left()) + " objects left unbound");
}

}  // namespace

std::variant<Expr, Statement> tree_from_payload(std::string_view bytes, PayloadFunctions functions) {
    Reader reader(bytes, functions);
    Holds holds = reader.header(false);
    reader.records(nullptr);
    if (holds == Holds::Expr) return reader.expression_result();
    return reader.statement_result();
}

Machine machine_from_payload(std::string_view bytes, PayloadFunctions functions, Writers writers) {
    Reader reader(bytes, functions);
    reader.header(true);
    Machine machine = Machine::create(reader.limits(), writers);
    reader.records(&machine);
    reader.nothing_left();
    return machine;
}

}  // namespace quarn
