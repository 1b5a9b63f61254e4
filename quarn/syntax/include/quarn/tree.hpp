#pragma once
// The syntax tree. An Expr or a Statement is a handle to an immutable node.
// Since no node ever changes once built, a parent shares its children instead
// of copying them: building a parent costs O(1), and any number of wrappers,
// programs and runs may hold the same tree at once, on any thread.

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "quarn/code_slot.hpp"
#include "quarn/counted.hpp"
#include "quarn/name.hpp"
#include "quarn/value.hpp"

namespace quarn {

namespace detail {

class Releaser;

struct ExprNode : Counted {
    using Counted::Counted;
};
// A number that no other statement made in the process has: what a unit
// names the statements of its program by (code_slot.hpp), since a node's
// address may be used again once the node is gone.
std::uint64_t next_statement_serial() noexcept;

// Every statement keeps its compiled form: a program's statements run from it.
struct StatementNode : Counted {
    explicit StatementNode(CellKind kind, std::uint8_t flags = 0) noexcept
        : Counted(kind, flags), serial(next_statement_serial()) {}
    const std::uint64_t serial;
    CodeSlot code;
};

// A literal or a name: an expression with no operands.
inline bool is_leaf(CellKind kind) noexcept { return kind == CellKind::Literal || kind == CellKind::Ident; }
// A node of two operands (a PairNode): an arithmetic operator, an equality or a comparison.
inline bool is_pair(CellKind kind) noexcept {
    return kind == CellKind::BinaryOp || kind == CellKind::Equals || kind == CellKind::GreaterThan ||
           kind == CellKind::LessThan;
}

// A counted handle to a node of the given family.
template <class Node>
class NodeRef {
public:
    NodeRef() noexcept = default;
    explicit NodeRef(Node* adopted) noexcept : node_(adopted) {}
    NodeRef(const NodeRef& other) noexcept : node_(other.node_) {
        if (node_) node_->retain();
    }
    NodeRef(NodeRef&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
    NodeRef& operator=(NodeRef other) noexcept {
        std::swap(node_, other.node_);
        return *this;
    }
    ~NodeRef() {
        if (node_) drop_ref(node_);
    }

    Node* get() const noexcept { return node_; }
    // Hands the node over to the caller; the handle is left empty.
    Node* take() noexcept { return std::exchange(node_, nullptr); }

private:
    Node* node_ = nullptr;
};

}  // namespace detail

class Statement;

class Expr {
public:
    static Expr literal(Value value);
    static Expr ident(Identifier id);
    static Expr binary_op(Expr left, Operator op, Expr right);
    static Expr equals(Expr left, Expr right);
    static Expr not_(Expr item);
    static Expr greater_than(Expr left, Expr right);
    static Expr less_than(Expr left, Expr right);
    static Expr call(Identifier ident, Expr arg);
    static Expr vector(std::span<const Expr> items);

    const detail::ExprNode& node() const noexcept { return *ref_.get(); }
    detail::CellKind kind() const noexcept { return ref_.get()->kind; }
    bool same_node(const Expr& other) const noexcept { return ref_.get() == other.ref_.get(); }
    // Whether a function value can be reached from the tree (see kReachesFunction).
    bool reaches_function() const noexcept { return ref_.get()->flags & detail::kReachesFunction; }
    // Whether running it may call a function (see kReachesCall).
    bool reaches_call() const noexcept { return ref_.get()->flags & detail::kReachesCall; }

private:
    friend class detail::Releaser;
    explicit Expr(detail::ExprNode* adopted) noexcept : ref_(adopted) {}
    detail::NodeRef<detail::ExprNode> ref_;
};

using Program = std::vector<Statement>;

class Statement {
public:
    static Statement let(Identifier ident, Expr expr);
    static Statement if_(Expr cond, Program then, Program otherwise);
    static Statement fn(Identifier ident, std::unique_ptr<QuarnFunction> f);

    const detail::StatementNode& node() const noexcept { return *ref_.get(); }
    detail::CellKind kind() const noexcept { return ref_.get()->kind; }
    bool same_node(const Statement& other) const noexcept { return ref_.get() == other.ref_.get(); }
    // Its node's serial (StatementNode), kept in the handle too: a program's
    // handles tell whether it is a unit's program without a look at its
    // nodes, wherever in memory they are.
    std::uint64_t serial() const noexcept { return serial_; }
    // Whether a function can be reached from the tree (see kReachesFunction).
    bool reaches_function() const noexcept { return ref_.get()->flags & detail::kReachesFunction; }
    // Whether running it may call a function (see kReachesCall).
    bool reaches_call() const noexcept { return ref_.get()->flags & detail::kReachesCall; }

private:
    friend class detail::Releaser;
    explicit Statement(detail::StatementNode* adopted) noexcept : ref_(adopted), serial_(adopted->serial) {}
    detail::NodeRef<detail::StatementNode> ref_;
    std::uint64_t serial_;
};

namespace detail {

struct LiteralNode : ExprNode {
    explicit LiteralNode(Value v) noexcept : ExprNode(CellKind::Literal), value(std::move(v)) {}
    Value value;
};

struct IdentNode : ExprNode {
    explicit IdentNode(Identifier i) noexcept : ExprNode(CellKind::Ident), id(std::move(i)) {}
    Name id;
};

// BinaryOp, Equals, GreaterThan and LessThan: two operands, left evaluated first.
struct PairNode : ExprNode {
    PairNode(CellKind kind, Expr l, Operator o, Expr r) noexcept
        : ExprNode(kind), op(o), left(std::move(l)), right(std::move(r)) {}
    Operator op;  // BinaryOp only
    Expr left, right;
};

struct NotNode : ExprNode {
    explicit NotNode(Expr i) noexcept : ExprNode(CellKind::Not), item(std::move(i)) {}
    Expr item;
};

struct CallNode : ExprNode {
    CallNode(Identifier i, Expr a) noexcept : ExprNode(CellKind::Call), ident(std::move(i)), arg(std::move(a)) {}
    Name ident;
    Expr arg;
};

// The items follow the node in memory.
struct VectorNode : ExprNode {
    explicit VectorNode(std::size_t n) noexcept : ExprNode(CellKind::VectorExpr), count(n) {}
    std::size_t count;
    Expr* items() noexcept { return reinterpret_cast<Expr*>(this + 1); }
    const Expr* items() const noexcept { return reinterpret_cast<const Expr*>(this + 1); }
};

struct LetNode : StatementNode {
    LetNode(Identifier i, Expr e, bool a) noexcept
        : StatementNode(CellKind::Let), ident(std::move(i)), expr(std::move(e)), appends(a) {}
    Name ident;
    Expr expr;
    bool appends;  // `x = x + leaf`: the way programs build up a text
};

struct IfNode : StatementNode {
    IfNode(Expr c, Program t, Program o) noexcept
        : StatementNode(CellKind::If), cond(std::move(c)), then(std::move(t)), otherwise(std::move(o)) {}
    Expr cond;
    Program then, otherwise;
};

struct FnNode : StatementNode {
    FnNode(Identifier i, std::unique_ptr<QuarnFunction> fn) noexcept
        : StatementNode(CellKind::Fn, kReachesFunction), ident(std::move(i)), f(std::move(fn)) {}
    Name ident;
    std::unique_ptr<QuarnFunction> f;
};

}  // namespace detail
}  // namespace quarn
