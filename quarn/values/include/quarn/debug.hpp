#pragma once
// Debug forms: Null, Number(Int(1)), Vector([...]), S("x"), Machine { vars:
// {...} }. They appear in messages and as the representation of a machine.

#include <string>
#include <string_view>

#include "quarn/identifier.hpp"
#include "quarn/number.hpp"
#include "quarn/value.hpp"

namespace quarn {

void debug(std::string& out, const Value& value);
void debug(std::string& out, const Number& number);
void debug(std::string& out, IdentifierView id);
// The shortest digits that read back as the same double: plain notation for
// zero and magnitudes in [1e-4, 1e16), scientific otherwise.
void debug_float(std::string& out, double x);
// Double quotes around the text, with escapes for quotes, backslashes,
// control and unprintable characters.
void debug_quoted(std::string& out, std::string_view text);

template <class T>
std::string debug_string(const T& thing) {
    std::string out;
    debug(out, thing);
    return out;
}

// Whether a code point prints as itself inside quoted text (generated table).
bool is_printable(char32_t c) noexcept;

}  // namespace quarn
