// Writes payloads (quarn/payload.hpp). Two walks over the objects, both with
// a stack on the heap: the first counts how often each shared object is
// reached, the second writes the records in post-order, the first place of
// an object reached more than once as a record to remember, every later
// one as a reference. The payload depends only on the objects, never on who
// else holds them, so a tree read back writes the same bytes again.

#include <bit>
#include <string>
#include <unordered_map>
#include <vector>

#include "children.hpp"
#include "crc32.hpp"
#include "payload_format.hpp"
#include "quarn/payload.hpp"

namespace quarn {
namespace {

using namespace detail;
using namespace payload;

const Counted* object_of(const Value& value) noexcept { return value.cell_pointer(); }
const Counted* object_of(const Expr& tree) noexcept { return &tree.node(); }
const Counted* object_of(const Statement& tree) noexcept { return &tree.node(); }

Family family_of(const Value&) noexcept { return Family::Value; }
Family family_of(const Expr&) noexcept { return Family::Expr; }
Family family_of(const Statement&) noexcept { return Family::Statement; }

constexpr std::uint8_t kRefTags[] = {kValueRef, kExprRef, kStatementRef};
constexpr std::uint64_t kNotYet = ~std::uint64_t{0};

// A handle still to write: its family says what `handle` points to. Made
// in place on the stack (a copy assembled field by field and moved in
// whole makes the processor wait).
struct Place {
    Place(Family f, bool e, const void* h) noexcept : family(f), expanded(e), handle(h) {}
    Family family;
    bool expanded;  // its children are written or on the stack
    const void* handle;
};

class Writer {
public:
    Writer(FunctionSink sink, void* context) : sink_(sink), context_(context) {}

    void header(Holds holds) {
        out_.push_back(static_cast<char>(kPayloadVersion));
        out_.push_back(static_cast<char>(holds));
    }
    template <class Handle>
    void count(const Handle& root);
    template <class Handle>
    void write(const Handle& root);
    void name(IdentifierView id);
    void varint(std::uint64_t n);
    void tag(std::uint8_t t) { out_.push_back(static_cast<char>(t)); }
    std::string take() {
        std::uint32_t sum = crc32(out_);
        for (int i = 0; i < kChecksumBytes; ++i, sum >>= 8) out_.push_back(static_cast<char>(sum & 0xFF));
        return std::move(out_);
    }

private:
    // How often an object that has more than one holder is reached, and
    // its index in its family's table once it is written.
    struct Seen {
        std::uint64_t uses = 0;
        std::uint64_t index = kNotYet;
    };
    Seen* seen(const Counted* object);
    bool first_reached(const Counted* object);
    template <class Handle>
    void step(const Handle& handle, bool expanded);
    bool referred(const Counted* object, Family family);
    std::uint8_t remembered(const Counted* object, Family family);
    void record(const Value& value, std::uint8_t flag);
    void record(const Expr& tree, std::uint8_t flag);
    void record(const Statement& tree, std::uint8_t flag);
    void function(const QuarnFunction& f);

    std::string out_;
    std::unordered_map<const Counted*, Seen> seen_;
    std::unordered_map<std::string_view, std::uint64_t> names_;
    std::uint64_t tables_[3] = {};
    std::uint64_t functions_ = 0;
    std::vector<Place> pending_;
    FunctionSink sink_;
    void* context_;
};

// An object with a single holder is reached only through it, so only the
// others need counting.
Writer::Seen* Writer::seen(const Counted* object) {
    if (object->refs.load(std::memory_order_relaxed) == 1) return nullptr;
    auto found = seen_.find(object);
    return found == seen_.end() ? nullptr : &found->second;
}

bool Writer::first_reached(const Counted* object) {
    if (object->refs.load(std::memory_order_relaxed) == 1) return true;
    return ++seen_[object].uses == 1;
}

template <class Handle>
void Writer::count(const Handle& root) {
    const Counted* first = object_of(root);
    if (!first || !first_reached(first)) return;
    std::vector<const Counted*> pending{first};
    while (!pending.empty()) {
        const Counted* object = pending.back();
        pending.pop_back();
        for_each_child(*object, [&](const auto& child) {
            const Counted* inner = object_of(child);
            if (inner && first_reached(inner)) pending.push_back(inner);
        });
    }
}

template <class Handle>
void Writer::write(const Handle& root) {
    pending_.emplace_back(family_of(root), false, &root);
    while (!pending_.empty()) {
        Place place = pending_.back();
        pending_.pop_back();
        switch (place.family) {
        case Family::Value: step(*static_cast<const Value*>(place.handle), place.expanded); break;
        case Family::Expr: step(*static_cast<const Expr*>(place.handle), place.expanded); break;
        case Family::Statement: step(*static_cast<const Statement*>(place.handle), place.expanded); break;
        }
    }
}

// A handle met for the first time is written after its children, which go
// on the stack above it, last first, so that they are written first to last.
template <class Handle>
void Writer::step(const Handle& handle, bool expanded) {
    const Counted* object = object_of(handle);
    Family family = family_of(handle);
    if (expanded) return record(handle, object ? remembered(object, family) : 0);
    if (object && referred(object, family)) return;
    pending_.emplace_back(family, true, &handle);
    if (object) {
        for_each_child<Order::Reverse>(*object, [&](const auto& child) {
            pending_.emplace_back(family_of(child), false, &child);
        });
    }
}

bool Writer::referred(const Counted* object, Family family) {
    Seen* known = seen(object);
    if (!known || known->index == kNotYet) return false;
    tag(kRefTags[static_cast<int>(family)]);
    varint(known->index);
    return true;
}

std::uint8_t Writer::remembered(const Counted* object, Family family) {
    Seen* known = seen(object);
    if (!known || known->uses < 2) return 0;
    known->index = tables_[static_cast<int>(family)]++;
    return kRemember;
}

void Writer::varint(std::uint64_t n) {
    while (n >= 0x80) {
        out_.push_back(static_cast<char>(n | 0x80));
        n >>= 7;
    }
    out_.push_back(static_cast<char>(n));
}

void Writer::name(IdentifierView id) {
    if (id.is_u()) {
        varint(0);
        return varint(id.u());
    }
    auto [at, added] = names_.try_emplace(id.s(), names_.size());
    if (!added) return varint((at->second + 1) * 2);
    varint(id.s().size() * 2 + 1);
    out_.append(id.s());
}

void Writer::function(const QuarnFunction& f) {
    sink_(f, context_);
    varint(functions_++);
}

void Writer::record(const Value& value, std::uint8_t flag) {
    switch (value.kind()) {
    case Kind::Null: return tag(kNull | flag);
    case Kind::Boolean: return tag((value.as_bool() ? kTrue : kFalse) | flag);
    case Kind::Number:
        if (value.is_int()) {
            tag(kInteger | flag);
            return varint(zigzag(value.as_int()));
        }
        tag(kFloat | flag);
        for (std::uint64_t bits = std::bit_cast<std::uint64_t>(value.as_number().f), i = 0; i < 8; ++i, bits >>= 8)
            out_.push_back(static_cast<char>(bits & 0xFF));
        return;
    case Kind::String:
        tag(kText | flag);
        varint(value.as_string().size());
        out_.append(value.as_string());
        return;
    case Kind::Vector:
        tag(kVector | flag);
        return varint(value.as_vector().size());
    case Kind::Function:
        tag(kFunction | flag);
        return function(value.as_function());
    }
}

void Writer::record(const Expr& tree, std::uint8_t flag) {
    const ExprNode& node = tree.node();
    switch (node.kind) {
    case CellKind::Literal: return tag(kLiteral | flag);
    case CellKind::Ident:
        tag(kIdent | flag);
        return name(static_cast<const IdentNode&>(node).id.id);
    case CellKind::BinaryOp: return tag((kAdd + static_cast<int>(static_cast<const PairNode&>(node).op)) | flag);
    case CellKind::Equals: return tag(kEquals | flag);
    case CellKind::GreaterThan: return tag(kGreaterThan | flag);
    case CellKind::LessThan: return tag(kLessThan | flag);
    case CellKind::Not: return tag(kNot | flag);
    case CellKind::Call:
        tag(kCall | flag);
        return name(static_cast<const CallNode&>(node).ident.id);
    case CellKind::VectorExpr:
        tag(kVectorExpr | flag);
        return varint(static_cast<const VectorNode&>(node).count);
    default: return;  // not an expression
    }
}

void Writer::record(const Statement& tree, std::uint8_t flag) {
    const StatementNode& node = tree.node();
    switch (node.kind) {
    case CellKind::Let:
        tag(kLet | flag);
        return name(static_cast<const LetNode&>(node).ident.id);
    case CellKind::If: {
        auto& branch = static_cast<const IfNode&>(node);
        tag(kIf | flag);
        varint(branch.then.size());
        return varint(branch.otherwise.size());
    }
    case CellKind::Fn: {
        auto& fn = static_cast<const FnNode&>(node);
        tag(kFn | flag);
        name(fn.ident.id);
        return function(*fn.f);
    }
    default: return;  // not a statement
    }
}

template <class Tree>
std::string tree_payload(const Tree& tree, Holds holds, FunctionSink sink, void* context) {
    Writer writer(sink, context);
    writer.header(holds);
    writer.count(tree);
    writer.write(tree);
    return writer.take();
}

}  // namespace

std::string to_payload(const Expr& tree, FunctionSink sink, void* context) {
    return tree_payload(tree, Holds::Expr, sink, context);
}

std::string to_payload(const Statement& tree, FunctionSink sink, void* context) {
    return tree_payload(tree, Holds::Statement, sink, context);
}

// The values as the table holds them at the start; a value shared by
// several variables is written once.
std::string to_payload(const Machine& machine, FunctionSink sink, void* context) {
    Writer writer(sink, context);
    writer.header(Holds::Machine);
    writer.varint(machine.limits.max_operations);
    writer.varint(machine.limits.max_value_size);
    auto entries = machine.vars.entries();
    for (const auto& entry : entries) writer.count(entry.second);
    for (const auto& [binding, value] : entries) {
        writer.write(value);
        writer.tag(kBind);
        writer.name(binding->id);
    }
    return writer.take();
}

}  // namespace quarn
