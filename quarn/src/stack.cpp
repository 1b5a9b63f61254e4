#include "quarn/stack.hpp"

#include <pthread.h>

#include <cstdint>

namespace quarn {
namespace {

// The lowest address this thread may recurse down to, found once per thread.
std::uintptr_t find_stack_floor() noexcept {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* base = nullptr;
    std::size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || size <= kStackReserve * 2) return 0;
    std::size_t reserve = kStackReserve;
    // Small stacks keep a quarter in reserve; large ones a fixed amount.
    if (size / 4 > reserve && size < 1024 * 1024) reserve = size / 4;
    return reinterpret_cast<std::uintptr_t>(base) + reserve;
}

thread_local const std::uintptr_t thread_floor = find_stack_floor();
thread_local std::uintptr_t stack_floor = thread_floor;

}  // namespace

bool stack_exhausted() noexcept {
    char here;
    return reinterpret_cast<std::uintptr_t>(&here) < stack_floor;
}

StackBudget::StackBudget(std::size_t bytes) noexcept : saved_(stack_floor) {
    char here;
    auto top = reinterpret_cast<std::uintptr_t>(&here);
    if (bytes > 0) stack_floor = top > bytes && top - bytes > thread_floor ? top - bytes : thread_floor;
}

StackBudget::~StackBudget() { stack_floor = saved_; }

}  // namespace quarn
