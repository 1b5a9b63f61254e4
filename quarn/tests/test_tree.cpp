// Syntax tree constructors: each builds one node of its kind around the
// subtrees it is given, which it shares rather than copies.

#include <gtest/gtest.h>

#include "quarn/machine.hpp"
#include "quarn/owned_functions.hpp"
#include "support.hpp"

using namespace quarn;
using namespace quarn::test_support;
using detail::CellKind;

namespace {

template <class Node>
const Node& as(const Expr& e) {
    return static_cast<const Node&>(e.node());
}
template <class Node>
const Node& as(const Statement& s) {
    return static_cast<const Node&>(s.node());
}

}  // namespace

// A parent holds the very subtrees it was given: building costs the same
// whatever their size, and no tree a Python object holds is ever copied.
TEST(Tree, ConstructorsShareTheirChildren) {
    Expr one = lit(I(1)), y = id("y");
    Expr b = Expr::binary_op(one, Operator::Sub, y);
    EXPECT_TRUE(as<detail::PairNode>(b).left.same_node(one));
    EXPECT_TRUE(as<detail::PairNode>(b).right.same_node(y));
    EXPECT_TRUE(as<detail::NotNode>(Expr::not_(b)).item.same_node(b));
    EXPECT_TRUE(as<detail::CallNode>(Expr::call(Identifier::U(9), b)).arg.same_node(b));
    Expr v = vexpr({one, y, one});
    EXPECT_TRUE(as<detail::VectorNode>(v).items()[2].same_node(one));
    Statement let_b = let("x", b);
    Statement s = Statement::if_(b, {let_b}, {});
    EXPECT_TRUE(as<detail::IfNode>(s).cond.same_node(b));
    EXPECT_TRUE(as<detail::IfNode>(s).then[0].same_node(let_b));
}

// What a garbage collector is shown of a tree or a value: only those that
// can reach a function are ever walked.
TEST(Tree, TreesAndValuesKnowWhetherTheyReachAFunction) {
    Statement f = Statement::fn(Identifier::S("f"), std::make_unique<Probe>("f"));
    EXPECT_TRUE(f.reaches_function());
    EXPECT_TRUE(Statement::if_(lit(B(true)), {}, {let("a", lit(I(1))), f}).reaches_function());
    EXPECT_FALSE(Statement::if_(lit(B(true)), {let("a", lit(I(1)))}, {}).reaches_function());
    EXPECT_TRUE(vexpr({lit(I(1)), lit(vec({fn("g")}))}).reaches_function());
    EXPECT_FALSE(vexpr({lit(I(1)), lit(vec({S("x")}))}).reaches_function());
    EXPECT_TRUE(vec({vec({}), vec({fn("h")})}).reaches_function());
    EXPECT_FALSE(vec({vec({}), S("t")}).reaches_function());
}

TEST(Tree, SharedSubtreesAndFunctionsAreReleasedOnceWithTheLastHolder) {
    Probe::reset();
    {
        Statement f = Statement::fn(Identifier::S("f"), std::make_unique<Probe>("f"));
        Expr shared = Expr::call(Identifier::S("f"), lit(fn("lit")));
        Program program{f, f, let("a", shared), let("b", Expr::equals(shared, shared))};
        Statement wrapped = Statement::if_(lit(B(true)), program, program);
        EXPECT_EQ(Probe::clones, 0);  // building shares; nothing is cloned
        EXPECT_EQ(Probe::live, 2);
    }
    EXPECT_EQ(Probe::live, 0);
    EXPECT_EQ(Probe::destroyed.size(), 2u);
}

// A garbage collector is shown each function once, by the one holder that
// alone keeps it: a tree or value that another handle shares is passed over.
TEST(Tree, OwnedFunctionsAreShownByTheirOnlyHolder) {
    auto count = [](const auto& holder) {
        int n = 0;
        visit_owned_functions(holder, [](QuarnFunction&, void* c) { return ++*static_cast<int*>(c), 0; }, &n);
        return n;
    };
    Statement f = Statement::fn(Identifier::S("f"), std::make_unique<Probe>("f"));
    EXPECT_EQ(count(f), 1);
    Statement parent = Statement::if_(lit(B(true)), {let("a", lit(I(1))), f}, {});
    EXPECT_EQ(count(f) + count(parent), 0);  // shared by two holders: shown by neither

    Value item = fn("c");
    Value nested = vec({fn("a"), vec({fn("b")}), S("t")}), sharing = vec({item});
    EXPECT_EQ(count(nested), 2);
    EXPECT_EQ(count(sharing), 0);

    Machine m = Machine::create();
    m.vars.insert(Identifier::S("x"), fn("d"));
    m.vars.insert(Identifier::S("y"), vec({fn("e"), I(1)}));
    m.vars.insert(Identifier::S("z"), item);
    int in_table = 0;
    m.vars.visit_owned_functions([](QuarnFunction&, void* c) { return ++*static_cast<int*>(c), 0; }, &in_table);
    EXPECT_EQ(in_table, 2);
    EXPECT_EQ(m.vars.take_functions().size(), 3u);
    EXPECT_EQ(debug_string(m.get(Identifier::S("y"))), "Null");
}
