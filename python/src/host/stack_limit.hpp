#pragma once
// Converting nested Python data recurses once per level of nesting. This
// tells when the current thread's machine stack is close enough to its end
// that one more level could overflow it.

#include <cstdint>

namespace velmo {

namespace detail {
// The lowest address this thread may recurse down to; above every address
// until the thread's first check finds it.
extern thread_local std::uintptr_t stack_floor;
bool stack_exhausted_slow(std::uintptr_t sp) noexcept;
}  // namespace detail

// One comparison once the thread's floor is known. The frame's own address
// is compared: a local variable's may live elsewhere under a sanitizer that
// moves locals off the stack to catch their use after return.
[[gnu::always_inline]] inline bool stack_exhausted() noexcept {
    auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return sp < detail::stack_floor && detail::stack_exhausted_slow(sp);
}

}  // namespace velmo
