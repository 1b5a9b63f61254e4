// The debug form of a double: the shortest decimal digits that read back as
// the same double, laid out in plain notation for zero and for magnitudes in
// [1e-4, 1e16), and in scientific notation otherwise (1e16, 1.5e-5).

#include <charconv>
#include <cmath>
#include <string>

#include "quarn/debug.hpp"

namespace quarn {
namespace {

struct Digits {
    std::string digits;  // significant digits, no point: 1.25e3 gives "125"
    int exponent = 0;    // the decimal exponent of the first digit
};

// Shortest round-trip digits of a finite, non-negative double.
Digits shortest_digits(double x) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string_view sci(buf, end - buf);
    std::size_t e = sci.find('e');
    Digits d;
    for (char ch : sci.substr(0, e))
        if (ch != '.') d.digits += ch;
    std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), d.exponent);
    return d;
}

void plain_layout(std::string& out, const Digits& d) {
    int n = static_cast<int>(d.digits.size());
    if (d.exponent < 0) {
        out += "0.";
        out.append(-d.exponent - 1, '0');
        out += d.digits;
    } else if (d.exponent + 1 >= n) {
        out += d.digits;
        out.append(d.exponent + 1 - n, '0');
        out += ".0";
    } else {
        out += d.digits.substr(0, d.exponent + 1);
        out += '.';
        out += d.digits.substr(d.exponent + 1);
    }
}

void scientific_layout(std::string& out, const Digits& d) {
    out += d.digits[0];
    if (d.digits.size() > 1) {
        out += '.';
        out += d.digits.substr(1);
    }
    out += 'e';
    out += std::to_string(d.exponent);
}

}  // namespace

void debug_float(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
        return;
    }
    if (std::signbit(x)) out += '-';
    x = std::fabs(x);
    if (std::isinf(x)) {
        out += "inf";
        return;
    }
    Digits digits = shortest_digits(x);
    if (x == 0 || (x >= 1e-4 && x < 1e16))
        plain_layout(out, digits);
    else
        scientific_layout(out, digits);
}

}  // namespace quarn
