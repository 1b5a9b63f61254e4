// What a machine's limits bound, exactly at their edges; runs nested through
// functions drawing on one budget; interruptions of work that would never end,
// and work that could never fit in memory.

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>

#include "quarn/debug.hpp"
#include "quarn/eval.hpp"
#include "quarn/memory.hpp"
#include "quarn/meter.hpp"
#include "support.hpp"

using namespace quarn;
using namespace quarn::test_support;

namespace {

const std::string kOps = "Operation limit exceeded: max_operations=";
const std::string kSize = "Value size limit exceeded: max_value_size=";

Machine limited(std::uint64_t operations, std::uint64_t size = 0) { return Machine::create({operations, size}); }

bool bound(const Machine& m, const char* name) { return m.vars.lookup(Identifier::S(name)).has_value(); }

// 2 + 4 + 4 operations: each statement, and each node of its expression.
Program ten_operations() {
    return {let("a", lit(I(1))), let("b", Expr::binary_op(id("a"), Operator::Add, lit(I(1)))),
            let("c", vexpr({id("a"), id("b")}))};
}

// The interruption the host would raise, after `calls` checks.
struct Interrupted {};
int checks_left = 0;
void interrupt_after_checks() {
    if (--checks_left < 0) throw Interrupted{};
}

class Interruption : public ::testing::Test {
protected:
    void SetUp() override {
        checks_left = 3;
        set_interrupt_check(interrupt_after_checks);
    }
    void TearDown() override { set_interrupt_check(nullptr); }
};

// A value that stands for 2^depth items through sharing.
Value doubled(int depth) {
    Value v = I(1);
    for (int i = 0; i < depth; ++i) v = vec({v, v});
    return v;
}

}  // namespace

TEST(Limits, OperationsUpToTheLimitRunAndOneMoreStops) {
    Machine exact = limited(10);
    run(exact, ten_operations());
    EXPECT_TRUE(bound(exact, "c"));

    Machine short_by_one = limited(9);
    EXPECT_EQ(fatal_message([&] { run(short_by_one, ten_operations()); }), kOps + "9");
    EXPECT_TRUE(bound(short_by_one, "b"));  // bindings made before stay
    EXPECT_FALSE(bound(short_by_one, "c"));  // the statement being run binds nothing
}

// [1, 2, 3] == [1, 2, 3]: the statement, three nodes, three pairs of items.
TEST(Limits, EveryPairOfItemsComparedCounts) {
    Program program{let("v", lit(vec({I(1), I(2), I(3)}))), let("e", Expr::equals(id("v"), id("v")))};
    Machine exact = limited(2 + 7);
    run(exact, program);
    Machine m = limited(2 + 6);
    EXPECT_EQ(fatal_message([&] { run(m, program); }), kOps + "8");
}

// Each call statement costs 3 (itself, the call, its argument) and the run
// it starts on the same machine 2 more: four calls fit in 20 exactly.
TEST(Limits, RunsStartedByFunctionsDrawOnTheCallersBudget) {
    Machine m = limited(20), other = limited(3);
    int calls = 0;
    run(m, {bind_callback("again", [&](Value) {
            ++calls;
            run(other, {let("o", lit(I(1)))});  // another machine keeps its own budget
            run(m, {let("inner", lit(I(1)))});
            return Value();
        })});
    Statement call_again = let("x", call("again", lit(I(0))));
    Program five(5, call_again);
    EXPECT_EQ(fatal_message([&] { run(m, five); }), kOps + "20");
    EXPECT_EQ(calls, 4);
    EXPECT_TRUE(bound(m, "x"));
}

// A subtree used at 2^40 places charges each use: the limit ends it at once.
TEST(Limits, SharedSubtreesChargeEveryUse) {
    Expr e = lit(I(1));
    for (int i = 0; i < 40; ++i) e = Expr::binary_op(e, Operator::Add, e);
    Machine m = limited(1000);
    EXPECT_EQ(fatal_message([&] { run(m, {let("x", e)}); }), kOps + "1000");
}

TEST(Limits, ValuesUpToTheSizeRunAndOneMoreStops) {
    // "abc" + "de": 5 bytes; [x, x] of a 5-byte text: 11.
    Program program{let("t", Expr::binary_op(lit(S("abc")), Operator::Add, lit(S("de")))),
                    let("v", vexpr({id("t"), id("t")}))};
    Machine exact = limited(0, 11);
    run(exact, program);
    EXPECT_EQ(exact.get(Identifier::S("v")).size(), 11u);

    Machine short_by_one = limited(0, 10);
    EXPECT_EQ(fatal_message([&] { run(short_by_one, program); }), kSize + "10");
    EXPECT_TRUE(bound(short_by_one, "t"));
    EXPECT_FALSE(bound(short_by_one, "v"));
}

TEST(Limits, EveryValueMadeOrBoundIsBounded) {
    Machine m = limited(0, 4);
    EXPECT_EQ(fatal_message([&] { run(m, {let("big", lit(S("12345")))}); }), kSize + "4");  // a literal bound
    run(m, {bind_callback("make", [](Value) { return S("12345"); })});
    EXPECT_EQ(fatal_message([&] { run(m, {let("r", Expr::equals(call("make", lit(I(0))), lit(I(0))))}); }),
              kSize + "4");  // a function's result, even one never bound
    run(m, {let("a", lit(S("1234")))});
    Statement grow = let("a", Expr::binary_op(id("a"), Operator::Add, lit(S("5"))));
    EXPECT_EQ(fatal_message([&] { run(m, {grow}); }), kSize + "4");  // grown in place
    EXPECT_EQ(m.get(Identifier::S("a")).as_string(), "1234");
    EXPECT_EQ(fatal_message([&] { run(m, {let("v", vexpr({lit(I(1)), lit(I(2)), lit(I(3)), lit(I(4))}))}); }),
              kSize + "4");
}

// A text doubled 64 times would need exabytes; the limit stops it first.
TEST(Limits, DoublingTextStopsBeforeItsMemoryIsAskedFor) {
    Machine m = limited(0, 1 << 20);
    Program program{let("a", lit(S("x")))};
    for (int i = 0; i < 64; ++i) program.push_back(let("a", Expr::binary_op(id("a"), Operator::Add, id("a"))));
    EXPECT_EQ(fatal_message([&] { run(m, program); }), kSize + "1048576");
    EXPECT_EQ(m.get(Identifier::S("a")).size(), 1u << 20);
}

TEST(Limits, SizesCountSharedItemsAtEveryPlaceAndSaturate) {
    EXPECT_EQ(S("").size(), 1u);
    EXPECT_EQ(S("héllo").size(), 6u);
    EXPECT_EQ(vec({}).size(), 1u);
    EXPECT_EQ(doubled(3).size(), 15u);
    EXPECT_EQ(doubled(80).size(), Value::kMaxSize);
    EXPECT_EQ(fn("f").size(), 1u);
}

// Each unit of a value's size prints as a byte at least: the form of 2^60
// items is refused before its first byte, as an allocation that fails.
TEST(Limits, DebugFormThatCouldNeverFitInMemoryFailsAtOnce) {
    Machine m = Machine::create();
    m.vars.insert(Identifier::S("v"), doubled(60));
    EXPECT_THROW(m.debug(), std::bad_alloc);
    std::string out = "kept";
    EXPECT_THROW(debug(out, doubled(62)), std::bad_alloc);
    EXPECT_EQ(out, "kept");
    EXPECT_GE(memory_ceiling(), std::uint64_t{1} << 20);
    EXPECT_EQ(debug_string(doubled(1)), "Vector([Number(Int(1)), Number(Int(1))])");
}

TEST_F(Interruption, EndlessWorkStopsAtACheck) {
    Machine m = Machine::create();
    Expr e = lit(I(1));
    for (int i = 0; i < 60; ++i) e = Expr::binary_op(e, Operator::Add, e);
    EXPECT_THROW(run(m, {let("x", e)}), Interrupted);

    checks_left = 3;
    m.vars.insert(Identifier::S("v"), doubled(60));
    EXPECT_THROW(run(m, {let("e", Expr::equals(id("v"), id("v")))}), Interrupted);

    checks_left = 3;
    Machine printed = Machine::create();  // 2^60 items would fail at once, as no memory holds their form
    printed.vars.insert(Identifier::S("v"), doubled(24));
    EXPECT_THROW(printed.debug(), Interrupted);
    checks_left = 3;
    EXPECT_THROW(debug_string(Value::string(std::string(1 << 20, 'x'))), Interrupted);
    std::string eight_megabytes(8 << 20, 'x');
    checks_left = 3;
    EXPECT_THROW(Value::concat(eight_megabytes, eight_megabytes), Interrupted);
    set_interrupt_check(nullptr);
    Value a = S(eight_megabytes), b = S(eight_megabytes);
    set_interrupt_check(interrupt_after_checks);
    checks_left = 3;
    EXPECT_THROW(equals(a, b), Interrupted);

    set_interrupt_check(nullptr);
    run(m, {let("after", lit(I(1)))});  // the machine stays usable
    EXPECT_TRUE(bound(m, "after"));
}
