#pragma once
// A guard for code that recurses once per level of nested input: it reports
// when the current thread's machine stack is close enough to its end that the
// next level could overflow it.

#include <cstddef>
#include <cstdint>

namespace quarn {

// Bytes kept in reserve below the deepest allowed recursion level, for the
// work a level does (including calls into a host interpreter).
inline constexpr std::size_t kStackReserve = 64 * 1024;

bool stack_exhausted() noexcept;

// Resets the guard for as long as it lives: recursion may go at most `bytes`
// below the point where it was made, and never past the thread's own reserve.
// A host that bounds its stack more tightly than the thread does makes one
// wherever it hands control to the core; a nested one opens a fresh window.
// Zero bytes leaves the guard as it is.
class StackBudget {
public:
    explicit StackBudget(std::size_t bytes) noexcept;
    ~StackBudget();
    StackBudget(const StackBudget&) = delete;
    StackBudget& operator=(const StackBudget&) = delete;

private:
    std::uintptr_t saved_;
};

}  // namespace quarn
