// Syntax tree constructors: each builds one node of its kind around the
// subtrees it is given, which it shares rather than copies.

#include <gtest/gtest.h>

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

TEST(Tree, ConstructorsBuildTheirKindAroundSharedChildren) {
    Expr one = lit(I(1)), y = id("y");
    Expr b = Expr::binary_op(one, Operator::Sub, y);
    ASSERT_EQ(b.kind(), CellKind::BinaryOp);
    EXPECT_EQ(as<detail::PairNode>(b).op, Operator::Sub);
    EXPECT_TRUE(as<detail::PairNode>(b).left.same_node(one));  // shared, not copied
    EXPECT_TRUE(as<detail::PairNode>(b).right.same_node(y));
    EXPECT_EQ(as<detail::IdentNode>(y).id.id, Identifier::S("y"));

    EXPECT_EQ(Expr::equals(one, one).kind(), CellKind::Equals);
    EXPECT_EQ(Expr::not_(one).kind(), CellKind::Not);  // no check of operand kinds
    EXPECT_EQ(Expr::greater_than(one, y).kind(), CellKind::GreaterThan);
    EXPECT_EQ(Expr::less_than(one, y).kind(), CellKind::LessThan);
    Expr c = Expr::call(Identifier::U(9), vexpr({}));
    ASSERT_EQ(c.kind(), CellKind::Call);
    EXPECT_EQ(as<detail::CallNode>(c).ident.id, Identifier::U(9));
    EXPECT_EQ(as<detail::VectorNode>(as<detail::CallNode>(c).arg).count, 0u);
    Expr v = vexpr({one, y, one});
    ASSERT_EQ(as<detail::VectorNode>(v).count, 3u);
    EXPECT_TRUE(as<detail::VectorNode>(v).items()[2].same_node(one));

    Statement s = Statement::if_(Expr::not_(b), {let("x", one)}, {});
    ASSERT_EQ(s.kind(), CellKind::If);
    EXPECT_EQ(as<detail::IfNode>(s).then.size(), 1u);
    EXPECT_TRUE(as<detail::IfNode>(s).otherwise.empty());
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
