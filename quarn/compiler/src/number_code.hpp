#pragma once
// An expression of numbers that a unit works out in one instruction
// (Op::LetNumbers, Op::BranchNumbers): operators over names and literal
// numbers, with at most one comparison, at the top, the common rule
// `total = subtotal * rate + shipping` or `total > 100.0`. Its names are
// read first, each from its slot (frame.hpp); when one holds anything but
// a number, the expression is worked out the general way instead, as a
// statement's form would, from the start: reading has no effect, and with
// numbers only the first failure in the order of the general way (an
// integer divided by zero) is the first failure here too.
//
// Its values are held as numbers, never as handles: the leaves first, in
// the order they stand, then the result of each operator in the order the
// general way works them out.

#include <cstdint>
#include <unordered_set>

#include "quarn/tree.hpp"

namespace quarn::detail {

struct NumberCode {
    static constexpr std::size_t kMostLeaves = 8;
    static constexpr std::size_t kMostSteps = kMostLeaves - 1;

    enum class Step : std::uint8_t { Add, Sub, Mul, Div, Less, Greater, Equal };
    // The commonest shapes, worked out without a loop: `a + b`,
    // `(a * b) + c` and `a * (b + c)`, with the operations in that order.
    enum class Shape : std::uint8_t { One, Left, Right, Any };
    struct Leaf {
        const Name* name;     // null for a literal, whose number's words follow
        std::uint64_t word;
        std::uint16_t slot;   // the name's, in a unit
        std::uint8_t tag;
    };
    struct Operation {
        Step step;
        std::uint8_t left, right;  // values: a leaf's index, or kMostLeaves plus an operation's
    };

    // For the shapes One, Left and Right: the whole expression over doubles,
    // its operators fixed when the unit is compiled, for a run whose values
    // are all doubles, the common case, to do without a switch on each
    // operator. The leaves in order (a third leaf 0.0 when there are two);
    // the result's word, whose tag is `result_tag`.
    using OnDoubles = std::uint64_t (*)(double, double, double) noexcept;
    OnDoubles on_doubles = nullptr;
    std::uint8_t result_tag = 0;

    const ExprNode* expression;  // for the general way
    const Name* target;          // the name a `let` binds
    std::uint8_t leaves = 0, operations = 0;
    Shape shape = Shape::Any;
    Leaf leaf[kMostLeaves];
    Operation operation[kMostSteps];

    // Whether the last operation compares, giving a boolean.
    bool compares() const noexcept { return operation[operations - 1].step >= Step::Less; }
};

// The expression's code in `out`, if it is one of numbers that has at least
// one operator and no subtree that other places share (each is its own
// block, charged on its own: see code.hpp); false otherwise.
bool number_code(const ExprNode& expression, const std::unordered_set<const ExprNode*>& shared, NumberCode& out);

}  // namespace quarn::detail
