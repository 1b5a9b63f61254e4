#pragma once
// Numbers and the rules of arithmetic on them: 64-bit integers that wrap, IEEE
// doubles, and a mixed pair always computed in doubles.

#include <bit>
#include <cstdint>
#include <limits>

namespace quarn {

enum class Operator : std::uint8_t { Add, Sub, Mul, Div };

struct Number {
    bool is_int = false;
    union {
        std::int64_t i;
        double f = 0;
    };

    static Number Int(std::int64_t n) noexcept {
        Number x;
        x.is_int = true;
        x.i = n;
        return x;
    }
    static Number Float(double v) noexcept {
        Number x;
        x.f = v;
        return x;
    }

    // The nearest double (ties to even), as the processor converts.
    double to_double() const noexcept { return is_int ? static_cast<double>(i) : f; }

    // Integer division truncates toward zero and fails on zero and on the
    // one quotient that overflows; with a double involved it never fails.
    static Number div(Number a, Number b);
};

// a `op` b by the rules above; Div goes through Number::div.
Number arithmetic(Operator op, Number a, Number b);

// a `op` b on doubles: what arithmetic() does once either is a double.
inline double ieee(Operator op, double x, double y) noexcept {
    switch (op) {
    case Operator::Add: return x + y;
    case Operator::Sub: return x - y;
    case Operator::Mul: return x * y;
    default: return x / y;
    }
}

// Add, Sub or Mul of two 64-bit integers, wrapping around on overflow
// (done in unsigned arithmetic, where wrapping is defined).
inline std::int64_t wrapping(Operator op, std::int64_t a, std::int64_t b) noexcept {
    auto x = static_cast<std::uint64_t>(a), y = static_cast<std::uint64_t>(b);
    switch (op) {
    case Operator::Add: return static_cast<std::int64_t>(x + y);
    case Operator::Sub: return static_cast<std::int64_t>(x - y);
    default: return static_cast<std::int64_t>(x * y);
    }
}

// -1, 0 or 1 as a orders before, with or after b: two integers as integers,
// anything else as doubles in the IEEE 754 total order (so -0.0 < 0.0, and
// positive NaNs after +inf).
int compare(Number a, Number b) noexcept;

// The same for two doubles.
[[gnu::always_inline]] inline int compare_doubles(double a, double b) noexcept {
    // The IEEE 754 total order key: negative patterns have their low 63
    // bits inverted, so plain signed comparison of keys orders the doubles.
    auto key = [](double d) {
        auto bits = std::bit_cast<std::int64_t>(d);
        return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
    };
    std::int64_t x = key(a), y = key(b);
    return (x > y) - (x < y);
}

// Equality of two numbers: an integer never equals a double; doubles by IEEE
// equality (NaN unequal to itself, 0.0 equal to -0.0).
bool same_number(Number a, Number b) noexcept;

}  // namespace quarn
