#pragma once
// The names fuzz inputs use: a small pool, so that lookups often hit,
// holding numbered and textual names with the edge cases of each. U(1) and
// S("1") are different names; one text is not valid UTF-8.

#include "quarn/identifier.hpp"

namespace quarn::fuzz {

constexpr int kNamePool = 8;

// The name at index % kNamePool.
const Identifier& pooled_name(int index);
// The pool index a byte selects.
inline int name_index(unsigned char byte) { return byte % kNamePool; }

}  // namespace quarn::fuzz
