#pragma once
// The literal values where the core's arithmetic, comparison, equality and
// debug forms have their boundaries. Each table is indexed modulo its size.

#include <cstdint>
#include <string_view>

namespace quarn::fuzz {

std::int64_t edge_int(std::uint8_t index);
double edge_real(std::uint8_t index);
std::string_view edge_text(std::uint8_t index);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF).
bool is_utf8(std::string_view text);

}  // namespace quarn::fuzz
