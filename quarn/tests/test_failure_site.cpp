// Where a failed run stopped, in every shape of form: a statement run from
// its first, uncompiled instructions, one compiled with the ifs it holds, a
// block of a shared expression, and a statement shared by two parents that
// runs by a form of its own.

#include <gtest/gtest.h>

#include "quarn/eval.hpp"
#include "support.hpp"

namespace quarn {
namespace {

using namespace test_support;

std::string site_of(Machine& machine, const Program& program) {
    std::vector<const Statement*> each;
    for (const Statement& s : program) each.push_back(&s);
    FailureSite site;
    try {
        run(machine, each, &site);
    } catch (const Fatal&) {
        return site.text();
    }
    return "<no failure>";
}

Statement if_(bool cond, Program then, Program otherwise = {}) {
    return Statement::if_(lit(B(cond)), std::move(then), std::move(otherwise));
}

Statement fails() { return let("bad", id("unbound")); }

TEST(FailureSite, NamesTheStatementEachTimeTheProgramRuns) {
    Machine machine = Machine::create();
    Program program{let("a", lit(I(1))), if_(false, {}, {let("b", lit(I(2))), if_(true, {fails()})}), let("c", lit(I(3)))};
    for (int run = 0; run < 3; ++run)  // the first from scratch and compiling, then compiled
        EXPECT_EQ(site_of(machine, program), "at statement 1, otherwise-branch statement 1, then-branch statement 0");
    EXPECT_EQ(site_of(machine, {let("a", lit(I(1))), fails()}), "at statement 1");
    EXPECT_EQ(site_of(machine, {if_(true, {}), Statement::if_(id("unbound"), {}, {})}), "at statement 1");
}

TEST(FailureSite, ABlockStandsForTheStatementThatEnteredIt) {
    Machine machine = Machine::create();
    Expr shared = Expr::binary_op(id("unbound"), Operator::Add, lit(I(1)));
    Expr twice = Expr::binary_op(shared, Operator::Add, shared);
    Program program{if_(true, {let("a", lit(I(1))), let("x", twice)})};
    EXPECT_EQ(site_of(machine, program), "at statement 0, then-branch statement 1");
    EXPECT_EQ(site_of(machine, program), "at statement 0, then-branch statement 1");
}

TEST(FailureSite, AStatementWithAFormOfItsOwnIsNamedWhereItStands) {
    Machine machine = Machine::create();
    Statement inner = if_(true, {let("a", lit(I(1))), fails()});
    Program program{let("z", lit(I(0))), if_(false, {inner}, {let("b", lit(I(2))), inner})};
    EXPECT_EQ(site_of(machine, program), "at statement 1, otherwise-branch statement 1, then-branch statement 1");
    EXPECT_EQ(site_of(machine, program), "at statement 1, otherwise-branch statement 1, then-branch statement 1");
}

}  // namespace
}  // namespace quarn
