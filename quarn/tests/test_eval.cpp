// Expression evaluation and statement execution.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "quarn/error.hpp"
#include "support.hpp"
#include "quarn/eval.hpp"

using namespace quarn;

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Log = std::vector<std::string>;

// Echoes its argument and records every call as "name:argument".
struct Recorder : QuarnFunction {
    std::shared_ptr<Log> log;
    std::string name;
    Recorder(std::shared_ptr<Log> l, std::string n) : log(std::move(l)), name(std::move(n)) {}
    std::unique_ptr<QuarnFunction> clone_box() const override { return std::make_unique<Recorder>(*this); }
    void fmt_debug(std::string& out) const override { out += "Recorder"; }
    Value run(Shared arg) override {
        log->push_back(name + ":" + debug_string(*arg));
        return *arg;
    }
};

struct Boom : QuarnFunction {
    std::unique_ptr<QuarnFunction> clone_box() const override { return std::make_unique<Boom>(); }
    void fmt_debug(std::string& out) const override { out += "Boom"; }
    Value run(Shared) override { fail("boom from inside"); }
};

Value I(std::int64_t n) { return Value(Number::Int(n)); }
Value F(double x) { return Value(Number::Float(x)); }
Expr lit(Value v) { return Expr(Literal{std::move(v)}); }
Expr id(const char* name) { return Expr(Ident{Identifier::S(name)}); }
Expr call(const char* name, Expr arg) { return Expr::call(Identifier::S(name), std::move(arg)); }
Statement let(const char* name, Expr e) { return Let{Identifier::S(name), std::move(e)}; }

template <class... S>
Program prog(S&&... s) {
    Program p;
    (p.push_back(Statement(std::move(s))), ...);
    return p;
}

using test_support::fatal_message;

// The debug form of the result, or the message it stopped with.
std::string outcome(const Machine& m, Expr e) {
    try {
        return debug_string(*deduce_expr(m, std::move(e)));
    } catch (const Fatal& err) {
        return err.message();
    }
}

std::string get(const Machine& m, const char* name) {
    Shared v = m.vars.lookup(Identifier::S(name));
    return v ? debug_string(*v) : "<unbound>";
}

class Eval : public ::testing::Test {
protected:
    Machine m = Machine::create();
    std::shared_ptr<Log> log = std::make_shared<Log>();
    void bind_recorder(const char* name) {
        deduce(m, prog(Fn{Identifier::S(name),
                          FunctionBox(std::make_unique<Recorder>(log, name))}));
    }
};

const char* const kUnknownType = "Binary operator for unknown type";
const char* const kStringOp = "Unknown binary operation for Value::String";
const char* const kNotNumber = "Both left-hand and right-hand side values must be a number";
const char* const kUnwrap = "called `Option::unwrap()` on a `None` value";
const char* const kCondition = "Expected deduced condition to be a bool, got other type";

}  // namespace

TEST_F(Eval, Arithmetic) {
    struct Case { Value left; Operator op; Value right; std::string expected; };
    const Value fn = Value(FunctionBox(std::make_unique<Boom>()));
    const Case cases[] = {
        {I(kMax), Operator::Add, I(1), "Number(Int(-9223372036854775808))"},
        {I(kMin), Operator::Sub, I(1), "Number(Int(9223372036854775807))"},
        {I(kMax), Operator::Mul, I(2), "Number(Int(-2))"},
        {I(7), Operator::Sub, I(10), "Number(Int(-3))"},
        {I(6), Operator::Mul, I(7), "Number(Int(42))"},
        {I(7), Operator::Div, I(2), "Number(Int(3))"},
        {I(-7), Operator::Div, I(2), "Number(Int(-3))"},
        {I(7), Operator::Div, I(0), "attempt to divide by zero"},
        {I(kMin), Operator::Div, I(-1), "attempt to divide with overflow"},
        {F(7.0), Operator::Div, I(0), "Number(Float(inf))"},
        {I(1), Operator::Div, F(2.0), "Number(Float(0.5))"},
        {I(1), Operator::Add, F(1.0), "Number(Float(2.0))"},
        {F(0.5), Operator::Sub, I(1), "Number(Float(-0.5))"},
        {I(3), Operator::Mul, F(0.5), "Number(Float(1.5))"},
        {I(9007199254740993), Operator::Add, F(0.0), "Number(Float(9007199254740992.0))"},
        {F(kInf), Operator::Sub, F(kInf), "Number(Float(NaN))"},
        {Value("ab"), Operator::Add, Value("cd"), "String(\"abcd\")"},
        {Value(""), Operator::Add, Value("x"), "String(\"x\")"},
        {Value("x"), Operator::Add, Value(""), "String(\"x\")"},
        {Value("a"), Operator::Sub, Value("b"), kStringOp},
        {Value("a"), Operator::Mul, Value("b"), kStringOp},
        {Value("a"), Operator::Div, Value("b"), kStringOp},
        {Value("a"), Operator::Sub, I(1), kUnknownType},  // right kind checked before operator
        {Value("a"), Operator::Add, I(1), kUnknownType},
        {I(1), Operator::Add, Value("a"), kUnknownType},
        {I(1), Operator::Add, Value(), kUnknownType},
        {Value(true), Operator::Add, Value(true), kUnknownType},
        {Value(), Operator::Add, Value(), kUnknownType},
        {Value(Vector{}), Operator::Add, Value(Vector{}), kUnknownType},
        {fn, Operator::Add, I(1), kUnknownType},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(debug_string(c.left) + " op" + std::to_string(int(c.op)) + " " + debug_string(c.right));
        EXPECT_EQ(outcome(m, Expr::binary_op(lit(c.left), c.op, lit(c.right))), c.expected);
    }
}

TEST_F(Eval, ComparisonUsesTotalOrder) {
    const double nan = std::nan(""), neg_nan = -std::nan("");
    struct Case { Value left, right; bool greater, less; };
    const Case cases[] = {
        {I(2), F(1.5), true, false},
        {F(-0.0), F(0.0), false, true},
        {I(0), F(-0.0), true, false},
        {F(nan), F(1e308), true, false},
        {F(nan), F(kInf), true, false},
        {F(nan), F(nan), false, false},
        {F(neg_nan), F(-kInf), false, true},
        {F(neg_nan), F(nan), false, true},
        {I(1), F(1.0), false, false},
        {I(9007199254740993), F(9007199254740992.0), false, false},  // after conversion
        {I(kMax), I(kMax - 1), true, false},  // equal as doubles, not as integers
        {I(-1), I(1), false, true},
        {F(-kInf), I(kMin), false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(debug_string(c.left) + " vs " + debug_string(c.right));
        auto b = [](bool x) { return std::string(x ? "Boolean(true)" : "Boolean(false)"); };
        EXPECT_EQ(outcome(m, Expr::greater_than(lit(c.left), lit(c.right))), b(c.greater));
        EXPECT_EQ(outcome(m, Expr::less_than(lit(c.left), lit(c.right))), b(c.less));
    }
    EXPECT_EQ(outcome(m, Expr::greater_than(lit(I(1)), lit(Value("1")))), kNotNumber);
    EXPECT_EQ(outcome(m, Expr::less_than(lit(Value()), lit(I(1)))), kNotNumber);
    EXPECT_EQ(outcome(m, Expr::less_than(lit(Value(true)), lit(Value(false)))), kNotNumber);
}

TEST_F(Eval, EqualsAndNot) {
    EXPECT_EQ(outcome(m, Expr::equals(lit(I(1)), lit(F(1.0)))), "Boolean(false)");
    EXPECT_EQ(outcome(m, Expr::equals(lit(Value("a")), lit(Value("a")))), "Boolean(true)");
    EXPECT_EQ(outcome(m, Expr::equals(lit(Value()), lit(I(1)))), "Boolean(false)");
    EXPECT_EQ(outcome(m, Expr::equals(lit(I(1)), lit(Value()))), "Expected other item to be Value::Number");
    // Not negates its boolean operand.
    EXPECT_EQ(outcome(m, Expr::not_(lit(Value(true)))), "Boolean(false)");
    EXPECT_EQ(outcome(m, Expr::not_(lit(Value(false)))), "Boolean(true)");
    EXPECT_EQ(outcome(m, Expr::not_(Expr::not_(lit(Value(true))))), "Boolean(true)");
    const char* not_bool = "The not expression must be used on a boolean value";
    EXPECT_EQ(outcome(m, Expr::not_(lit(I(1)))), not_bool);
    EXPECT_EQ(outcome(m, Expr::not_(lit(Value()))), not_bool);
}

TEST_F(Eval, OperandsBeforeKindChecks) {
    // The right operand's error wins over the left operand's wrong kind.
    EXPECT_EQ(outcome(m, Expr::binary_op(lit(Value(true)), Operator::Add, id("z"))),
              "Value cannot be found: S(\"z\")");
    EXPECT_EQ(outcome(m, Expr::greater_than(lit(Value()), id("z"))), "Value cannot be found: S(\"z\")");
    EXPECT_EQ(outcome(m, Expr::equals(lit(Value(FunctionBox(std::make_unique<Boom>()))), id("z"))),
              "Value cannot be found: S(\"z\")");
    EXPECT_EQ(outcome(m, Expr::less_than(id("a"), id("b"))), "Value cannot be found: S(\"a\")");

    bind_recorder("r");
    EXPECT_EQ(outcome(m, Expr::binary_op(call("r", lit(Value("L"))), Operator::Add,
                                         call("r", lit(Value("R"))))),
              "String(\"LR\")");
    VectorExpr items;
    for (int i = 1; i <= 3; ++i) items.items.push_back(call("r", lit(I(i))));
    EXPECT_EQ(outcome(m, Expr(std::move(items))),
              "Vector([Number(Int(1)), Number(Int(2)), Number(Int(3))])");
    EXPECT_EQ(*log, (Log{"r:String(\"L\")", "r:String(\"R\")", "r:Number(Int(1))",
                         "r:Number(Int(2))", "r:Number(Int(3))"}));
}

TEST_F(Eval, IdentAndVectorShareStoredValues) {
    Shared elem = Shared::make(Value("e"));
    deduce(m, prog(let("x", lit(Value(Vector{elem})))));
    Shared stored = m.get(Identifier::S("x"));
    EXPECT_TRUE(std::get<Vector>(stored->v)[0].same_as(elem));  // literal taken over, not copied
    EXPECT_TRUE(deduce_expr(m, id("x")).same_as(stored));
    VectorExpr items;
    items.items.push_back(id("x"));
    Shared v = deduce_expr(m, Expr(std::move(items)));
    EXPECT_TRUE(std::get<Vector>(v->v)[0].same_as(stored));
    EXPECT_EQ(outcome(m, Expr(VectorExpr{})), "Vector([])");
}

TEST_F(Eval, FailingVectorItemReleasesEarlierResults) {
    Shared elem = Shared::make(I(1));
    VectorExpr items;
    items.items.push_back(lit(Value(Vector{elem})));
    items.items.push_back(lit(Value(Vector{elem})));
    items.items.push_back(id("missing"));
    EXPECT_EQ(outcome(m, Expr(std::move(items))), "Value cannot be found: S(\"missing\")");
    EXPECT_EQ(elem.use_count(), 1u);
}

TEST_F(Eval, Calls) {
    bind_recorder("r");
    VectorExpr args;
    args.items.push_back(lit(I(1)));
    args.items.push_back(lit(Value("two")));
    EXPECT_EQ(outcome(m, call("r", Expr(std::move(args)))), "Vector([Number(Int(1)), String(\"two\")])");
    EXPECT_EQ(log->back(), "r:Vector([Number(Int(1)), String(\"two\")])");

    // The argument runs before the name is looked up.
    EXPECT_EQ(outcome(m, call("missing", call("r", lit(I(5))))), "Value cannot be found: S(\"missing\")");
    EXPECT_EQ(log->back(), "r:Number(Int(5))");
    EXPECT_EQ(outcome(m, Expr::call(Identifier::U(7), lit(Value()))), "Value cannot be found: U(7)");

    deduce(m, prog(let("n", lit(I(3)))));
    EXPECT_EQ(outcome(m, call("n", lit(Value()))), kUnwrap);
    deduce(m, prog(Fn{Identifier::S("boom"), FunctionBox(std::make_unique<Boom>())}));
    EXPECT_EQ(outcome(m, call("boom", lit(Value()))), "boom from inside");
}

TEST_F(Eval, FunctionThatRebindsItsOwnNameStaysAlive) {
    struct Rebinder : QuarnFunction {
        const Machine* machine;
        std::string tag = std::string(64, 't');  // heap-held, so a freed object would be noticed
        explicit Rebinder(const Machine* m) : machine(m) {}
        std::unique_ptr<QuarnFunction> clone_box() const override { return std::make_unique<Rebinder>(machine); }
        void fmt_debug(std::string& out) const override { out += "Rebinder"; }
        Value run(Shared) override {
            deduce(*machine, prog(let("self", lit(I(0)))));
            return Value(tag);
        }
    };
    deduce(m, prog(Fn{Identifier::S("self"), FunctionBox(std::make_unique<Rebinder>(&m))}));
    EXPECT_EQ(outcome(m, call("self", lit(Value()))), "String(\"" + std::string(64, 't') + "\")");
    EXPECT_EQ(get(m, "self"), "Number(Int(0))");
}

TEST_F(Eval, LetFnAndRebinding) {
    deduce(m, Program{});
    EXPECT_EQ(m.debug(), "Machine { vars: {} }");

    deduce(m, prog(let("x", lit(I(1))), let("x", lit(I(2)))));
    EXPECT_EQ(get(m, "x"), "Number(Int(2))");
    deduce(m, prog(let("x", Expr::binary_op(id("x"), Operator::Add, lit(I(1))))));
    EXPECT_EQ(get(m, "x"), "Number(Int(3))");  // the expression sees the old binding

    EXPECT_EQ(fatal_message([&] { deduce(m, prog(let("self", id("self")))); }),
              "Value cannot be found: S(\"self\")");
    EXPECT_EQ(get(m, "self"), "<unbound>");

    // Fn moves its function object into the table without cloning it.
    auto owned = std::make_unique<Recorder>(log, "f");
    QuarnFunction* raw = owned.get();
    deduce(m, prog(Fn{Identifier::S("f"), FunctionBox(std::move(owned))}));
    EXPECT_EQ(std::get<FunctionBox>(m.get(Identifier::S("f"))->v).get(), raw);
    EXPECT_EQ(get(m, "f"), "Function(Recorder)");
    deduce(m, prog(let("f", lit(I(4)))));
    EXPECT_EQ(outcome(m, call("f", lit(Value()))), kUnwrap);
}

TEST_F(Eval, NoRollbackAfterFailure) {
    EXPECT_EQ(fatal_message([&] {
                  deduce(m, prog(let("x", lit(I(1))), let("y", id("z")), let("x", lit(I(2)))));
              }),
              "Value cannot be found: S(\"z\")");
    EXPECT_EQ(get(m, "x"), "Number(Int(1))");
    EXPECT_EQ(get(m, "y"), "<unbound>");
}

TEST_F(Eval, IfConditions) {
    for (Value cond : {I(1), Value("true"), Value(), F(1.0)}) {
        SCOPED_TRACE(debug_string(cond));
        EXPECT_EQ(fatal_message([&] { deduce(m, prog(If{{}, {}, lit(cond)})); }), kCondition);
    }
    bind_recorder("r");
    deduce(m, prog(If{{}, {}, call("r", lit(Value(true)))}));
    EXPECT_EQ(*log, Log{"r:Boolean(true)"});
    // A failing If stops the statements after it.
    EXPECT_EQ(fatal_message([&] { deduce(m, prog(If{{}, {}, lit(Value())}, let("after", lit(I(1))))); }),
              kCondition);
    EXPECT_EQ(get(m, "after"), "<unbound>");
}

TEST_F(Eval, IfOpensNoScope) {
    for (bool cond : {true, false}) {
        Machine fresh = Machine::create();
        deduce(fresh, prog(If{prog(let("then", lit(I(1)))), prog(let("else", lit(I(2)))), lit(Value(cond))},
                           let("seen", id(cond ? "then" : "else"))));
        EXPECT_EQ(get(fresh, "then"), cond ? "Number(Int(1))" : "<unbound>");
        EXPECT_EQ(get(fresh, "else"), cond ? "<unbound>" : "Number(Int(2))");
        EXPECT_EQ(get(fresh, "seen"), cond ? "Number(Int(1))" : "Number(Int(2))");
    }
    // Nested lists run in place and in order.
    deduce(m, prog(If{prog(let("a", lit(I(1))),
                           If{prog(let("a", Expr::binary_op(id("a"), Operator::Mul, lit(I(10))))), {},
                              Expr::not_(lit(Value(false)))}),
                      {}, lit(Value(true))}));
    EXPECT_EQ(get(m, "a"), "Number(Int(10))");
    deduce(m, prog(let("b", id("a"))));  // a later run sees it too
    EXPECT_EQ(get(m, "b"), "Number(Int(10))");
}
