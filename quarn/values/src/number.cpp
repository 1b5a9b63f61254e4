#include "quarn/number.hpp"

#include <bit>
#include <limits>

#include "quarn/error.hpp"

namespace quarn {
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
    return compare_doubles(a.to_double(), b.to_double());
}

bool same_number(Number a, Number b) noexcept {
    if (a.is_int != b.is_int) return false;
    return a.is_int ? a.i == b.i : a.f == b.f;
}

}  // namespace quarn
