// Expression evaluation and statement execution.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "code.hpp"
#include "quarn/eval.hpp"
#include "support.hpp"

using namespace quarn;
using namespace quarn::test_support;

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
    Value run(Value arg) override {
        log->push_back(name + ":" + debug_string(arg));
        return arg;
    }
};

struct Boom : QuarnFunction {
    std::unique_ptr<QuarnFunction> clone_box() const override { return std::make_unique<Boom>(); }
    void fmt_debug(std::string& out) const override { out += "Boom"; }
    Value run(Value) override { fail("boom from inside"); }
};

Statement fn_statement(const char* name, std::unique_ptr<QuarnFunction> f) {
    return Statement::fn(Identifier::S(name), std::move(f));
}

// The debug form of the result, or the message it stopped with.
std::string outcome(Machine& m, const Expr& e) {
    try {
        return debug_string(evaluate(m, e));
    } catch (const Fatal& err) {
        return err.message();
    }
}

std::string get(const Machine& m, const char* name) {
    std::optional<Value> v = m.vars.lookup(Identifier::S(name));
    return v ? debug_string(*v) : "<unbound>";
}

class Eval : public ::testing::Test {
protected:
    Machine m = Machine::create();
    std::shared_ptr<Log> log = std::make_shared<Log>();
    void bind_recorder(const char* name) { run(m, {fn_statement(name, std::make_unique<Recorder>(log, name))}); }
};

const char* const kUnknownType = "Binary operator for unknown type";
const char* const kStringOp = "Unknown binary operation for Value::String";
const char* const kNotNumber = "Both left-hand and right-hand side values must be a number";
const char* const kUnwrap = "called `Option::unwrap()` on a `None` value";
const char* const kCondition = "Expected deduced condition to be a bool, got other type";

}  // namespace

TEST_F(Eval, Arithmetic) {
    struct Case { Value left; Operator op; Value right; std::string expected; };
    const Value boom = Value::function(std::make_unique<Boom>());
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
        {S("ab"), Operator::Add, S("cd"), "String(\"abcd\")"},
        {S(""), Operator::Add, S("x"), "String(\"x\")"},
        {S("x"), Operator::Add, S(""), "String(\"x\")"},
        {S("a"), Operator::Sub, S("b"), kStringOp},
        {S("a"), Operator::Mul, S("b"), kStringOp},
        {S("a"), Operator::Div, S("b"), kStringOp},
        {S("a"), Operator::Sub, I(1), kUnknownType},  // right kind checked before operator
        {S("a"), Operator::Add, I(1), kUnknownType},
        {I(1), Operator::Add, S("a"), kUnknownType},
        {I(1), Operator::Add, Value(), kUnknownType},
        {B(true), Operator::Add, B(true), kUnknownType},
        {Value(), Operator::Add, Value(), kUnknownType},
        {vec({}), Operator::Add, vec({}), kUnknownType},
        {boom, Operator::Add, I(1), kUnknownType},
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
    EXPECT_EQ(outcome(m, Expr::greater_than(lit(I(1)), lit(S("1")))), kNotNumber);
    EXPECT_EQ(outcome(m, Expr::less_than(lit(Value()), lit(I(1)))), kNotNumber);
    EXPECT_EQ(outcome(m, Expr::less_than(lit(B(true)), lit(B(false)))), kNotNumber);
}

TEST_F(Eval, EqualsAndNot) {
    EXPECT_EQ(outcome(m, Expr::equals(lit(I(1)), lit(F(1.0)))), "Boolean(false)");
    EXPECT_EQ(outcome(m, Expr::equals(lit(S("a")), lit(S("a")))), "Boolean(true)");
    EXPECT_EQ(outcome(m, Expr::equals(lit(Value()), lit(I(1)))), "Boolean(false)");
    EXPECT_EQ(outcome(m, Expr::equals(lit(I(1)), lit(Value()))), "Expected other item to be Value::Number");
    // Not negates its boolean operand.
    EXPECT_EQ(outcome(m, Expr::not_(lit(B(true)))), "Boolean(false)");
    EXPECT_EQ(outcome(m, Expr::not_(lit(B(false)))), "Boolean(true)");
    EXPECT_EQ(outcome(m, Expr::not_(Expr::not_(lit(B(true))))), "Boolean(true)");
    const char* not_bool = "The not expression must be used on a boolean value";
    EXPECT_EQ(outcome(m, Expr::not_(lit(I(1)))), not_bool);
    EXPECT_EQ(outcome(m, Expr::not_(lit(Value()))), not_bool);
}

TEST_F(Eval, OperandsBeforeKindChecks) {
    // The right operand's error wins over the left operand's wrong kind.
    EXPECT_EQ(outcome(m, Expr::binary_op(lit(B(true)), Operator::Add, id("z"))),
              "Value cannot be found: S(\"z\")");
    EXPECT_EQ(outcome(m, Expr::greater_than(lit(Value()), id("z"))), "Value cannot be found: S(\"z\")");
    EXPECT_EQ(outcome(m, Expr::equals(lit(Value::function(std::make_unique<Boom>())), id("z"))),
              "Value cannot be found: S(\"z\")");
    EXPECT_EQ(outcome(m, Expr::less_than(id("a"), id("b"))), "Value cannot be found: S(\"a\")");

    bind_recorder("r");
    EXPECT_EQ(outcome(m, Expr::binary_op(call("r", lit(S("L"))), Operator::Add,
                                         call("r", lit(S("R"))))),
              "String(\"LR\")");
    EXPECT_EQ(outcome(m, vexpr({call("r", lit(I(1))), call("r", lit(I(2))), call("r", lit(I(3)))})),
              "Vector([Number(Int(1)), Number(Int(2)), Number(Int(3))])");
    EXPECT_EQ(*log, (Log{"r:String(\"L\")", "r:String(\"R\")", "r:Number(Int(1))",
                         "r:Number(Int(2))", "r:Number(Int(3))"}));
}

TEST_F(Eval, IdentAndVectorShareStoredValues) {
    Value elem = S("e");
    Expr literal = lit(vec({elem}));
    run(m, {let("x", literal)});
    Value stored = m.get(Identifier::S("x"));
    EXPECT_TRUE(stored.as_vector()[0].same_cell(elem));
    EXPECT_TRUE(evaluate(m, literal).same_cell(stored));  // a literal is shared, never copied
    EXPECT_TRUE(evaluate(m, id("x")).same_cell(stored));
    Value v = evaluate(m, vexpr({id("x")}));
    EXPECT_TRUE(v.as_vector()[0].same_cell(stored));
    EXPECT_EQ(outcome(m, vexpr({})), "Vector([])");
}

TEST_F(Eval, FailingVectorItemReleasesEarlierResults) {
    Value elem = S("held");
    Expr items = vexpr({lit(vec({elem})), vexpr({lit(elem)}), id("missing")});
    EXPECT_EQ(outcome(m, items), "Value cannot be found: S(\"missing\")");
    EXPECT_EQ(elem.use_count(), 3u);  // here, and in the literal vector and the literal
    items = lit(I(0));
    EXPECT_EQ(elem.use_count(), 1u);
}

TEST_F(Eval, Calls) {
    bind_recorder("r");
    EXPECT_EQ(outcome(m, call("r", vexpr({lit(I(1)), lit(S("two"))}))), "Vector([Number(Int(1)), String(\"two\")])");
    EXPECT_EQ(log->back(), "r:Vector([Number(Int(1)), String(\"two\")])");

    // The argument runs before the name is looked up.
    EXPECT_EQ(outcome(m, call("missing", call("r", lit(I(5))))), "Value cannot be found: S(\"missing\")");
    EXPECT_EQ(log->back(), "r:Number(Int(5))");
    EXPECT_EQ(outcome(m, Expr::call(Identifier::U(7), lit(Value()))), "Value cannot be found: U(7)");

    run(m, {let("n", lit(I(3)))});
    EXPECT_EQ(outcome(m, call("n", lit(Value()))), kUnwrap);
    run(m, {fn_statement("boom", std::make_unique<Boom>())});
    EXPECT_EQ(outcome(m, call("boom", lit(Value()))), "boom from inside");
}

TEST_F(Eval, FunctionThatRebindsItsOwnNameStaysAlive) {
    struct Rebinder : QuarnFunction {
        Machine* machine;
        std::string tag = std::string(64, 't');  // heap-held, so a freed object would be noticed
        explicit Rebinder(Machine* m) : machine(m) {}
        std::unique_ptr<QuarnFunction> clone_box() const override { return std::make_unique<Rebinder>(machine); }
        void fmt_debug(std::string& out) const override { out += "Rebinder"; }
        Value run(Value) override {
            quarn::run(*machine, Program{let("self", lit(I(0)))});
            return S(tag);
        }
    };
    run(m, {fn_statement("self", std::make_unique<Rebinder>(&m))});
    EXPECT_EQ(outcome(m, call("self", lit(Value()))), "String(\"" + std::string(64, 't') + "\")");
    EXPECT_EQ(get(m, "self"), "Number(Int(0))");
}

TEST_F(Eval, LetFnAndRebinding) {
    run(m, Program{});
    EXPECT_EQ(m.debug(), "Machine { vars: {} }");

    run(m, {let("x", lit(I(1))), let("x", lit(I(2)))});
    EXPECT_EQ(get(m, "x"), "Number(Int(2))");
    run(m, {let("x", Expr::binary_op(id("x"), Operator::Add, lit(I(1))))});
    EXPECT_EQ(get(m, "x"), "Number(Int(3))");  // the expression sees the old binding

    EXPECT_EQ(fatal_message([&] { run(m, {let("self", id("self"))}); }),
              "Value cannot be found: S(\"self\")");
    EXPECT_EQ(get(m, "self"), "<unbound>");

    // Each execution of an Fn binds a function of its own, cloned from the
    // statement's, which stays with the statement for the next run.
    Probe::reset();
    Program binds{Statement::fn(Identifier::S("f"), std::make_unique<Probe>("f"))};
    run(m, binds);
    Value first = m.get(Identifier::S("f"));
    run(m, binds);
    EXPECT_EQ(Probe::clones, 2);
    EXPECT_NE(&first.as_function(), &m.get(Identifier::S("f")).as_function());
    EXPECT_EQ(get(m, "f"), "Function(Probe<f>)");
    run(m, {let("f", lit(I(4)))});
    EXPECT_EQ(outcome(m, call("f", lit(Value()))), kUnwrap);
}

TEST_F(Eval, NoRollbackAfterFailure) {
    EXPECT_EQ(fatal_message([&] {
                  run(m, {let("x", lit(I(1))), let("y", id("z")), let("x", lit(I(2)))});
              }),
              "Value cannot be found: S(\"z\")");
    EXPECT_EQ(get(m, "x"), "Number(Int(1))");
    EXPECT_EQ(get(m, "y"), "<unbound>");
}

TEST_F(Eval, IfConditions) {
    for (Value cond : {I(1), S("true"), Value(), F(1.0)}) {
        SCOPED_TRACE(debug_string(cond));
        EXPECT_EQ(fatal_message([&] { run(m, {Statement::if_(lit(cond), {}, {})}); }), kCondition);
    }
    bind_recorder("r");
    run(m, {Statement::if_(call("r", lit(B(true))), {}, {})});
    EXPECT_EQ(*log, Log{"r:Boolean(true)"});
    // A failing If stops the statements after it.
    EXPECT_EQ(fatal_message([&] { run(m, {Statement::if_(lit(Value()), {}, {}), let("after", lit(I(1)))}); }),
              kCondition);
    EXPECT_EQ(get(m, "after"), "<unbound>");
}

// `x = n + 1` and `if n < 10` read an integer n as a plain word; any other
// n, or none, must still give the general result or message.
TEST_F(Eval, NameAgainstIntegerLiteralWithAnyValue) {
    struct Case { Value n; const char* sum; const char* less; };
    const Case cases[] = {
        {I(kMax), "Number(Int(-9223372036854775808))", "Boolean(false)"},
        {I(-5), "Number(Int(-4))", "Boolean(true)"},
        {I(10), "Number(Int(11))", "Boolean(false)"},
        {F(9.5), "Number(Float(10.5))", "Boolean(true)"},
        {S("a"), kUnknownType, kNotNumber},
        {Value(), kUnknownType, kNotNumber},
    };
    Program program{let("sum", Expr::binary_op(id("n"), Operator::Add, lit(I(1)))),
                    Statement::if_(Expr::less_than(id("n"), lit(I(10))), {let("less", lit(B(true)))},
                                   {let("less", lit(B(false)))})};
    auto run_with = [&](const Case& c, std::size_t from) {
        run(m, {let("n", lit(c.n))});
        std::string message = fatal_message([&] { run(m, {program[from]}); });
        return message == "<no fatal error>" ? get(m, from ? "less" : "sum") : message;
    };
    for (int pass = 0; pass < 2; ++pass) {  // the second pass finds n remembered
        for (const auto& c : cases) {
            SCOPED_TRACE(debug_string(c.n));
            EXPECT_EQ(run_with(c, 0), c.sum);
            EXPECT_EQ(run_with(c, 1), c.less);
        }
    }
    Machine fresh = Machine::create();
    EXPECT_EQ(fatal_message([&] { run(fresh, program); }), "Value cannot be found: S(\"n\")");
}

// An expression reads a name that stands right of several operators only
// once, unless something it evaluates may rebind the name in between: a
// function may.
TEST_F(Eval, NamesReadAgainSeeEveryRebinding) {
    struct Rebinder : QuarnFunction {
        Machine* machine;
        explicit Rebinder(Machine* m) : machine(m) {}
        std::unique_ptr<QuarnFunction> clone_box() const override { return std::make_unique<Rebinder>(machine); }
        void fmt_debug(std::string& out) const override { out += "Rebinder"; }
        Value run(Value) override {
            quarn::run(*machine, {let("x", lit(I(100)))});
            return I(0);
        }
    };
    auto plus = [](Expr a, Expr b) { return Expr::binary_op(std::move(a), Operator::Add, std::move(b)); };
    run(m, {fn_statement("f", std::make_unique<Rebinder>(&m)), let("x", lit(I(1)))});
    EXPECT_EQ(outcome(m, plus(plus(plus(lit(I(1)), id("x")), call("f", lit(I(0)))), id("x"))), "Number(Int(102))");
    for (Value x : {F(1.5), S("ab")}) {
        run(m, {let("x", lit(x))});
        EXPECT_EQ(outcome(m, plus(plus(id("x"), id("x")), id("x"))),
                  debug_string(evaluate(m, plus(plus(lit(x), lit(x)), lit(x)))));
    }
    // A subtree used twice is a block, which keeps names of its own.
    run(m, {let("x", lit(I(1))), let("y", lit(I(10)))});
    Expr twice_y = plus(plus(lit(I(0)), id("y")), id("y"));
    EXPECT_EQ(outcome(m, plus(plus(plus(plus(lit(I(1)), id("x")), twice_y), id("x")), twice_y)), "Number(Int(43))");
    // More names than are kept: each still reads its own value.
    Expr sum = lit(I(0));
    std::int64_t expected = 0;
    for (int i = 0; i < 20; ++i) {
        std::string name = "n" + std::to_string(i);
        run(m, {Statement::let(Identifier::S(name), lit(I(i)))});
        for (int twice = 0; twice < 2; ++twice) sum = plus(std::move(sum), Expr::ident(Identifier::S(name)));
        expected += 2 * i;
    }
    EXPECT_EQ(outcome(m, sum), debug_string(I(expected)));
    EXPECT_EQ(outcome(m, plus(plus(lit(I(1)), id("z")), id("z"))), "Value cannot be found: S(\"z\")");
}

TEST_F(Eval, IfOpensNoScope) {
    for (bool cond : {true, false}) {
        Machine fresh = Machine::create();
        run(fresh, {Statement::if_(lit(B(cond)), {let("then", lit(I(1)))}, {let("else", lit(I(2)))}),
                       let("seen", id(cond ? "then" : "else"))});
        EXPECT_EQ(get(fresh, "then"), cond ? "Number(Int(1))" : "<unbound>");
        EXPECT_EQ(get(fresh, "else"), cond ? "<unbound>" : "Number(Int(2))");
        EXPECT_EQ(get(fresh, "seen"), cond ? "Number(Int(1))" : "Number(Int(2))");
    }
    // Nested lists run in place and in order.
    Statement inner = Statement::if_(Expr::not_(lit(B(false))),
                                     {let("a", Expr::binary_op(id("a"), Operator::Mul, lit(I(10))))}, {});
    run(m, {Statement::if_(lit(B(true)), {let("a", lit(I(1))), inner}, {})});
    EXPECT_EQ(get(m, "a"), "Number(Int(10))");
    run(m, {let("b", id("a"))});  // a later run sees it too
    EXPECT_EQ(get(m, "b"), "Number(Int(10))");
}

// A tree may use one subtree in many places. It runs at each place, in
// order, and its flat form holds it once, however often the tree repeats it.
TEST_F(Eval, SharedSubtreesRunAtEachPlace) {
    bind_recorder("r");
    Expr doubled = call("r", lit(I(1)));
    for (int i = 0; i < 10; ++i) doubled = Expr::binary_op(doubled, Operator::Add, doubled);
    run(m, {let("d", doubled)});
    EXPECT_EQ(get(m, "d"), "Number(Int(1024))");
    EXPECT_EQ(log->size(), 1024u);

    Expr wide = Expr::binary_op(id("x"), Operator::Mul, lit(I(2)));
    for (int i = 0; i < 60; ++i) wide = vexpr({wide, wide});
    std::unique_ptr<detail::Code> code = detail::compile(wide.node());
    EXPECT_LE(code->ops.size(), 6u * 61);  // per level: its charge, operands, vector and return
}

// Blocks go into the form one after another, so a block may enter one that
// stands before it: each subtree here is shared by two later ones.
TEST_F(Eval, BlocksEnterBlocksOnEitherSide) {
    std::vector<Expr> e{lit(I(1))};
    auto add = [&](std::size_t a, std::size_t b) { e.push_back(Expr::binary_op(e[a], Operator::Add, e[b])); };
    for (std::size_t i = 0; i < 3; ++i) add(i, i);
    for (std::size_t i = 3; i < 11; ++i) add(i, i - 3);
    add(3, 11);
    for (std::size_t i = 4; i < 8; ++i) add(e.size() - 1, i);
    Expr top = e.back();
    e.clear();  // only the tree shares its subtrees
    EXPECT_EQ(debug_string(evaluate(m, top)), "Number(Int(147))");
}

// `a = a + leaf` grows a text in place only while no one else holds it: a
// literal it came from, a vector that took it, a handle kept outside, or the
// right operand itself.
// A statement that a tree holds in two places is run at each, and compiled
// once: compiled in at every place, 64 levels of it would make a form of
// 2^64 statements.
TEST_F(Eval, SharedStatementsRunAtEachPlace) {
    Statement counting = let("n", Expr::binary_op(id("n"), Operator::Add, lit(I(1))));
    Statement skipped = counting;
    for (int level = 0; level < 10; ++level) counting = Statement::if_(lit(B(true)), {counting, counting}, {});
    for (int level = 0; level < 64; ++level) skipped = Statement::if_(lit(B(false)), {skipped, skipped}, {});
    run(m, {let("n", lit(I(0))), counting, skipped});
    EXPECT_EQ(get(m, "n"), "Number(Int(1024))");
}

TEST_F(Eval, TextGrownInPlaceOnlyWhileUnshared) {
    Statement grow = let("a", Expr::binary_op(id("a"), Operator::Add, lit(S("xy"))));
    Expr start = lit(S("ab"));
    Program program{let("a", start), grow, grow, let("v", vexpr({id("a")})), grow, grow};
    for (int round = 0; round < 2; ++round) {  // the literal "ab" never changes
        run(m, program);
        EXPECT_EQ(get(m, "v"), "Vector([String(\"abxyxy\")])");
        EXPECT_EQ(get(m, "a"), "String(\"abxyxyxyxy\")");
    }
    Value outside = m.get(Identifier::S("a"));
    run(m, {grow});
    EXPECT_EQ(debug_string(outside), "String(\"abxyxyxyxy\")");
    run(m, {let("a", Expr::binary_op(id("a"), Operator::Add, id("a")))});
    EXPECT_EQ(get(m, "a"), "String(\"abxyxyxyxyxyabxyxyxyxyxy\")");
    EXPECT_EQ(outcome(m, Expr::binary_op(id("a"), Operator::Add, lit(I(1)))), kUnknownType);
    run(m, {let("a", lit(I(1))), let("a", Expr::binary_op(id("a"), Operator::Add, lit(I(2))))});
    EXPECT_EQ(get(m, "a"), "Number(Int(3))");
}

// Readers on other threads take the text while it grows: each sees a whole
// earlier text, never one that changes under it.
TEST_F(Eval, TextGrownInPlaceWhileOthersRead) {
    run(m, {let("a", lit(S("")))});
    Statement grow = let("a", Expr::binary_op(id("a"), Operator::Add, lit(S("x"))));
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                Value text = m.get(Identifier::S("a"));
                std::string before(text.as_string());
                std::this_thread::yield();
                if (text.as_string() != before || before.find_first_not_of('x') != std::string::npos) ++bad;
            }
        });
    }
    for (int i = 0; i < 20000; ++i) run(m, {grow});
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(m.get(Identifier::S("a")).as_string(), std::string(20000, 'x'));
}
