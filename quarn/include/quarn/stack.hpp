#pragma once
// A guard for code that recurses once per level of nested input: it reports
// when the current thread's machine stack is close enough to its end that the
// next level could overflow it.

#include <cstddef>

namespace quarn {

// Bytes kept in reserve below the deepest allowed recursion level, for the
// work a level does (including calls into a host interpreter).
inline constexpr std::size_t kStackReserve = 64 * 1024;

bool stack_exhausted() noexcept;

}  // namespace quarn
