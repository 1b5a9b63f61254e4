#include "number_code.hpp"

namespace quarn::detail {
namespace {

NumberCode::Step step_of(const PairNode& pair) noexcept {
    switch (pair.kind) {
    case CellKind::LessThan: return NumberCode::Step::Less;
    case CellKind::GreaterThan: return NumberCode::Step::Greater;
    case CellKind::Equals: return NumberCode::Step::Equal;
    default: return static_cast<NumberCode::Step>(pair.op);  // Add, Sub, Mul, Div in that order
    }
}

class Builder {
public:
    Builder(NumberCode& code, const std::unordered_set<const ExprNode*>& shared) : code_(code), shared_(shared) {}

    // The index of the node's value, or -1 when the expression is no
    // expression of numbers. A comparison stands at the top only, and no
    // deeper than the operations a code holds, so the walk is short.
    int value(const ExprNode& node, std::size_t depth) {
        if (node.kind == CellKind::Literal) {
            const Value& literal = static_cast<const LiteralNode&>(node).value;
            return literal.is_number() ? leaf({nullptr, literal.value_word(), 0, literal.tag_word()}) : -1;
        }
        if (node.kind == CellKind::Ident) return leaf({&static_cast<const IdentNode&>(node).id, 0, 0, 0});
        if (!is_pair(node.kind) || depth == NumberCode::kMostSteps || (depth > 0 && shared_.contains(&node)))
            return -1;
        auto& pair = static_cast<const PairNode&>(node);
        NumberCode::Step step = step_of(pair);
        if (depth > 0 && step >= NumberCode::Step::Less) return -1;
        int left = value(pair.left.node(), depth + 1);
        int right = left < 0 ? -1 : value(pair.right.node(), depth + 1);
        if (right < 0 || code_.operations == NumberCode::kMostSteps) return -1;
        code_.operation[code_.operations] = {step, static_cast<std::uint8_t>(left), static_cast<std::uint8_t>(right)};
        return static_cast<int>(NumberCode::kMostLeaves + code_.operations++);
    }

private:
    int leaf(NumberCode::Leaf made) {
        if (code_.leaves == NumberCode::kMostLeaves) return -1;
        code_.leaf[code_.leaves] = made;
        return code_.leaves++;
    }

    NumberCode& code_;
    const std::unordered_set<const ExprNode*>& shared_;
};

}  // namespace

// The shape is read off the operands of the operations, leaves first.
NumberCode::Shape shape_of(const NumberCode& code) noexcept {
    const NumberCode::Operation* op = code.operation;
    constexpr auto kFirst = static_cast<std::uint8_t>(NumberCode::kMostLeaves);
    auto is = [](const NumberCode::Operation& operation, int left, int right) {
        return operation.left == left && operation.right == right;
    };
    if (code.operations == 1) return NumberCode::Shape::One;
    if (code.operations != 2) return NumberCode::Shape::Any;
    if (is(op[0], 0, 1) && is(op[1], kFirst, 2)) return NumberCode::Shape::Left;
    if (is(op[0], 1, 2) && is(op[1], 0, kFirst)) return NumberCode::Shape::Right;
    return NumberCode::Shape::Any;
}

bool number_code(const ExprNode& expression, const std::unordered_set<const ExprNode*>& shared, NumberCode& out) {
    out = NumberCode{};
    out.expression = &expression;
    if (!is_pair(expression.kind) || Builder(out, shared).value(expression, 0) < 0) return false;
    out.shape = shape_of(out);
    return true;
}

}  // namespace quarn::detail
