#pragma once
// The syntax tree: expressions and statements, each node owning its children.
// Copies are deep and destruction is iterative, so trees of any depth can be
// copied and dropped.

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "quarn/value.hpp"

namespace quarn {

struct Expr;
struct Statement;

// Deletes through the teardown walk, so a million-deep chain cannot overflow.
struct ExprDeleter {
    void operator()(Expr* e) const noexcept;
};
using ExprBox = std::unique_ptr<Expr, ExprDeleter>;

enum class Operator : std::uint8_t { Add, Sub, Mul, Div };

struct Literal { Value value; };
struct Ident { Identifier id; };
struct BinaryOp { ExprBox left; Operator op; ExprBox right; };
struct Equals { ExprBox left, right; };
struct Not { ExprBox item; };
struct GreaterThan { ExprBox left, right; };
struct LessThan { ExprBox left, right; };
struct Call { Identifier ident; ExprBox arg; };
struct VectorExpr { std::vector<Expr> items; };

using ExprNode = std::variant<Literal, Ident, BinaryOp, Equals, Not, GreaterThan, LessThan,
                              Call, VectorExpr>;

struct Expr {
    ExprNode node;

    Expr() noexcept : node(Literal{}) {}
    Expr(Literal n) noexcept : node(std::move(n)) {}
    Expr(Ident n) noexcept : node(std::move(n)) {}
    Expr(VectorExpr n) noexcept : node(std::move(n)) {}
    Expr(const Expr& other);
    Expr(Expr&& other) noexcept = default;
    Expr& operator=(const Expr& other) { return *this = Expr(other); }
    Expr& operator=(Expr&& other) noexcept = default;
    ~Expr();

    static Expr binary_op(Expr left, Operator op, Expr right);
    static Expr equals(Expr left, Expr right);
    static Expr not_(Expr item);
    static Expr greater_than(Expr left, Expr right);
    static Expr less_than(Expr left, Expr right);
    static Expr call(Identifier ident, Expr arg);

    // The single allocation seam for boxed operands.
    static ExprBox box(Expr e);
    static void* operator new(std::size_t size);
    static void operator delete(void* p, std::size_t size) noexcept;

private:
    explicit Expr(ExprNode n) noexcept : node(std::move(n)) {}
};

struct Let { Identifier ident; Expr expr; };
struct If { std::vector<Statement> then, otherwise; Expr cond; };
struct Fn { Identifier ident; FunctionBox f; };

using StatementNode = std::variant<Let, If, Fn>;

struct Statement {
    StatementNode node;

    Statement(Let n) noexcept : node(std::move(n)) {}
    Statement(If n) noexcept : node(std::move(n)) {}
    Statement(Fn n) noexcept : node(std::move(n)) {}
    Statement(const Statement& other);
    Statement(Statement&& other) noexcept = default;
    Statement& operator=(const Statement& other) { return *this = Statement(other); }
    Statement& operator=(Statement&& other) noexcept = default;
    ~Statement();
};

using Program = std::vector<Statement>;

}  // namespace quarn
