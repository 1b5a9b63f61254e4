#include "quarn/tree.hpp"

#include "allocation.hpp"
#include "children.hpp"

#include <atomic>
#include <type_traits>

namespace quarn {

// The nodes made most often fit the pool's blocks (pool.hpp).
static_assert(sizeof(detail::PairNode) <= pool::kSmallBlock);
static_assert(sizeof(detail::LetNode) <= pool::kLargeBlock && sizeof(detail::CallNode) <= pool::kLargeBlock &&
              sizeof(detail::IfNode) <= pool::kLargeBlock && sizeof(detail::IdentNode) <= pool::kLargeBlock);

using namespace detail;

namespace {

// The marks a node passes on to its parents (see counted.hpp).
constexpr std::uint8_t kInherited = kReachesFunction | kReachesCall;

// The marks of a child: of a literal's value, only whether it holds a function.
template <class Child>
std::uint8_t marks_of(const Child& child) noexcept {
    if constexpr (std::is_same_v<Child, Value>)
        return child.reaches_function() ? kReachesFunction : 0;
    else
        return child.node().flags & kInherited;
}

// A new node, marked when a function or a call can be reached from it
// through its children (an Fn node is marked by its kind, a call by its).
template <class Node, class... Args>
Node* made(Args&&... args) {
    Node* node = make_counted<Node>(0, std::forward<Args>(args)...);
    if (node->kind == CellKind::Call) node->flags |= kReachesCall;
    for_each_child(*node, [node](const auto& child) { node->flags |= marks_of(child); });
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

// Each thread takes serials in blocks, so that making a statement costs no
// atomic operation.
std::uint64_t detail::next_statement_serial() noexcept {
    constexpr std::uint64_t kBlock = 1 << 16;
    static std::atomic<std::uint64_t> taken{1};  // 0 is no statement's
    thread_local std::uint64_t next = 0, end = 0;
    if (next == end) {
        next = taken.fetch_add(kBlock, std::memory_order_relaxed);
        end = next + kBlock;
    }
    return next++;
}

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
        node->flags |= items[i].node().flags & kInherited;
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
