#include "stack_limit.hpp"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace velmo {
namespace {

// Kept free below the deepest level, for the work a level does, calls into
// the interpreter included.
constexpr std::size_t kReserve = 64 * 1024;

// The lowest address this thread may recurse down to; 0 if unknown.
std::uintptr_t find_stack_floor() noexcept {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* base = nullptr;
    std::size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || size <= kReserve * 2) return 0;
    // Small stacks keep a quarter in reserve; large ones a fixed amount.
    std::size_t reserve = size < 1024 * 1024 && size / 4 > kReserve ? size / 4 : kReserve;
    return reinterpret_cast<std::uintptr_t>(base) + reserve;
}

// Starts above any address, so that the first check on a thread finds the
// real floor; after that a check is one comparison.
constexpr std::uintptr_t kUnknown = UINTPTR_MAX;
thread_local std::uintptr_t stack_floor = kUnknown;

}  // namespace

bool stack_exhausted() noexcept {
    // The frame's own address: a local variable's may live elsewhere under a
    // sanitizer that moves locals off the stack to catch their use after return.
    auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (sp >= stack_floor) return false;
    if (stack_floor == kUnknown) stack_floor = find_stack_floor();
    return sp < stack_floor;
}

}  // namespace velmo
