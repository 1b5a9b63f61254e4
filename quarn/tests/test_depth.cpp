// Very deep trees and values: copying, dropping, printing and comparing them
// must not overflow the machine stack, and evaluating them must stop with a
// fatal error rather than crash, also on a thread with a small stack.

#include <gtest/gtest.h>
#include <pthread.h>

#include <exception>
#include <functional>
#include <string>

#include "quarn/error.hpp"
#include "quarn/eval.hpp"

using namespace quarn;

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define QUARN_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARN_TEST_SANITIZED 1
#endif
#endif

// Instrumented builds have frames several times larger, so a tenth of the
// depth still overflows any recursive walk while keeping the suite quick there.
#ifdef QUARN_TEST_SANITIZED
constexpr int kTreeDepth = 100'000;
#else
constexpr int kTreeDepth = 1'000'000;
#endif
constexpr int kValueDepth = 100'000;
constexpr std::size_t kSmallStack = 256 * 1024;

Expr lit(Value v) { return Expr(Literal{std::move(v)}); }

Expr not_chain() {
    Expr e = lit(Value(true));
    for (int i = 0; i < kTreeDepth; ++i) e = Expr::not_(std::move(e));
    return e;
}

Expr vector_chain() {
    Expr e{VectorExpr{}};
    for (int i = 0; i < kTreeDepth; ++i) {
        VectorExpr v;
        v.items.push_back(std::move(e));
        e = Expr(std::move(v));
    }
    return e;
}

Statement if_chain() {
    Statement s = Let{Identifier::S("bottom"), lit(Value(Number::Int(1)))};
    for (int i = 0; i < kTreeDepth; ++i) {
        Program then;
        then.push_back(std::move(s));
        s = Statement(If{std::move(then), {}, lit(Value(true))});
    }
    return s;
}

Shared nested_value() {
    Shared v = Shared::make(Value(Vector{}));
    for (int i = 0; i < kValueDepth; ++i) v = Shared::make(Value(Vector{v}));
    return v;
}

bool stops_with_fatal(const std::function<void()>& f) {
    try {
        f();
    } catch (const Fatal&) {
        return true;
    }
    return false;
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

// The chains are built once per process, on first use; tests work on copies.
const Expr& shared_not_chain() {
    static const Expr* chain = new Expr(not_chain());
    return *chain;
}
const Expr& shared_vector_chain() {
    static const Expr* chain = new Expr(vector_chain());
    return *chain;
}
const Statement& shared_if_chain() {
    static const Statement* chain = new Statement(if_chain());
    return *chain;
}

}  // namespace

class Depth : public ::testing::Test {
protected:
    Machine m = Machine::create();
};

TEST_F(Depth, ExpressionChainsCopyDropAndStop) {
    { Expr dropped = shared_not_chain(); }
    { Expr dropped = shared_vector_chain(); }
    EXPECT_TRUE(stops_with_fatal([&] { deduce_expr(m, shared_not_chain()); }));
    EXPECT_TRUE(stops_with_fatal([&] { deduce_expr(m, shared_vector_chain()); }));
}

TEST_F(Depth, StatementChainCopiesDropsAndStops) {
    { Statement dropped = shared_if_chain(); }
    Program program;
    program.push_back(shared_if_chain());
    EXPECT_TRUE(stops_with_fatal([&] { deduce(m, std::move(program)); }));
    EXPECT_FALSE(m.vars.lookup(Identifier::S("bottom")));
}

TEST_F(Depth, SmallStackThread) {
    Shared v = nested_value();
    bool expr_stopped = false, statement_stopped = false;
    std::exception_ptr error = on_small_stack([&] {
        { Statement dropped = shared_if_chain(); }
        Expr copy = shared_not_chain();
        expr_stopped = stops_with_fatal([&] { deduce_expr(m, std::move(copy)); });
        Program program;
        program.push_back(shared_if_chain());
        statement_stopped = stops_with_fatal([&] { deduce(m, std::move(program)); });
        // The last handle to the nested value goes away on this thread.
        v = Shared();
    });
    EXPECT_FALSE(error);
    EXPECT_TRUE(expr_stopped);
    EXPECT_TRUE(statement_stopped);
}

TEST(DeepValue, CopyPrintCompareDrop) {
    Shared v = nested_value();
    Shared twin = nested_value();
    {
        Value copy = *v;  // shares its one element
        EXPECT_EQ(std::get<Vector>(copy.v)[0].use_count(), 2u);
    }
    std::string out;
    debug(out, *v);
    ASSERT_EQ(out.size(), 10u * (kValueDepth + 1));
    EXPECT_EQ(out.substr(0, 16), "Vector([Vector([");
    EXPECT_EQ(out.substr(8u * kValueDepth, 12), "Vector([])])");
    EXPECT_EQ(out.find_first_not_of("])", 8u * kValueDepth + 10), std::string::npos);
    EXPECT_TRUE(equals(*v, *twin));
    v = Shared();
    twin = Shared();
}
