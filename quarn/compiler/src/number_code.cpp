#include "number_code.hpp"

#include <array>
#include <bit>
#include <utility>

#include "quarn/number.hpp"

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

// The kernels of NumberCode::on_doubles, one per shape and operators. An
// operation below the top is arithmetic (a comparison stands at the top
// only), so Left and Right have 4 times 7 of them.
using Step = NumberCode::Step;

template <Step kStep>
[[gnu::always_inline]] inline double arithmetic_on(double x, double y) noexcept {
    if constexpr (kStep == Step::Add) return x + y;
    if constexpr (kStep == Step::Sub) return x - y;
    if constexpr (kStep == Step::Mul) return x * y;
    return x / y;
}

// The top operation's word: a double's bits, or a boolean's 0 or 1.
template <Step kStep>
[[gnu::always_inline]] inline std::uint64_t top_on(double x, double y) noexcept {
    if constexpr (kStep == Step::Less) return compare_doubles(x, y) < 0;
    if constexpr (kStep == Step::Greater) return compare_doubles(x, y) > 0;
    if constexpr (kStep == Step::Equal) return x == y;
    if constexpr (kStep < Step::Less) return std::bit_cast<std::uint64_t>(arithmetic_on<kStep>(x, y));
}

template <Step kStep>
std::uint64_t one(double a, double b, double) noexcept { return top_on<kStep>(a, b); }
template <Step kFirst, Step kTop>
std::uint64_t left(double a, double b, double c) noexcept { return top_on<kTop>(arithmetic_on<kFirst>(a, b), c); }
template <Step kFirst, Step kTop>
std::uint64_t right(double a, double b, double c) noexcept { return top_on<kTop>(a, arithmetic_on<kFirst>(b, c)); }

constexpr std::size_t kSteps = 7;

template <std::size_t... I>
constexpr std::array<NumberCode::OnDoubles, sizeof...(I)> ones(std::index_sequence<I...>) {
    return {&one<static_cast<Step>(I)>...};
}
template <std::size_t... I>
constexpr std::array<NumberCode::OnDoubles, sizeof...(I)> lefts(std::index_sequence<I...>) {
    return {&left<static_cast<Step>(I / kSteps), static_cast<Step>(I % kSteps)>...};
}
template <std::size_t... I>
constexpr std::array<NumberCode::OnDoubles, sizeof...(I)> rights(std::index_sequence<I...>) {
    return {&right<static_cast<Step>(I / kSteps), static_cast<Step>(I % kSteps)>...};
}

constexpr auto kOnes = ones(std::make_index_sequence<kSteps>());
constexpr auto kLefts = lefts(std::make_index_sequence<4 * kSteps>());
constexpr auto kRights = rights(std::make_index_sequence<4 * kSteps>());

NumberCode::OnDoubles on_doubles_of(const NumberCode& code) noexcept {
    auto step = [&](std::size_t i) { return static_cast<std::size_t>(code.operation[i].step); };
    switch (code.shape) {
    case NumberCode::Shape::One: return kOnes[step(0)];
    case NumberCode::Shape::Left: return kLefts[step(0) * kSteps + step(1)];
    case NumberCode::Shape::Right: return kRights[step(0) * kSteps + step(1)];
    default: return nullptr;
    }
}

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
    out.on_doubles = on_doubles_of(out);
    out.result_tag = out.compares() ? Value::boolean(false).tag_word() : Value::kFloatTag;
    return true;
}

}  // namespace quarn::detail
