#pragma once
// Whether bytes are UTF-8 as Python's strict codec reads it: no overlong
// forms, no surrogates, nothing past U+10FFFF. Texts from a producer are
// checked before they become values, which must hold UTF-8.

#include <string_view>

namespace velmo::tables {

bool is_utf8(std::string_view text) noexcept;

}  // namespace velmo::tables
