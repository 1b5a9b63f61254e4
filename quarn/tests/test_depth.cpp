// Programs of any depth run to their result on a constant amount of machine
// stack, also on a thread with a small stack; a function called at the bottom
// of a deep tree has nearly all of its thread's stack; deep trees and values
// are released, printed and compared without recursion.

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "quarn/eval.hpp"
#include "support.hpp"

using namespace quarn;
using namespace quarn::test_support;

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define QUARN_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARN_TEST_SANITIZED 1
#endif
#endif

#ifdef QUARN_TEST_SANITIZED
constexpr int kDepth = 200'000;  // instrumented builds are slower, not deeper
constexpr std::uintptr_t kFrameAllowance = 64 * 1024;
#else
constexpr int kDepth = 1'000'000;
constexpr std::uintptr_t kFrameAllowance = 16 * 1024;
#endif
constexpr std::size_t kSmallStack = 256 * 1024;

std::uintptr_t stack_address() {
    char here;
    return reinterpret_cast<std::uintptr_t>(&here);
}

// Returns its argument and records how far below `top` the stack was.
struct StackProbe : QuarnFunction {
    std::uintptr_t* deepest;
    std::uintptr_t top;
    StackProbe(std::uintptr_t* d, std::uintptr_t t) : deepest(d), top(t) {}
    std::unique_ptr<QuarnFunction> clone_box() const override { return std::make_unique<StackProbe>(*this); }
    void fmt_debug(std::string& out) const override { out += "StackProbe"; }
    Value run(Value arg) override {
        std::uintptr_t used = top - stack_address();
        if (used > *deepest) *deepest = used;
        return arg;
    }
};

Expr chain(Expr leaf, const std::function<Expr(Expr)>& wrap, int depth = kDepth) {
    for (int i = 0; i < depth; ++i) leaf = wrap(std::move(leaf));
    return leaf;
}

Statement if_chain(int depth = kDepth) {
    Statement s = let("bottom", lit(I(1)));
    for (int i = 0; i < depth; ++i) s = Statement::if_(lit(B(true)), {s}, {});
    return s;
}

int nesting(Value v) {
    int depth = 0;
    while (v.kind() == Kind::Vector && v.as_vector().size() == 1) {
        Value inner = v.as_vector()[0];
        v = std::move(inner);
        ++depth;
    }
    return depth;
}

// Runs f on a new thread with a small stack; returns what it threw, if anything.
std::exception_ptr on_small_stack(std::function<void()> f) {
    struct Job {
        std::function<void()> f;
        std::exception_ptr error;
    } job{std::move(f), nullptr};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    EXPECT_EQ(pthread_attr_setstacksize(&attr, kSmallStack), 0);
    pthread_t thread;
    auto body = [](void* p) -> void* {
        auto* j = static_cast<Job*>(p);
        try {
            j->f();
        } catch (...) {
            j->error = std::current_exception();
        }
        return nullptr;
    };
    EXPECT_EQ(pthread_create(&thread, &attr, body, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return job.error;
}

Expr sum_chain() {
    return chain(lit(I(0)), [](Expr e) { return Expr::binary_op(std::move(e), Operator::Add, lit(I(1))); });
}
Expr sum_chain_right() {  // every operand on the right, each left operand a leaf
    return chain(lit(I(0)), [](Expr e) { return Expr::binary_op(lit(I(1)), Operator::Add, std::move(e)); });
}

}  // namespace

class Depth : public ::testing::Test {
protected:
    Machine m = Machine::create();
};

TEST_F(Depth, DeepExpressionsRunToTheirResult) {
    EXPECT_EQ(evaluate(m, sum_chain()).as_int(), kDepth);
    EXPECT_EQ(evaluate(m, sum_chain_right()).as_int(), kDepth);
    Expr nots = chain(lit(B(true)), [](Expr e) { return Expr::not_(std::move(e)); });
    EXPECT_EQ(evaluate(m, nots).as_bool(), kDepth % 2 == 0);
    Expr vectors = chain(lit(I(7)), [](Expr e) { return vexpr({std::move(e)}); });
    EXPECT_EQ(nesting(evaluate(m, vectors)), kDepth);
    run(m, {if_chain()});
    EXPECT_EQ(m.get(Identifier::S("bottom")).as_int(), 1);
}

TEST_F(Depth, FunctionAtTheBottomHasTheStack) {
    std::uintptr_t deepest = 0;
    std::uintptr_t top = stack_address();
    run(m, {Statement::fn(Identifier::S("probe"), std::make_unique<StackProbe>(&deepest, top))});
    Expr calls = chain(lit(I(1)), [](Expr e) { return call("probe", vexpr({std::move(e)})); }, kDepth / 10);
    EXPECT_EQ(nesting(evaluate(m, calls)), kDepth / 10);
    EXPECT_GT(deepest, 0u);
    EXPECT_LT(deepest, kFrameAllowance);
}

TEST_F(Depth, SmallStackThreadRunsEverything) {
    std::int64_t sum = 0;
    int vectors = 0;
    std::exception_ptr error = on_small_stack([&] {
        sum = evaluate(m, sum_chain()).as_int();
        run(m, {if_chain()});
        Value deep = evaluate(m, chain(vexpr({}), [](Expr e) { return vexpr({std::move(e)}); }));
        vectors = nesting(deep);
        EXPECT_TRUE(equals(deep, deep));
        std::string printed = debug_string(deep);
        EXPECT_EQ(printed.size(), 10u * (kDepth + 1));
        // The last handles to the deep value and trees go on this thread.
    });
    EXPECT_FALSE(error);
    EXPECT_EQ(sum, kDepth);
    EXPECT_EQ(vectors, kDepth);
}

// Re-entry (a function running a program on the machine that called it)
// costs a small constant of stack per level, whatever the trees' depth.
TEST_F(Depth, ReentryCostsAConstantPerLevel) {
    struct Reenter : QuarnFunction {
        Machine* machine;
        std::uintptr_t* lowest;
        Reenter(Machine* mm, std::uintptr_t* l) : machine(mm), lowest(l) {}
        std::unique_ptr<QuarnFunction> clone_box() const override { return std::make_unique<Reenter>(*this); }
        void fmt_debug(std::string& out) const override { out += "Reenter"; }
        Value run(Value arg) override {
            std::uintptr_t here = stack_address();
            if (here < *lowest) *lowest = here;
            std::int64_t level = arg.as_int();
            if (level == 0) return arg;
            Expr deep = chain(call("again", lit(I(level - 1))),
                              [](Expr e) { return Expr::binary_op(std::move(e), Operator::Add, lit(I(0))); }, 1000);
            return evaluate(*machine, deep);
        }
    };
    std::uintptr_t lowest = stack_address();
    std::uintptr_t top = lowest;
    run(m, {Statement::fn(Identifier::S("again"), std::make_unique<Reenter>(&m, &lowest))});
    constexpr int kLevels = 50;
    EXPECT_EQ(evaluate(m, call("again", lit(I(kLevels)))).as_int(), 0);
    EXPECT_LT((top - lowest) / kLevels, kFrameAllowance / 4);
}

TEST(DeepValue, PrintCompareDrop) {
    Machine m = Machine::create();
    Expr nest = chain(vexpr({}), [](Expr e) { return vexpr({std::move(e)}); }, 100'000);
    Value v = evaluate(m, nest), twin = evaluate(m, nest);
    std::string out;
    debug(out, v);
    ASSERT_EQ(out.size(), 10u * (100'000 + 1));
    EXPECT_EQ(out.substr(0, 16), "Vector([Vector([");
    EXPECT_EQ(out.find_first_not_of("])", 8u * 100'000 + 10), std::string::npos);
    EXPECT_TRUE(equals(v, twin));
}
