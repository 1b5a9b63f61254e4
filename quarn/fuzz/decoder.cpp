#include "decoder.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "checks.hpp"
#include "edge_cases.hpp"
#include "fuzz_function.hpp"
#include "name_pool.hpp"
#include "quarn/debug.hpp"
#include "work_bound.hpp"

namespace quarn::fuzz {
namespace {

constexpr std::size_t kMaxNodes = 150'000;  // nodes and cells one input may build
constexpr std::size_t kMaxPrograms = 8;
constexpr std::size_t kMaxResults = 4;
constexpr std::uint64_t kWeightLimit = std::uint64_t(1) << 21;  // Huge's largest text fits
constexpr std::uint64_t kLightWeight = 1 + 4 * (1 + 16);  // the most Reenter hands back
constexpr std::uint64_t kWorkLimit = std::uint64_t(1) << 22;

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool done() const { return pos_ >= bytes_.size(); }
    std::size_t pos() const { return pos_; }
    void skip(std::size_t n) { pos_ = std::min(bytes_.size(), pos_ + n); }
    std::uint8_t u8() { return done() ? 0 : bytes_[pos_++]; }
    std::uint16_t u16() {
        std::uint16_t low = u8();
        return static_cast<std::uint16_t>(low | (u8() << 8));
    }
    // A repeat count from two bytes: below 1024 unless the high byte is
    // 0xC0 or more, then up to 65532 in steps of 4. Random bytes mostly give
    // small counts, so long chains stay a quarter of the inputs.
    std::size_t count() {
        std::uint16_t n = u16();
        return n >= 0xC000 ? std::size_t(n & 0x3FFF) * 4 : n % 1024;
    }
    std::uint64_t u64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t(u8()) << (8 * i);
        return v;
    }
    std::string text(std::size_t n) {
        std::size_t take = std::min(n, bytes_.size() - pos_);
        std::string s(reinterpret_cast<const char*>(bytes_.data() + pos_), take);
        pos_ += take;
        return s;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

std::size_t operand_bytes(Op op) {
    switch (op) {
    case Op::Null:
    case Op::Literal:
    case Op::Not:
    case Op::If:
    case Op::Else:
    case Op::End:
    case Op::EndProgram: return 0;
    case Op::RawInt:
    case Op::RawReal: return 8;
    case Op::WrapValue:
    case Op::Repeat:
    case Op::RepeatStatement: return 2;
    case Op::FunctionValue:
    case Op::NestStatement:
    case Op::LetMany: return 3;
    default: return 1;
    }
}

// Reads past one opcode and its operands without building anything; returns
// the behaviour it makes when it is a FunctionValue.
std::optional<Behaviour> skip_step(Reader& in) {
    auto op = static_cast<Op>(in.u8() % static_cast<int>(Op::Count));
    if (op == Op::Text) {
        in.skip(in.u8());
    } else if (op == Op::FunctionValue) {
        auto behaviour = static_cast<Behaviour>(in.u8() % static_cast<int>(Behaviour::Count));
        in.skip(2);
        return behaviour;
    } else {
        in.skip(operand_bytes(op));
    }
    return std::nullopt;
}

// Whether the input may make a Pair function, whose result doubles the
// weight of its argument; read ahead so that calls built before the function
// already count it.
bool makes_pairs(std::span<const std::uint8_t> bytes) {
    Reader in(bytes);
    while (!in.done())
        if (skip_step(in) == Behaviour::Pair) return true;
    return false;
}

struct FValue {
    Value value;
    std::uint64_t weight;  // 1 + text length, or 1 + the items' weights
    std::uint32_t id;
};

struct FExpr {
    Expr expr;
    Form weight;  // of the value it produces
    Form work;    // of evaluating it
    bool text;    // whether it may produce a text (so `+` may concatenate)
    std::uint32_t id;
};

struct FStmt {
    Statement statement;
    Form work;
    std::uint32_t id;
};

// A statement list being built: the program itself, or an if's two lists.
struct Frame {
    std::optional<FExpr> cond;  // empty for the program
    std::vector<FStmt> lists[2];
    bool in_else = false;
    std::vector<FStmt>& current() { return lists[in_else]; }
};

// The last wrapping step, which Repeat applies again to the top expression.
struct Wrap {
    Op kind = Op::Count;
    Operator op = Operator::Add;
    bool right = false;         // the wrapped node is the right operand
    int name = 0;               // Call
    std::vector<FExpr> others;  // the fixed operand, or the other vector items
};

const char* operator_name(Operator op) {
    static const char* const names[] = {"Add", "Sub", "Mul", "Div"};
    return names[static_cast<int>(op)];
}

std::string name_text(int name) { return debug_string(pooled_name(name)); }

Form sum_work(const std::vector<FStmt>& list) {
    Form total;
    for (const FStmt& s : list) total += s.work;
    return total;
}

// "[s1, s2 x 70, s5 to s9]": a repeated statement is listed once with its
// count, and a run of consecutive statements by its ends.
std::string list_text(const std::vector<FStmt>& list) {
    std::string out;
    for (std::size_t i = 0; i < list.size();) {
        std::size_t same = i, next = i;
        while (same < list.size() && list[same].id == list[i].id) ++same;
        while (next + 1 < list.size() && list[next + 1].id == list[next].id + 1) ++next;
        out += (out.empty() ? "s" : ", s") + std::to_string(list[i].id);
        if (same - i > 1) {
            out += " x " + std::to_string(same - i);
            i = same;
        } else if (next - i > 1) {
            out += " to s" + std::to_string(list[next].id);
            i = next + 1;
        } else {
            ++i;
        }
    }
    return "[" + out + "]";
}

Program statements_of(const std::vector<FStmt>& list) {
    Program program;
    program.reserve(list.size());
    for (const FStmt& s : list) program.push_back(s.statement);
    return program;
}

}  // namespace

class Decoder {
public:
    Decoder(Context& context, std::FILE* trace, bool pairs) : ctx_(context), trace_(trace), pairs_(pairs) {
        frames_.emplace_back();
    }

    void step(Reader& in) {
        auto op = static_cast<Op>(in.u8() % static_cast<int>(Op::Count));
        if (op < Op::Literal) return value_op(op, in);
        if (op < Op::Let) return expr_op(op, in);
        statement_op(op, in);
    }

    Verdict finish();

private:
    // ------------------------------------------------------------ trace
    // Builds the line only when there is a listing to write it to. Each line
    // goes out at once, so a crash while decoding still leaves the steps
    // before it.
    template <class Line>
    void note(Line&& line) {
        if (!trace_) return;
        std::fprintf(trace_, "%s\n", std::string(line()).c_str());
        std::fflush(trace_);
    }
    static std::string v(std::uint32_t id) { return "v" + std::to_string(id); }
    static std::string e(std::uint32_t id) { return "e" + std::to_string(id); }
    static std::string s(std::uint32_t id) { return "s" + std::to_string(id); }

    std::size_t left() const { return nodes_ >= kMaxNodes ? 0 : kMaxNodes - nodes_; }
    // A name that is not UTF-8 makes debug forms that are not either.
    void use_name(int name) {
        const Identifier& id = pooled_name(name);
        if (!id.is_u() && !is_utf8(id.s())) ctx_.valid_text = false;
    }

    // Nodes, cells and vector items built so far stay under kMaxNodes.
    bool room(std::size_t nodes) {
        if (nodes_ + nodes > kMaxNodes) return false;
        nodes_ += nodes;
        return true;
    }

    // ----------------------------------------------------------- values
    void value_op(Op op, Reader& in);
    void push_value(Value value, std::uint64_t weight);
    void push_scalar(Value value) {
        push_value(std::move(value), 1);
        note([&] { return v(values_.back().id) + " = " + debug_string(values_.back().value); });
    }
    void push_text(std::string text);
    FValue pop_value();
    void vector_value(std::size_t n);
    void function_value(Reader& in);
    void wrap_value(std::size_t n);
    void copy_value(std::size_t k);
    void register_function(const FuzzFunction& f, std::uint64_t constant_weight);

    // ------------------------------------------------------ expressions
    void expr_op(Op op, Reader& in);
    void push_expr(FExpr x) { exprs_.push_back(std::move(x)); }
    FExpr pop_expr();
    FExpr literal(FValue value);
    FExpr ident(int name);
    FExpr pair(Op kind, Operator op, FExpr left, FExpr right);
    FExpr negation(FExpr item);
    FExpr call(int name, FExpr argument);
    FExpr vector(std::vector<FExpr> items);
    FExpr apply(const Wrap& wrap, FExpr x);
    void pair_op(Op kind, std::uint8_t b);
    void vector_op(std::size_t n);
    void repeat(std::size_t n);
    std::string describe(const Wrap& wrap) const;

    // ------------------------------------------------------- statements
    void statement_op(Op op, Reader& in);
    void append(FStmt statement);
    void let(int name);
    void fn(int name);
    void open_if();
    void close_if();
    void repeat_statement(std::size_t n);
    void nest_statement(std::size_t n, std::uint8_t flags);
    void close_program();
    void let_many(std::size_t n, std::uint8_t flags);
    std::uint64_t harness_work(const std::vector<FExpr>& results) const;
    FStmt make_if(FExpr cond, std::vector<FStmt> then, std::vector<FStmt> otherwise);

    Context& ctx_;
    std::FILE* trace_;  // where the listing goes, if anywhere
    WorkBound bound_;
    std::vector<FValue> values_;
    std::vector<FExpr> exprs_;
    std::vector<Frame> frames_;
    std::vector<Form> program_work_;
    Form unpooled_weight_;  // of the values bound to names outside the pool
    Wrap wrap_;
    bool pairs_;
    bool reenters_ = false;
    std::size_t nodes_ = 0;
    std::uint32_t next_id_ = 0;
};

// =============================================================== values

void Decoder::value_op(Op op, Reader& in) {
    switch (op) {
    case Op::Null: return push_scalar(Value());
    case Op::Boolean: return push_scalar(Value::boolean(in.u8() & 1));
    case Op::SmallInt: return push_scalar(Value::integer(static_cast<std::int8_t>(in.u8())));
    case Op::EdgeInt: return push_scalar(Value::integer(edge_int(in.u8())));
    case Op::RawInt: return push_scalar(Value::integer(static_cast<std::int64_t>(in.u64())));
    case Op::EdgeReal: return push_scalar(Value::real(edge_real(in.u8())));
    case Op::RawReal: return push_scalar(Value::real(std::bit_cast<double>(in.u64())));
    case Op::Text: {
        std::size_t n = in.u8();
        return push_text(in.text(n));
    }
    case Op::EdgeText: return push_text(std::string(edge_text(in.u8())));
    case Op::VectorValue: return vector_value(in.u8());
    case Op::FunctionValue: return function_value(in);
    case Op::WrapValue: return wrap_value(in.count());
    case Op::CopyValue: return copy_value(in.u8());
    default: return;
    }
}

void Decoder::push_value(Value value, std::uint64_t weight) {
    values_.push_back({std::move(value), weight, next_id_++});
}

void Decoder::push_text(std::string text) {
    if (!room(1)) return;
    if (!is_utf8(text)) ctx_.valid_text = false;
    std::uint64_t weight = 1 + text.size();
    push_value(Value::string(text), weight);
    note([&] { return v(values_.back().id) + " = " + debug_string(values_.back().value); });
}

// An empty stack gives Null.
FValue Decoder::pop_value() {
    if (values_.empty()) {
        push_value(Value(), 1);
        note([&] { return v(values_.back().id) + " = Null (empty stack)"; });
    }
    FValue top = std::move(values_.back());
    values_.pop_back();
    return top;
}

void Decoder::vector_value(std::size_t n) {
    n = std::min(n, values_.size());
    if (!room(1 + n)) return;
    std::vector<Value> items;
    std::uint64_t weight = 1;
    std::string listing;
    for (std::size_t i = values_.size() - n; i < values_.size(); ++i) {
        items.push_back(std::move(values_[i].value));
        weight = saturating_add(weight, values_[i].weight);
        if (trace_) listing += (listing.empty() ? "" : ", ") + v(values_[i].id);
    }
    values_.resize(values_.size() - n);
    push_value(Value::vector(items), weight);
    note([&] { return v(values_.back().id) + " = Vector[" + listing + "]"; });
}

void Decoder::function_value(Reader& in) {
    auto behaviour = static_cast<Behaviour>(in.u8() % static_cast<int>(Behaviour::Count));
    std::uint8_t param = in.u8();
    int name = name_index(in.u8());
    if (!room(1)) return;
    FValue constant{Value(), 1, 0};
    bool has_constant = behaviour == Behaviour::Constant;
    if (has_constant) constant = pop_value();
    auto f = std::make_unique<FuzzFunction>(ctx_, behaviour, param, name, constant.value);
    register_function(*f, constant.weight);
    std::string form = trace_ ? debug_string(Value::function(f->clone_box())) : "";
    push_value(Value::function(std::move(f)), 1);
    note([&] { return v(values_.back().id) + " = " + form + (has_constant ? " returning " + v(constant.id) : ""); });
}

// The rules a function adds to the work bound; the same for every clone.
void Decoder::register_function(const FuzzFunction& f, std::uint64_t constant_weight) {
    bound_.call_work(f.own_work());
    if (f.behaviour() == Behaviour::Huge && !f.huge_is_utf8()) ctx_.valid_text = false;
    if (f.behaviour() == Behaviour::Reenter) reenters_ = true;
    if (f.behaviour() == Behaviour::Rebind) bound_.binds(f.name(), Form::constant(16));
    use_name(f.name());  // its debug form shows the name
    // What each returns beyond its argument; Pair's doubling is in call().
    // Reenter returns its argument or a light value.
    switch (f.behaviour()) {
    case Behaviour::Constant: return bound_.adds(Form::constant(constant_weight));
    case Behaviour::Wrap: return bound_.adds(Form::constant(f.wrap_depth()));
    case Behaviour::Huge: return bound_.adds(Form::constant(f.huge_size() + 1));
    case Behaviour::Reenter: return bound_.adds(Form::constant(kLightWeight));
    default: return bound_.adds(Form::constant(1));
    }
}

void Decoder::wrap_value(std::size_t n) {
    if (!room(n)) return;
    FValue inner = pop_value();
    Value value = std::move(inner.value);
    for (std::size_t i = 0; i < n; ++i) value = Value::vector({&value, 1});
    push_value(std::move(value), saturating_add(inner.weight, n));
    note([&] { return v(values_.back().id) + " = " + std::to_string(n) + " nested vectors around " + v(inner.id); });
}

void Decoder::copy_value(std::size_t k) {
    if (values_.empty()) return;
    FValue copy = values_[values_.size() - 1 - k % values_.size()];
    note([&] { return v(next_id_) + " = " + v(copy.id) + " (shared)"; });
    push_value(std::move(copy.value), copy.weight);
}

// ========================================================== expressions

void Decoder::expr_op(Op op, Reader& in) {
    switch (op) {
    case Op::Literal:
        if (room(1)) push_expr(literal(pop_value()));
        return;
    case Op::Ident: {
        int name = name_index(in.u8());
        if (room(1)) push_expr(ident(name));
        return;
    }
    case Op::BinaryOp:
    case Op::Equals:
    case Op::GreaterThan:
    case Op::LessThan: return pair_op(op, in.u8());
    case Op::Not:
        if (room(1)) push_expr(negation(pop_expr()));
        wrap_ = Wrap{Op::Not};
        return;
    case Op::Call: {
        int name = name_index(in.u8());
        if (room(1)) push_expr(call(name, pop_expr()));
        wrap_ = Wrap{Op::Call, Operator::Add, false, name};
        return;
    }
    case Op::VectorExpr: return vector_op(in.u8());
    case Op::CopyExpr: {
        std::size_t k = in.u8();
        if (!exprs_.empty()) push_expr(exprs_[exprs_.size() - 1 - k % exprs_.size()]);
        return;
    }
    case Op::Repeat: return repeat(in.count());
    default: return;
    }
}

// An empty stack gives a Null literal.
FExpr Decoder::pop_expr() {
    if (exprs_.empty()) {
        ++nodes_;
        push_value(Value(), 1);
        note([&] { return v(values_.back().id) + " = Null (empty stack)"; });
        return literal(pop_value());
    }
    FExpr top = std::move(exprs_.back());
    exprs_.pop_back();
    return top;
}

FExpr Decoder::literal(FValue value) {
    bool text = value.value.kind() == Kind::String;
    FExpr x{Expr::literal(std::move(value.value)), Form::constant(value.weight), Form::constant(1), text, next_id_++};
    note([&] { return e(x.id) + " = literal(" + v(value.id) + ")"; });
    return x;
}

FExpr Decoder::ident(int name) {
    use_name(name);
    FExpr x{Expr::ident(pooled_name(name)), Form::unknown(name), Form::constant(1), true, next_id_++};
    note([&] { return e(x.id) + " = ident(" + name_text(name) + ")"; });
    return x;
}

// Only `+` on two texts makes a bigger value; it copies both, and equality
// may walk both operands.
FExpr Decoder::pair(Op kind, Operator op, FExpr left, FExpr right) {
    Form work = left.work + right.work + Form::constant(1);
    Form weight = Form::constant(1);
    bool text = kind == Op::BinaryOp && op == Operator::Add && left.text && right.text;
    if (text) weight = left.weight + right.weight;
    if (text || kind == Op::Equals) work += left.weight + right.weight;
    Expr node = kind == Op::BinaryOp      ? Expr::binary_op(left.expr, op, right.expr)
                : kind == Op::Equals      ? Expr::equals(left.expr, right.expr)
                : kind == Op::GreaterThan ? Expr::greater_than(left.expr, right.expr)
                                          : Expr::less_than(left.expr, right.expr);
    FExpr x{std::move(node), weight, work, text, next_id_++};
    if (trace_) {
        const char* names[] = {"binary_op", "equals", "greater_than", "less_than"};
        int which = kind == Op::BinaryOp ? 0 : kind == Op::Equals ? 1 : kind == Op::GreaterThan ? 2 : 3;
        std::string middle = kind == Op::BinaryOp ? std::string(", ") + operator_name(op) + ", " : ", ";
        note([&] { return e(x.id) + " = " + names[which] + "(" + e(left.id) + middle + e(right.id) + ")"; });
    }
    return x;
}

FExpr Decoder::negation(FExpr item) {
    FExpr x{Expr::not_(item.expr), Form::constant(1), item.work + Form::constant(1), false, next_id_++};
    note([&] { return e(x.id) + " = not_(" + e(item.id) + ")"; });
    return x;
}

FExpr Decoder::call(int name, FExpr argument) {
    use_name(name);
    Form weight = (pairs_ ? argument.weight.doubled() : argument.weight) + Form::unknown(kCallExtra);
    Form work = argument.work + Form::unknown(kCallWork) + Form::constant(1);
    FExpr x{Expr::call(pooled_name(name), argument.expr), weight, work, true, next_id_++};
    note([&] { return e(x.id) + " = call(" + name_text(name) + ", " + e(argument.id) + ")"; });
    return x;
}

FExpr Decoder::vector(std::vector<FExpr> items) {
    Form weight = Form::constant(1), work = Form::constant(1 + items.size());
    std::vector<Expr> nodes;
    std::string listing;
    for (const FExpr& item : items) {
        weight += item.weight;
        work += item.work;
        nodes.push_back(item.expr);
        if (trace_) listing += (listing.empty() ? "" : ", ") + e(item.id);
    }
    FExpr x{Expr::vector(nodes), weight, work, false, next_id_++};
    note([&] { return e(x.id) + " = vector[" + listing + "]"; });
    return x;
}

void Decoder::pair_op(Op kind, std::uint8_t b) {
    auto op = static_cast<Operator>(b & 3);
    bool right_side = b & 4;
    FExpr right = pop_expr();
    FExpr left = pop_expr();
    wrap_ = Wrap{kind, op, right_side, 0, {right_side ? left : right}};
    if (room(1)) push_expr(pair(kind, op, std::move(left), std::move(right)));
}

void Decoder::vector_op(std::size_t n) {
    n = std::min(n, exprs_.size());
    std::vector<FExpr> items(std::make_move_iterator(exprs_.end() - n), std::make_move_iterator(exprs_.end()));
    exprs_.erase(exprs_.end() - n, exprs_.end());
    if (!items.empty()) wrap_ = Wrap{Op::VectorExpr, Operator::Add, false, 0, {items.begin(), items.end() - 1}};
    if (room(1 + items.size())) push_expr(vector(std::move(items)));
}

FExpr Decoder::apply(const Wrap& wrap, FExpr x) {
    switch (wrap.kind) {
    case Op::Not: return negation(std::move(x));
    case Op::Call: return call(wrap.name, std::move(x));
    case Op::VectorExpr: {
        std::vector<FExpr> items = wrap.others;
        items.push_back(std::move(x));
        return vector(std::move(items));
    }
    default:
        if (wrap.right) return pair(wrap.kind, wrap.op, wrap.others[0], std::move(x));
        return pair(wrap.kind, wrap.op, std::move(x), wrap.others[0]);
    }
}

std::string Decoder::describe(const Wrap& wrap) const {
    switch (wrap.kind) {
    case Op::Not: return "not_(#)";
    case Op::Call: return "call(" + name_text(wrap.name) + ", #)";
    case Op::VectorExpr: return "vector[" + std::to_string(wrap.others.size()) + " shared items, #]";
    default: break;
    }
    std::string other = e(wrap.others[0].id);
    std::string inner = wrap.right ? other + ", #" : "#, " + other;
    if (wrap.kind == Op::BinaryOp) inner = wrap.right ? other + ", " + operator_name(wrap.op) + ", #"
                                                     : std::string("#, ") + operator_name(wrap.op) + ", " + other;
    const char* names[] = {"binary_op", "equals", "greater_than", "less_than"};
    int which = wrap.kind == Op::BinaryOp ? 0 : wrap.kind == Op::Equals ? 1 : wrap.kind == Op::GreaterThan ? 2 : 3;
    return std::string(names[which]) + "(" + inner + ")";
}

// The listing shows the chain as one line instead of one per node.
void Decoder::repeat(std::size_t n) {
    if (wrap_.kind == Op::Count || exprs_.empty()) return;
    std::size_t step = wrap_.kind == Op::VectorExpr ? 2 + wrap_.others.size() : 1;  // a vector counts its items
    n = std::min(n, left() / step);
    nodes_ += n * step;
    FExpr x = pop_expr();
    std::uint32_t from = x.id;
    std::FILE* trace = std::exchange(trace_, nullptr);
    for (std::size_t i = 0; i < n; ++i) x = apply(wrap_, std::move(x));
    trace_ = trace;
    x.id = next_id_++;
    note([&] {
        return e(x.id) + " = " + std::to_string(n) + " times " + describe(wrap_) + " starting with # = " + e(from);
    });
    push_expr(std::move(x));
}

// =========================================================== statements

void Decoder::statement_op(Op op, Reader& in) {
    switch (op) {
    case Op::Let: return let(name_index(in.u8()));
    case Op::Fn: return fn(name_index(in.u8()));
    case Op::If: return open_if();
    case Op::Else:
        if (frames_.size() > 1) frames_.back().in_else = true;
        return;
    case Op::End: return close_if();
    case Op::RepeatStatement: return repeat_statement(in.count());
    case Op::NestStatement: {
        std::size_t n = in.count();
        return nest_statement(n, in.u8());
    }
    case Op::EndProgram: return close_program();
    case Op::LetMany: {
        std::size_t n = in.count();
        return let_many(n, in.u8());
    }
    default: return;
    }
}

void Decoder::append(FStmt statement) { frames_.back().current().push_back(std::move(statement)); }

void Decoder::let(int name) {
    FExpr x = pop_expr();
    if (!room(1)) return;
    use_name(name);
    bound_.binds(name, x.weight);
    FStmt st{Statement::let(pooled_name(name), x.expr), x.work + Form::constant(1), next_id_++};
    note([&] { return s(st.id) + " = let(" + name_text(name) + ", " + e(x.id) + ")"; });
    append(std::move(st));
}

// Binds a renamed clone of the top value's function, or a new Identity.
void Decoder::fn(int name) {
    if (!room(1)) return;
    use_name(name);
    std::unique_ptr<FuzzFunction> f;
    std::string from = "a new Identity";
    if (!values_.empty() && values_.back().value.kind() == Kind::Function) {
        FValue top = pop_value();
        f = static_cast<const FuzzFunction&>(top.value.as_function()).renamed(name);
        from = "a clone of " + v(top.id);
    } else {
        f = std::make_unique<FuzzFunction>(ctx_, Behaviour::Identity, 0, name, Value());
    }
    register_function(*f, 1);
    bound_.binds(name, Form::constant(1));
    FStmt st{Statement::fn(pooled_name(name), std::move(f)), Form::constant(1), next_id_++};
    note([&] { return s(st.id) + " = fn(" + name_text(name) + ", " + from + ")"; });
    append(std::move(st));
}

void Decoder::open_if() {
    FExpr cond = pop_expr();
    frames_.emplace_back();
    frames_.back().cond = std::move(cond);
}

FStmt Decoder::make_if(FExpr cond, std::vector<FStmt> then, std::vector<FStmt> otherwise) {
    Form work = cond.work + sum_work(then) + sum_work(otherwise) + Form::constant(1);
    FStmt st{Statement::if_(cond.expr, statements_of(then), statements_of(otherwise)), work, next_id_++};
    note([&] {
        return s(st.id) + " = if_(" + e(cond.id) + ", " + list_text(then) + ", " + list_text(otherwise) + ")";
    });
    return st;
}

void Decoder::close_if() {
    if (frames_.size() < 2) return;
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    ++nodes_;
    append(make_if(std::move(*frame.cond), std::move(frame.lists[0]), std::move(frame.lists[1])));
}

void Decoder::repeat_statement(std::size_t n) {
    std::vector<FStmt>& list = frames_.back().current();
    if (list.empty()) return;
    n = std::min(n, left());
    nodes_ += n;
    FStmt last = list.back();
    list.insert(list.end(), n, last);
    note([&] { return std::to_string(n) + " more times " + s(last.id); });
}

// The condition is the top expression (kept), or a boolean literal from the flags.
void Decoder::nest_statement(std::size_t n, std::uint8_t flags) {
    std::vector<FStmt>& list = frames_.back().current();
    if (list.empty()) return;
    n = std::min(n, left());
    nodes_ += n;
    std::optional<FExpr> cond;
    if (!exprs_.empty()) cond = exprs_.back();
    else cond = literal({Value::boolean(flags & 2), 1, next_id_++});
    FStmt inner = std::move(list.back());
    list.pop_back();
    std::uint32_t from = inner.id;
    std::FILE* trace = std::exchange(trace_, nullptr);
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<FStmt> one{std::move(inner)};
        inner = (flags & 1) ? make_if(*cond, {}, std::move(one)) : make_if(*cond, std::move(one), {});
    }
    trace_ = trace;
    note([&] { return s(inner.id) + " = " + std::to_string(n) + " ifs on " + e(cond->id) + " around " + s(from) +
         ((flags & 1) ? " (in otherwise)" : " (in then)"); });
    list.push_back(std::move(inner));
}

// The names are U(1000 + i) or S("k", i % 8 underscores, i): enough of them
// grow the variable table's shards and make its probes collide, and the
// texts' lengths take every value modulo the hash's 8-byte word. Only the
// machine's debug form shows them, so their weight counts only there.
void Decoder::let_many(std::size_t n, std::uint8_t flags) {
    if (exprs_.empty()) return;
    n = std::min(n, left());
    nodes_ += n;
    const FExpr& x = exprs_.back();
    std::uint32_t first = next_id_;
    for (std::size_t i = 0; i < n; ++i) {
        Identifier id = (flags & 1) ? Identifier::S("k" + std::string(i % 8, '_') + std::to_string(i))
                                    : Identifier::U(1000 + i);
        append({Statement::let(std::move(id), x.expr), x.work + Form::constant(1), next_id_++});
        unpooled_weight_ += x.weight;
    }
    note([&] {
        std::string name = (flags & 1) ? "S(\"k\" + i % 8 underscores + i)" : "U(1000 + i)";
        return "s" + std::to_string(first) + " to s" + std::to_string(next_id_ - 1) + " = let(" + name + ", " +
               e(x.id) + ") for i < " + std::to_string(n);
    });
}

void Decoder::close_program() {
    while (frames_.size() > 1) close_if();
    std::vector<FStmt> list = std::move(frames_.back().lists[0]);
    frames_.back().lists[0].clear();
    if (ctx_.programs.size() >= kMaxPrograms) return;
    note([&] { return "program " + std::to_string(ctx_.programs.size()) + " = " + list_text(list); });
    program_work_.push_back(sum_work(list));
    ctx_.programs.push_back(statements_of(list));
}

// ================================================================ bound

Verdict Decoder::finish() {
    if (ctx_.programs.empty() || frames_.size() > 1 || !frames_[0].lists[0].empty()) close_program();
    std::vector<FExpr> results;
    for (std::size_t i = 0; i < std::min(kMaxResults, exprs_.size()); ++i) {
        results.push_back(exprs_[exprs_.size() - 1 - i]);
        ctx_.results.push_back(results.back().expr);
        note([&] { return "result " + std::to_string(i) + " = " + e(results.back().id); });
    }
    if (!bound_.solve(kWeightLimit)) return {};
    std::uint64_t work = harness_work(results);
    return {work <= kWorkLimit, work};
}

// The harness runs program 0 three times and each result twice; each of
// those top-level runs may re-enter a program and a result 8 times. It also
// prints every name's value and every result a few times.
std::uint64_t Decoder::harness_work(const std::vector<FExpr>& results) const {
    std::uint64_t most = 0, most_result = 0;
    std::uint64_t work = saturating_mul(3, bound_.value(program_work_[0]));
    for (const Form& f : program_work_) most = std::max(most, bound_.value(f));
    for (const FExpr& x : results) {
        std::uint64_t weight = bound_.value(x.weight);
        if (weight > kWeightLimit) return kSaturated;
        work = saturating_add(work, saturating_add(saturating_mul(2, bound_.value(x.work)), saturating_mul(6, weight)));
        most_result = std::max(most_result, bound_.value(x.work));
    }
    for (int name = 0; name < kNamePool; ++name)
        work = saturating_add(work, saturating_mul(8, bound_.value(Form::unknown(name))));
    work = saturating_add(work, saturating_mul(8, bound_.value(unpooled_weight_)));
    std::uint64_t runs = 3 + 2 * results.size();
    if (reenters_) work = saturating_add(work, saturating_mul(runs * kMaxReentries, saturating_add(most, most_result)));
    return work;
}

Verdict decode(std::span<const std::uint8_t> bytes, Context& context, std::FILE* trace) {
    Reader in(bytes);
    Decoder decoder(context, trace, makes_pairs(bytes));
    while (!in.done()) {
        Reader ahead = in;
        skip_step(ahead);
        decoder.step(in);
        if (in.pos() != ahead.pos()) finding("the decoder and skip_step disagree on an opcode's length");
    }
    return decoder.finish();
}

}  // namespace quarn::fuzz
