#include "quarn/tree.hpp"

#include "quarn/teardown.hpp"

namespace quarn {

// ------------------------------------------------------------ allocation

void* Expr::operator new(std::size_t size) { return ::operator new(size); }
void Expr::operator delete(void* p) noexcept { ::operator delete(p); }

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

}  // namespace

Expr::Expr(const Expr& other) {
    if (is_leaf(other.node)) {
        node = other.node.index() == 0 ? ExprNode(Literal{std::get<Literal>(other.node).value})
                                       : ExprNode(Ident{std::get<Ident>(other.node).id});
        return;
    }
    Copier().copy(other, *this);
}

Statement::Statement(const Statement& other) : node(Let{Identifier{}, Expr()}) {
    Copier().copy(other, *this);
}

// ------------------------------------------------------------ destruction

Expr::~Expr() {
    if (is_leaf(node)) return;
    if (teardown::too_deep()) {
        teardown::park([](void* p) { delete static_cast<Expr*>(p); }, new Expr(std::move(*this)));
        return;
    }
    teardown::Level level;
    ExprNode children = std::move(node);
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
