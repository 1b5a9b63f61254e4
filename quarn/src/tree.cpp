#include "quarn/tree.hpp"

#include "allocation.hpp"

namespace quarn {

using namespace detail;

Expr Expr::literal(Value value) { return Expr(make_counted<LiteralNode>(0, std::move(value))); }

Expr Expr::ident(Identifier id) { return Expr(make_counted<IdentNode>(0, std::move(id))); }

Expr Expr::binary_op(Expr left, Operator op, Expr right) {
    return Expr(make_counted<PairNode>(0, CellKind::BinaryOp, std::move(left), op, std::move(right)));
}

Expr Expr::equals(Expr left, Expr right) {
    return Expr(make_counted<PairNode>(0, CellKind::Equals, std::move(left), Operator::Add, std::move(right)));
}

Expr Expr::greater_than(Expr left, Expr right) {
    return Expr(
        make_counted<PairNode>(0, CellKind::GreaterThan, std::move(left), Operator::Add, std::move(right)));
}

Expr Expr::less_than(Expr left, Expr right) {
    return Expr(make_counted<PairNode>(0, CellKind::LessThan, std::move(left), Operator::Add, std::move(right)));
}

Expr Expr::not_(Expr item) { return Expr(make_counted<NotNode>(0, std::move(item))); }

Expr Expr::call(Identifier ident, Expr arg) {
    return Expr(make_counted<CallNode>(0, std::move(ident), std::move(arg)));
}

Expr Expr::vector(std::span<const Expr> items) {
    auto* node = make_counted<VectorNode>(items.size() * sizeof(Expr), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) new (node->items() + i) Expr(items[i]);
    return Expr(node);
}

namespace {

bool appends_to(const Identifier& ident, const Expr& expr) {
    if (expr.kind() != CellKind::BinaryOp) return false;
    auto& pair = static_cast<const PairNode&>(expr.node());
    bool right_is_leaf = pair.right.kind() == CellKind::Literal || pair.right.kind() == CellKind::Ident;
    return pair.op == Operator::Add && right_is_leaf && pair.left.kind() == CellKind::Ident &&
           static_cast<const IdentNode&>(pair.left.node()).id.id == ident;
}

}  // namespace

Statement Statement::let(Identifier ident, Expr expr) {
    bool appends = appends_to(ident, expr);
    return Statement(make_counted<LetNode>(0, std::move(ident), std::move(expr), appends));
}

Statement Statement::if_(Expr cond, Program then, Program otherwise) {
    return Statement(make_counted<IfNode>(0, std::move(cond), std::move(then), std::move(otherwise)));
}

Statement Statement::fn(Identifier ident, std::unique_ptr<QuarnFunction> f) {
    return Statement(make_counted<FnNode>(0, std::move(ident), std::move(f)));
}

}  // namespace quarn
