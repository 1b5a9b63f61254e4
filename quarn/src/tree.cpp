#include "quarn/tree.hpp"

#include "quarn/pool.hpp"
#include "quarn/stack.hpp"
#include "quarn/teardown.hpp"

namespace quarn {

// ------------------------------------------------------------ allocation

void* Expr::operator new(std::size_t size) { return pool::allocate(size); }
void Expr::operator delete(void* p, std::size_t size) noexcept { pool::release(p, size); }

ExprBox Expr::box(Expr e) { return ExprBox(new Expr(std::move(e))); }

void ExprDeleter::operator()(Expr* e) const noexcept { delete e; }

// ----------------------------------------------------------- constructors

Expr Expr::binary_op(Expr left, Operator op, Expr right) {
    return Expr(ExprNode(BinaryOp{box(std::move(left)), op, box(std::move(right))}));
}
Expr Expr::equals(Expr left, Expr right) {
    return Expr(ExprNode(Equals{box(std::move(left)), box(std::move(right))}));
}
Expr Expr::not_(Expr item) { return Expr(ExprNode(Not{box(std::move(item))})); }
Expr Expr::greater_than(Expr left, Expr right) {
    return Expr(ExprNode(GreaterThan{box(std::move(left)), box(std::move(right))}));
}
Expr Expr::less_than(Expr left, Expr right) {
    return Expr(ExprNode(LessThan{box(std::move(left)), box(std::move(right))}));
}
Expr Expr::call(Identifier ident, Expr arg) {
    return Expr(ExprNode(Call{std::move(ident), box(std::move(arg))}));
}

// ---------------------------------------------------------------- copying

namespace {

// Deep copy with an explicit work list: each step builds one node with empty
// children and queues the pairs of children still to copy, so the depth of a
// tree never reaches the machine stack.
class Copier {
public:
    void copy(const Expr& src, Expr& dst) {
        exprs_.push_back({&src, &dst});
        run();
    }
    void copy(const Statement& src, Statement& dst) {
        statements_.push_back({&src, &dst});
        run();
    }

private:
    void run() {
        while (!exprs_.empty() || !statements_.empty()) {
            if (!exprs_.empty()) {
                auto [src, dst] = exprs_.back();
                exprs_.pop_back();
                step(*src, *dst);
            } else {
                auto [src, dst] = statements_.back();
                statements_.pop_back();
                step(*src, *dst);
            }
        }
    }

    ExprBox child(const ExprBox& src) {
        ExprBox dst = Expr::box(Expr());
        exprs_.push_back({src.get(), dst.get()});
        return dst;
    }

    std::vector<Statement> list(const std::vector<Statement>& src) {
        std::vector<Statement> dst;
        dst.reserve(src.size());
        for (std::size_t i = 0; i < src.size(); ++i) dst.emplace_back(Let{Identifier{}, Expr()});
        for (std::size_t i = 0; i < src.size(); ++i) statements_.push_back({&src[i], &dst[i]});
        return dst;
    }

    void step(const Expr& src, Expr& dst) {
        std::visit([&](const auto& n) { dst.node = shallow(n); }, src.node);
    }
    // Inline expressions (a Let's value, an If's condition) are queued only
    // once the new node sits in place, since their address changes with it.
    void step(const Statement& src, Statement& dst) {
        std::visit([&](const auto& n) { dst.node = shallow(n); }, src.node);
        if (auto* let = std::get_if<Let>(&dst.node))
            exprs_.push_back({&std::get<Let>(src.node).expr, &let->expr});
        else if (auto* branch = std::get_if<If>(&dst.node))
            exprs_.push_back({&std::get<If>(src.node).cond, &branch->cond});
    }

    ExprNode shallow(const Literal& n) { return Literal{n.value}; }
    ExprNode shallow(const Ident& n) { return Ident{n.id}; }
    ExprNode shallow(const BinaryOp& n) { return BinaryOp{child(n.left), n.op, child(n.right)}; }
    ExprNode shallow(const Equals& n) { return Equals{child(n.left), child(n.right)}; }
    ExprNode shallow(const Not& n) { return Not{child(n.item)}; }
    ExprNode shallow(const GreaterThan& n) { return GreaterThan{child(n.left), child(n.right)}; }
    ExprNode shallow(const LessThan& n) { return LessThan{child(n.left), child(n.right)}; }
    ExprNode shallow(const Call& n) { return Call{n.ident, child(n.arg)}; }
    ExprNode shallow(const VectorExpr& n) {
        VectorExpr v;
        v.items.resize(n.items.size());
        for (std::size_t i = 0; i < n.items.size(); ++i) exprs_.push_back({&n.items[i], &v.items[i]});
        return v;
    }

    StatementNode shallow(const Let& n) { return Let{n.ident, Expr()}; }
    StatementNode shallow(const If& n) { return If{list(n.then), list(n.otherwise), Expr()}; }
    StatementNode shallow(const Fn& n) { return Fn{n.ident, n.f}; }

    std::vector<std::pair<const Expr*, Expr*>> exprs_;
    std::vector<std::pair<const Statement*, Statement*>> statements_;
};

bool is_leaf(const ExprNode& node) {
    return std::holds_alternative<Literal>(node) || std::holds_alternative<Ident>(node);
}

// Plain recursion is the fast way to copy an ordinary tree; once the stack
// runs low, the rest of the tree goes through the Copier's work list.
ExprBox copy_box(const ExprBox& src) { return ExprBox(new Expr(*src)); }

struct NodeCopy {
    ExprNode operator()(const Literal& n) const { return Literal{n.value}; }
    ExprNode operator()(const Ident& n) const { return Ident{n.id}; }
    ExprNode operator()(const BinaryOp& n) const { return BinaryOp{copy_box(n.left), n.op, copy_box(n.right)}; }
    ExprNode operator()(const Equals& n) const { return Equals{copy_box(n.left), copy_box(n.right)}; }
    ExprNode operator()(const Not& n) const { return Not{copy_box(n.item)}; }
    ExprNode operator()(const GreaterThan& n) const { return GreaterThan{copy_box(n.left), copy_box(n.right)}; }
    ExprNode operator()(const LessThan& n) const { return LessThan{copy_box(n.left), copy_box(n.right)}; }
    ExprNode operator()(const Call& n) const { return Call{n.ident, copy_box(n.arg)}; }
    ExprNode operator()(const VectorExpr& n) const { return VectorExpr{n.items}; }
};

// Empties a node's owned children in place, so its members destroy trivially.
struct ReleaseChildren {
    void operator()(Literal&) const {}
    void operator()(Ident&) const {}
    void operator()(BinaryOp& n) const { n.left.reset(), n.right.reset(); }
    void operator()(Equals& n) const { n.left.reset(), n.right.reset(); }
    void operator()(Not& n) const { n.item.reset(); }
    void operator()(GreaterThan& n) const { n.left.reset(), n.right.reset(); }
    void operator()(LessThan& n) const { n.left.reset(), n.right.reset(); }
    void operator()(Call& n) const { n.arg.reset(); }
    void operator()(VectorExpr& n) const { n.items.clear(); }
};

ExprNode copy_node(const Expr& other) {
    if (is_leaf(other.node) || !stack_exhausted()) return std::visit(NodeCopy{}, other.node);
    Expr copy;
    Copier().copy(other, copy);
    return std::move(copy.node);
}

struct StatementCopy {
    StatementNode operator()(const Let& n) const { return Let{n.ident, n.expr}; }
    StatementNode operator()(const If& n) const { return If{n.then, n.otherwise, n.cond}; }
    StatementNode operator()(const Fn& n) const { return Fn{n.ident, n.f}; }
};

StatementNode copy_node(const Statement& other) {
    if (!stack_exhausted()) return std::visit(StatementCopy{}, other.node);
    Statement copy(Let{Identifier{}, Expr()});
    Copier().copy(other, copy);
    return std::move(copy.node);
}

}  // namespace

Expr::Expr(const Expr& other) : node(copy_node(other)) {}

Statement::Statement(const Statement& other) : node(copy_node(other)) {}

// ------------------------------------------------------------ destruction

Expr::~Expr() {
    if (is_leaf(node)) return;
    if (teardown::too_deep()) {
        teardown::park([](void* p) { delete static_cast<Expr*>(p); }, new Expr(std::move(*this)));
        return;
    }
    teardown::Level level;
    std::visit(ReleaseChildren{}, node);
}

Statement::~Statement() {
    if (!std::holds_alternative<If>(node)) return;
    if (teardown::too_deep()) {
        teardown::park([](void* p) { delete static_cast<Statement*>(p); },
                       new Statement(std::move(*this)));
        return;
    }
    teardown::Level level;
    StatementNode children = std::move(node);
}

}  // namespace quarn
