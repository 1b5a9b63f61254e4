#include "quarn/tree.hpp"

#include "allocation.hpp"
#include "children.hpp"

namespace quarn {

// The nodes made most often fit the pool's blocks (pool.hpp).
static_assert(sizeof(detail::PairNode) <= pool::kSmallBlock);
static_assert(sizeof(detail::LetNode) <= pool::kLargeBlock && sizeof(detail::CallNode) <= pool::kLargeBlock &&
              sizeof(detail::IfNode) <= pool::kLargeBlock && sizeof(detail::IdentNode) <= pool::kLargeBlock);

using namespace detail;

namespace {

// A new node, marked when a function can be reached from it through its
// children (an Fn node is marked by its kind).
template <class Node, class... Args>
Node* made(Args&&... args) {
    Node* node = make_counted<Node>(0, std::forward<Args>(args)...);
    for_each_child(*node, [node](const auto& child) {
        if (child.reaches_function()) node->flags |= kReachesFunction;
    });
    return node;
}

// `x = x + leaf`: the way programs build up a text, which runs by appending
// in place (see the evaluator).
bool appends_to(const Identifier& ident, const Expr& expr) {
    if (expr.kind() != CellKind::BinaryOp) return false;
    auto& pair = static_cast<const PairNode&>(expr.node());
    return pair.op == Operator::Add && is_leaf(pair.right.kind()) && pair.left.kind() == CellKind::Ident &&
           static_cast<const IdentNode&>(pair.left.node()).id.id == ident;
}

}  // namespace

Expr Expr::literal(Value value) { return Expr(made<LiteralNode>(std::move(value))); }

Expr Expr::ident(Identifier id) { return Expr(made<IdentNode>(std::move(id))); }

Expr Expr::binary_op(Expr left, Operator op, Expr right) {
    return Expr(made<PairNode>(CellKind::BinaryOp, std::move(left), op, std::move(right)));
}

Expr Expr::equals(Expr left, Expr right) {
    return Expr(made<PairNode>(CellKind::Equals, std::move(left), Operator::Add, std::move(right)));
}

Expr Expr::greater_than(Expr left, Expr right) {
    return Expr(made<PairNode>(CellKind::GreaterThan, std::move(left), Operator::Add, std::move(right)));
}

Expr Expr::less_than(Expr left, Expr right) {
    return Expr(made<PairNode>(CellKind::LessThan, std::move(left), Operator::Add, std::move(right)));
}

Expr Expr::not_(Expr item) { return Expr(made<NotNode>(std::move(item))); }

Expr Expr::call(Identifier ident, Expr arg) { return Expr(made<CallNode>(std::move(ident), std::move(arg))); }

Expr Expr::vector(std::span<const Expr> items) {
    auto* node = make_counted<VectorNode>(items.size() * sizeof(Expr), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        new (node->items() + i) Expr(items[i]);
        if (items[i].reaches_function()) node->flags |= kReachesFunction;
    }
    return Expr(node);
}

Statement Statement::let(Identifier ident, Expr expr) {
    bool appends = appends_to(ident, expr);
    return Statement(made<LetNode>(std::move(ident), std::move(expr), appends));
}

Statement Statement::if_(Expr cond, Program then, Program otherwise) {
    return Statement(made<IfNode>(std::move(cond), std::move(then), std::move(otherwise)));
}

Statement Statement::fn(Identifier ident, std::unique_ptr<QuarnFunction> f) {
    return Statement(made<FnNode>(std::move(ident), std::move(f)));
}

}  // namespace quarn
