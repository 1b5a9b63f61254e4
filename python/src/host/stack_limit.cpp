#include "stack_limit.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace velmo {
namespace {

// Kept free below the deepest level: the work of the level itself (a call
// into the interpreter, the RecursionError raised), and the Python code that
// then handles the error (an except clause, a traceback printed) runs in it.
// That code needs the same room on any stack, so the reserve is a quarter of
// the stack, but never less than the least a level needs, nor more than four
// times that: past a 1 MiB stack, deep data may use all the rest.
constexpr std::size_t kMinReserve = 64 * 1024;
constexpr std::size_t kReserveShare = 4;
constexpr std::size_t kMaxReserve = kReserveShare * kMinReserve;

// The lowest address this thread may recurse down to; 0 if unknown, or for a
// stack too small to keep the least reserve and still recurse (the check is
// then left to the interpreter's recursion limit).
std::uintptr_t find_stack_floor() noexcept {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* base = nullptr;
    std::size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || size <= kMinReserve * 2) return 0;
    std::size_t reserve = std::clamp(size / kReserveShare, kMinReserve, kMaxReserve);
    return reinterpret_cast<std::uintptr_t>(base) + reserve;
}

constexpr std::uintptr_t kUnknown = UINTPTR_MAX;

}  // namespace

namespace detail {

thread_local std::uintptr_t stack_floor = kUnknown;

// Below the floor, or on the thread's first check.
bool stack_exhausted_slow(std::uintptr_t sp) noexcept {
    if (stack_floor == kUnknown) stack_floor = find_stack_floor();
    return sp < stack_floor;
}

}  // namespace detail

}  // namespace velmo
