// A program run again runs as one unit: the same values, errors, failure
// sites and operation counts as statement by statement, at every limit; its
// registers never outlast a moment when the host's code may have run; and
// which programs get a unit, and what a unit keeps alive.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "engines.hpp"
#include "quarn/eval.hpp"
#include "quarn/meter.hpp"
#include "support.hpp"
#include "unit.hpp"

using namespace quarn;
using namespace quarn::test_support;

namespace {

Expr op(Expr a, Operator o, Expr b) { return Expr::binary_op(std::move(a), o, std::move(b)); }
Statement if_(Expr cond, Program then, Program otherwise = {}) {
    return Statement::if_(std::move(cond), std::move(then), std::move(otherwise));
}

std::vector<const Statement*> pointers(const Program& program) {
    std::vector<const Statement*> each;
    for (const Statement& s : program) each.push_back(&s);
    return each;
}

// How a run ended: its error and site, if any, and every binding after it.
struct Outcome {
    std::string error, site, machine;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    return out << "{" << o.error << " | " << o.site << " | " << o.machine << "}";
}

enum class Engine { Statements, Unit };

Outcome outcome_of(Engine engine, const Program& setup, const Program& program, Limits limits, Writers writers) {
    Machine machine = Machine::create({}, writers);
    Outcome out;
    run(machine, setup);
    machine.limits = limits;
    std::vector<const Statement*> each = pointers(program);
    FailureSite site;
    try {
        Budget budget(machine);
        if (engine == Engine::Unit)
            detail::run_as_unit(machine, each, &site, budget);
        else
            detail::run_by_statements(machine, each, &site, budget);
    } catch (const Fatal& error) {
        out.error = error.message();
        out.site = site.text();
    }
    std::vector<std::string> bindings;
    for (const auto& [binding, value] : machine.vars.entries())
        bindings.push_back(debug_string(binding->id) + "=" + debug_string(value));
    std::sort(bindings.begin(), bindings.end());
    for (const std::string& binding : bindings) out.machine += binding + " ";
    return out;
}

// Both engines at every operation limit up to past the whole run, then at
// a few size limits, with both kinds of writers.
void expect_same_runs(const Program& setup, const Program& program) {
    for (Writers writers : {Writers::Serialized, Writers::Concurrent}) {
        for (std::uint64_t ops = 1; ops <= 80; ++ops) {
            Limits limits{ops, 0};
            EXPECT_EQ(outcome_of(Engine::Statements, setup, program, limits, writers),
                      outcome_of(Engine::Unit, setup, program, limits, writers))
                << "at max_operations=" << ops;
        }
        for (std::uint64_t size : {0, 1, 3, 6, 10}) {
            Limits limits{0, size};
            EXPECT_EQ(outcome_of(Engine::Statements, setup, program, limits, writers),
                      outcome_of(Engine::Unit, setup, program, limits, writers))
                << "at max_value_size=" << size;
        }
    }
}

// The record job's rules, over a record bound beforehand.
Program w8_rules() {
    return {let("shipping", op(op(id("weight"), Operator::Mul, lit(F(0.5))), Operator::Add, lit(F(4.0)))),
            if_(Expr::equals(id("tier"), lit(S("gold"))), {let("rate", lit(F(0.9)))}, {let("rate", lit(F(1.0)))}),
            let("total", op(op(id("subtotal"), Operator::Mul, id("rate")), Operator::Add, id("shipping"))),
            if_(Expr::greater_than(id("total"), lit(F(100.0))), {let("label", lit(S("large")))},
                {let("label", lit(S("small")))}),
            let("total", op(id("total"), Operator::Mul, lit(F(1.2))))};
}

TEST(Unit, RunsTheRecordRulesAsStatementsDo) {
    expect_same_runs({let("tier", lit(S("gold"))), let("weight", lit(F(12.5))), let("subtotal", lit(F(99.0)))},
                     w8_rules());
    // Integers where floats were, and texts where numbers were: the general way.
    expect_same_runs({let("tier", lit(I(1))), let("weight", lit(I(7))), let("subtotal", lit(I(90)))}, w8_rules());
    expect_same_runs({let("tier", lit(S("x"))), let("weight", lit(S("w"))), let("subtotal", lit(F(1.0)))},
                     w8_rules());
    expect_same_runs({}, w8_rules());  // unbound
}

// Each operator alone, and every pair in both shapes of three leaves, over
// doubles (a negative zero, an infinity and a NaN among them), over an
// integer with doubles, over integers (a division by zero among them), over
// a text where a number was, and `x = n + 1` at the edge of the integers.
TEST(Unit, RunsEveryOperatorOverNumbersAsStatementsDo) {
    using Top = std::function<Expr(Expr, Expr)>;
    std::vector<Top> tops{Expr::less_than, Expr::greater_than, Expr::equals};
    for (Operator o : {Operator::Add, Operator::Sub, Operator::Mul, Operator::Div})
        tops.push_back([o](Expr a, Expr b) { return op(std::move(a), o, std::move(b)); });
    Program program;
    for (const Top& top : tops) {
        program.push_back(let("x", top(id("a"), id("b"))));
        for (Operator first : {Operator::Add, Operator::Sub, Operator::Mul, Operator::Div}) {
            program.push_back(let("x", top(op(id("a"), first, id("b")), id("c"))));
            program.push_back(let("x", top(id("a"), op(id("b"), first, id("c")))));
        }
    }
    program.push_back(let("n", op(id("n"), Operator::Add, lit(I(1)))));
    auto bound = [](Value a, Value b, Value c, Value n) {
        return Program{let("a", lit(a)), let("b", lit(b)), let("c", lit(c)), let("n", lit(n))};
    };
    double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    expect_same_runs(bound(F(2.5), F(-0.0), F(0.1), I(std::numeric_limits<std::int64_t>::max())), program);
    expect_same_runs(bound(F(nan), F(inf), F(-0.0), F(1.5)), program);
    expect_same_runs(bound(I(7), F(2.0), I(3), S("n")), program);
    expect_same_runs(bound(I(7), I(-3), I(0), I(std::numeric_limits<std::int64_t>::min())), program);
    expect_same_runs(bound(S("x"), I(2), F(0.5), B(true)), program);
}

TEST(Unit, RunsEveryKindOfStatementAsStatementsDo) {
    Statement counted = let("n", op(id("n"), Operator::Add, lit(I(1))));  // reached three times
    Expr shared = op(id("n"), Operator::Mul, id("n"));                   // a block, twice
    Program program{let("n", lit(I(0))),
                    counted,
                    if_(Expr::not_(Expr::equals(id("n"), lit(I(0)))), {counted, let("t", lit(S("ab")))}, {counted}),
                    let("s", op(shared, Operator::Add, shared)),
                    let("t", op(id("t"), Operator::Add, lit(S("cd")))),
                    let("t", op(id("t"), Operator::Add, id("t"))),
                    let("v", vexpr({id("n"), id("t"), lit(vec({I(1), I(2)}))})),
                    let("w", Expr::equals(id("v"), id("v"))),
                    if_(id("w"), {counted}, {let("never", lit(I(1)))}),
                    let("x", op(id("t"), Operator::Mul, lit(F(2.0)))),
                    let("unreached", lit(I(1)))};
    expect_same_runs({}, program);
}

TEST(Unit, RunsCallsAsStatementsDo) {
    Program setup{bind_callback("twice", [](Value v) { return v.is_int() ? I(v.as_int() * 2) : v; })};
    Program program{let("a", Expr::call(Identifier::S("twice"), lit(I(4)))),
                    let("b", op(Expr::call(Identifier::S("twice"), id("a")), Operator::Add, id("a"))),
                    if_(Expr::less_than(Expr::call(Identifier::S("twice"), id("b")), lit(I(100))), {let("c", lit(I(1)))}),
                    let("d", Expr::call(Identifier::S("missing"), lit(I(0))))};
    expect_same_runs(setup, program);
}

const std::string kThrice101 = "Number(Float(101.0)) Number(Float(101.0)) Number(Float(101.0)) ";

// Run many times: the second run and on are the unit's.
std::string runs(Machine& machine, const Program& program, const char* read) {
    std::vector<const Statement*> each = pointers(program);
    std::string seen;
    for (int i = 0; i < 3; ++i) {
        run(machine, each);
        seen += debug_string(machine.get(Identifier::S(read))) + " ";
    }
    return seen;
}

TEST(Unit, ARegisterDoesNotHoldPastAFunctionThatRebindsItsName) {
    Machine machine = Machine::create({}, Writers::Serialized);
    run(machine, {bind_callback("poke", [&](Value) {
            machine.vars.insert(Identifier::S("x"), F(100.0));
            return Value();
        })});
    Program program{let("x", op(lit(F(1.0)), Operator::Add, lit(F(2.0)))),
                    let("ignored", Expr::call(Identifier::S("poke"), lit(I(0)))),
                    let("y", op(id("x"), Operator::Add, lit(F(1.0))))};
    EXPECT_EQ(runs(machine, program, "y"), kThrice101);
}

// The host rebinds x when it looks for an interruption, as a signal handler
// may, between the statement that binds x and the one that reads it.
Machine* poked = nullptr;
void rebind_x() {
    if (poked) poked->vars.insert(Identifier::S("x"), F(100.0));
}

TEST(Unit, ARegisterDoesNotHoldPastALookForAnInterruption) {
    Machine machine = Machine::create({}, Writers::Serialized);
    Expr big = lit(I(1));
    for (int i = 0; i < 16; ++i) big = op(big, Operator::Add, big);  // 2^17 - 1 operations: checks on the way
    Program program{let("x", op(lit(F(1.0)), Operator::Add, lit(F(2.0)))), let("big", big),
                    let("y", op(id("x"), Operator::Add, lit(F(1.0))))};
    poked = &machine;
    set_interrupt_check(rebind_x);
    std::string seen = runs(machine, program, "y");
    set_interrupt_check(nullptr);
    poked = nullptr;
    EXPECT_EQ(seen, kThrice101);
}

// A function whose release rebinds x: the host's code runs when the last
// handle to a function goes.
struct RebindsWhenReleased : QuarnFunction {
    std::unique_ptr<QuarnFunction> clone_box() const override { return std::make_unique<RebindsWhenReleased>(); }
    void fmt_debug(std::string& out) const override { out += "RebindsWhenReleased"; }
    Value run(Value) override { return Value(); }
    ~RebindsWhenReleased() override { rebind_x(); }
};

TEST(Unit, ARegisterDoesNotHoldPastTheReleaseOfAFunction) {
    Machine machine = Machine::create({}, Writers::Serialized);
    Statement bind_f = Statement::fn(Identifier::S("f"), std::make_unique<RebindsWhenReleased>());
    Program program{bind_f, let("x", op(lit(F(1.0)), Operator::Add, lit(F(2.0)))), let("f", lit(I(0))),
                    let("y", op(id("x"), Operator::Add, lit(F(1.0))))};
    poked = &machine;
    std::string seen = runs(machine, program, "y");
    poked = nullptr;
    EXPECT_EQ(seen, kThrice101);
}

TEST(Unit, AProgramIsCompiledOnItsSecondRun) {
    Machine machine = Machine::create();
    Program program = w8_rules();
    std::vector<const Statement*> each = pointers(program);
    run(machine, {let("tier", lit(S("gold"))), let("weight", lit(F(1.0))), let("subtotal", lit(F(1.0)))});
    run(machine, each);
    EXPECT_EQ(program[0].node().code.units(), nullptr);
    run(machine, each);
    const detail::Unit* unit = program[0].node().code.units();
    ASSERT_NE(unit, nullptr);
    run(machine, each);
    EXPECT_EQ(program[0].node().code.units(), unit);
    EXPECT_EQ(unit->next.load(), nullptr);
}

// As the builders do: new statements made for each run ahead of the same
// rules. Nothing is compiled for them, and nothing piles up in the rules.
TEST(Unit, AProgramBuiltForOneRunCompilesNothing) {
    Machine machine = Machine::create();
    Program rules = w8_rules();
    for (int i = 0; i < 50; ++i) {
        Program program{let("tier", lit(S("gold"))), let("weight", lit(F(i))), let("subtotal", lit(F(2.0 * i)))};
        program.insert(program.end(), rules.begin(), rules.end());
        run(machine, pointers(program));
        EXPECT_EQ(program[0].node().code.units(), nullptr);
    }
    for (const Statement& rule : rules) EXPECT_EQ(rule.node().code.units(), nullptr);
}

TEST(Unit, AFirstStatementKeepsAFewUnits) {
    Machine machine = Machine::create();
    Statement first = let("a", lit(I(1)));
    std::vector<Program> programs;
    for (int i = 0; i < 6; ++i) programs.push_back({first, let("b", lit(I(i)))});
    for (const Program& program : programs)
        for (int twice = 0; twice < 2; ++twice) run(machine, pointers(program));
    std::size_t units = 0;
    for (const detail::Unit* unit = first.node().code.units(); unit; unit = unit->next.load()) ++units;
    EXPECT_EQ(units, detail::kUnitsPerStatement);
    for (int i = 0; i < 6; ++i) {
        run(machine, pointers(programs[i]));  // with or without a unit
        EXPECT_EQ(machine.get(Identifier::S("b")).as_int(), i);
    }
}

// The unit is kept by the first statement and holds no count on the ones
// after it, one of which holds the first: when the program goes, all goes.
TEST(Unit, AUnitKeepsNoStatementAlive) {
    Probe::reset();
    {
        Machine machine = Machine::create();
        Statement first = Statement::fn(Identifier::S("f"), std::make_unique<Probe>("first"));
        Program program{first, if_(lit(B(true)), {first, let("x", lit(I(1)))})};
        for (int i = 0; i < 3; ++i) run(machine, pointers(program));
        EXPECT_NE(first.node().code.units(), nullptr);
    }
    EXPECT_EQ(Probe::live, 0);
}

// The total of the rules for a gold record of the given weight and a
// subtotal of 50, worked out statement by statement.
std::string gold_total(double weight) {
    Machine machine = Machine::create();
    Program record{let("tier", lit(S("gold"))), let("weight", lit(F(weight))), let("subtotal", lit(F(50.0)))};
    run(machine, record);
    Budget budget(machine);
    Program rules = w8_rules();
    detail::run_by_statements(machine, pointers(rules), nullptr, budget);
    return debug_string(machine.get(Identifier::S("total")));
}

// Threads run one unit at once, on machines of their own and on one whose
// writers are concurrent, while another thread rebinds what they read.
TEST(Unit, ThreadsRunOneUnitAtOnce) {
    Program program = w8_rules();
    std::vector<const Statement*> each = pointers(program);
    Machine shared = Machine::create();
    Program record{let("tier", lit(S("gold"))), let("weight", lit(F(10.0))), let("subtotal", lit(F(50.0)))};
    run(shared, record);
    const std::string ten = gold_total(10.0), twenty = gold_total(20.0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            Machine own = Machine::create({}, Writers::Serialized);
            run(own, record);
            for (int i = 0; i < 2000; ++i) {
                run(own, each);
                run(t == 0 ? own : shared, each);
            }
            EXPECT_EQ(debug_string(own.get(Identifier::S("total"))), ten);
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 2000; ++i) shared.vars.insert(Identifier::S("weight"), F(i % 2 ? 10.0 : 20.0));
    });
    for (std::thread& thread : threads) thread.join();
    std::string total = debug_string(shared.get(Identifier::S("total")));
    EXPECT_TRUE(total == ten || total == twenty) << total;
}

}  // namespace
