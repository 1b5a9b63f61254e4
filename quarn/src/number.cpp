#include "quarn/number.hpp"

#include <bit>
#include <limits>

#include "quarn/error.hpp"

namespace quarn {
namespace {

double ieee(Operator op, double x, double y) noexcept {
    switch (op) {
    case Operator::Add: return x + y;
    case Operator::Sub: return x - y;
    case Operator::Mul: return x * y;
    default: return x / y;
    }
}

// The IEEE 754 total order key: negative patterns have their low 63 bits
// inverted, so plain signed comparison of keys orders the doubles.
std::int64_t total_order_key(double d) noexcept {
    auto bits = std::bit_cast<std::int64_t>(d);
    return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
}

}  // namespace

Number Number::div(Number a, Number b) {
    if (!a.is_int || !b.is_int) return Float(a.to_double() / b.to_double());
    if (b.i == 0) fail("attempt to divide by zero");
    if (b.i == -1 && a.i == std::numeric_limits<std::int64_t>::min()) fail("attempt to divide with overflow");
    return Int(a.i / b.i);
}

Number arithmetic(Operator op, Number a, Number b) {
    if (op == Operator::Div) return Number::div(a, b);
    if (a.is_int && b.is_int) return Number::Int(wrapping(op, a.i, b.i));
    return Number::Float(ieee(op, a.to_double(), b.to_double()));
}

int compare(Number a, Number b) noexcept {
    if (a.is_int && b.is_int) return (a.i > b.i) - (a.i < b.i);
    std::int64_t x = total_order_key(a.to_double()), y = total_order_key(b.to_double());
    return (x > y) - (x < y);
}

bool same_number(Number a, Number b) noexcept {
    if (a.is_int != b.is_int) return false;
    return a.is_int ? a.i == b.i : a.f == b.f;
}

}  // namespace quarn
