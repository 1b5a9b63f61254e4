#include "quarn/eval.hpp"

#include <bit>
#include <cstdint>

#include "quarn/error.hpp"
#include "quarn/stack.hpp"

namespace quarn {
namespace {

void check_depth() {
    if (stack_exhausted()) fail("Quarn program nested too deeply: out of stack while evaluating it");
}

// Signed 64-bit arithmetic that wraps, done in unsigned to stay defined.
std::int64_t wrap(std::uint64_t x) { return static_cast<std::int64_t>(x); }

Number arithmetic(Operator op, const Number& a, const Number& b) {
    if (op == Operator::Div) return Number::div(a, b);
    if (a.is_int() && b.is_int()) {
        auto x = static_cast<std::uint64_t>(a.as_int()), y = static_cast<std::uint64_t>(b.as_int());
        switch (op) {
        case Operator::Add: return Number::Int(wrap(x + y));
        case Operator::Sub: return Number::Int(wrap(x - y));
        default: return Number::Int(wrap(x * y));
        }
    }
    double x = a.to_double(), y = b.to_double();
    switch (op) {
    case Operator::Add: return Number::Float(x + y);
    case Operator::Sub: return Number::Float(x - y);
    default: return Number::Float(x * y);
    }
}

[[gnu::noinline]] Value binary(Operator op, const Value& left, const Value& right) {
    if (left.kind() == Kind::String) {
        if (right.kind() != Kind::String) fail("Binary operator for unknown type");
        if (op != Operator::Add) fail("Unknown binary operation for Value::String");
        const std::string& l = std::get<std::string>(left.v);
        const std::string& r = std::get<std::string>(right.v);
        std::string joined;
        joined.reserve(l.size() + r.size());
        joined.append(l).append(r);
        return Value(std::move(joined));
    }
    if (left.kind() != Kind::Number || right.kind() != Kind::Number)
        fail("Binary operator for unknown type");
    return arithmetic(op, std::get<Number>(left.v), std::get<Number>(right.v));
}

// The IEEE 754 total order key: negative patterns have their low 63 bits
// inverted, so plain signed comparison of keys orders the doubles.
std::int64_t total_order_key(double d) {
    auto bits = std::bit_cast<std::int64_t>(d);
    return bits < 0 ? bits ^ INT64_MAX : bits;
}

// -1, 0 or 1 as left orders before, with or after right.
[[gnu::noinline]] int compare_numbers(const Value& left, const Value& right) {
    if (left.kind() != Kind::Number || right.kind() != Kind::Number)
        fail("Both left-hand and right-hand side values must be a number");
    const Number& a = std::get<Number>(left.v);
    const Number& b = std::get<Number>(right.v);
    if (a.is_int() && b.is_int()) return (a.as_int() > b.as_int()) - (a.as_int() < b.as_int());
    std::int64_t x = total_order_key(a.to_double()), y = total_order_key(b.to_double());
    return (x > y) - (x < y);
}

// What a node does once its operands are in is kept out of line, so that the
// recursive frame of the evaluator holds little more than operand handles.
[[gnu::noinline]] Shared take_value(Value& value) { return Shared::make(std::move(value)); }
[[gnu::noinline]] Shared make_bool(bool b) { return Shared::make(Value(b)); }
[[gnu::noinline]] Shared combine(Operator op, const Shared& l, const Shared& r) {
    return Shared::make(binary(op, *l, *r));
}

[[noreturn, gnu::noinline, gnu::cold]] void missing(const Identifier& id) {
    fail("Value cannot be found: " + debug_string(id));
}

[[gnu::noinline]] Shared call_function(const Shared& function, Shared argument) {
    if (function->kind() != Kind::Function) fail("called `Option::unwrap()` on a `None` value");
    return Shared::make(std::get<FunctionBox>(function->v)->run(std::move(argument)));
}

class Evaluator {
public:
    explicit Evaluator(const Machine& machine) : machine_(machine) {}

    // A switch rather than std::visit: one frame per nesting level keeps
    // deep programs within the stack and the dispatch cheap.
    Shared eval(Expr& e) {
        ExprNode& n = e.node;
        switch (n.index()) {
        case 0: return eval(*std::get_if<Literal>(&n));
        case 1: return eval(*std::get_if<Ident>(&n));
        case 2: return eval(*std::get_if<BinaryOp>(&n));
        case 3: return eval(*std::get_if<Equals>(&n));
        case 4: return eval(*std::get_if<Not>(&n));
        case 5: return eval(*std::get_if<GreaterThan>(&n));
        case 6: return eval(*std::get_if<LessThan>(&n));
        case 7: return eval(*std::get_if<Call>(&n));
        default: return eval(*std::get_if<VectorExpr>(&n));
        }
    }

private:
    // Evaluates an operand and frees its storage at once.
    Shared take(ExprBox& box) {
        Shared v = eval(*box);
        box.reset();
        return v;
    }

    Shared lookup(const Identifier& id) {
        Shared v = machine_.vars.lookup(id);
        if (!v) missing(id);
        return v;
    }

    Shared eval(Literal& n) { return take_value(n.value); }
    Shared eval(Ident& n) { return lookup(n.id); }

    Shared eval(BinaryOp& n) {
        check_depth();
        Shared l = take(n.left), r = take(n.right);
        return combine(n.op, l, r);
    }
    Shared eval(Equals& n) {
        check_depth();
        Shared l = take(n.left), r = take(n.right);
        return make_bool(equals(*l, *r));
    }
    Shared eval(Not& n) {
        check_depth();
        Shared v = take(n.item);
        if (v->kind() != Kind::Boolean) fail("The not expression must be used on a boolean value");
        return make_bool(!std::get<bool>(v->v));
    }
    Shared eval(GreaterThan& n) {
        check_depth();
        Shared l = take(n.left), r = take(n.right);
        return make_bool(compare_numbers(*l, *r) > 0);
    }
    Shared eval(LessThan& n) {
        check_depth();
        Shared l = take(n.left), r = take(n.right);
        return make_bool(compare_numbers(*l, *r) < 0);
    }
    Shared eval(Call& n) {
        check_depth();
        Shared arg = take(n.arg);
        // Held until run returns, so a function that rebinds its own name
        // while running stays alive.
        Shared function = lookup(n.ident);
        return call_function(function, std::move(arg));
    }
    [[gnu::noinline]] Shared eval(VectorExpr& n) {
        check_depth();
        Vector items;
        items.reserve(n.items.size());
        for (Expr& item : n.items) items.push_back(eval(item));
        Value value(std::move(items));
        return take_value(value);
    }

    const Machine& machine_;
};

void run_list(const Machine& machine, std::vector<Statement>& statements);

void execute(const Machine& machine, Let& s) {
    Shared value = Evaluator(machine).eval(s.expr);
    Shared replaced = machine.vars.insert(std::move(s.ident), std::move(value));
}

void execute(const Machine& machine, Fn& s) {
    Shared value = Shared::make(Value(std::move(s.f)));
    Shared replaced = machine.vars.insert(std::move(s.ident), std::move(value));
}

void execute(const Machine& machine, If& s) {
    check_depth();
    Shared cond = Evaluator(machine).eval(s.cond);
    if (cond->kind() != Kind::Boolean) fail("Expected deduced condition to be a bool, got other type");
    bool chosen = std::get<bool>(cond->v);
    run_list(machine, chosen ? s.then : s.otherwise);
    cond = Shared();
    (chosen ? s.otherwise : s.then).clear();
}

void run_list(const Machine& machine, std::vector<Statement>& statements) {
    for (Statement& s : statements) std::visit([&](auto& node) { execute(machine, node); }, s.node);
}

}  // namespace

void deduce(const Machine& machine, Program statements) { run_list(machine, statements); }

Shared deduce_expr(const Machine& machine, Expr expr) { return Evaluator(machine).eval(expr); }

}  // namespace quarn
