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

// Both start at a sentinel above any address, so that the first check on a
// thread takes the slow path and finds the real floor; after that a check is
// one comparison against a plain thread-local word.
constexpr std::uintptr_t kUnknown = UINTPTR_MAX;
thread_local std::uintptr_t thread_floor = kUnknown;
thread_local std::uintptr_t stack_floor = kUnknown;

std::uintptr_t base_floor() noexcept {
    if (thread_floor == kUnknown) thread_floor = find_stack_floor();
    return thread_floor;
}

}  // namespace

bool stack_exhausted() noexcept {
    char here;
    auto sp = reinterpret_cast<std::uintptr_t>(&here);
    if (sp >= stack_floor) return false;
    if (stack_floor == kUnknown) stack_floor = base_floor();
    return sp < stack_floor;
}

StackBudget::StackBudget(std::size_t bytes) noexcept : saved_(stack_floor) {
    if (bytes == 0) return;
    char here;
    auto top = reinterpret_cast<std::uintptr_t>(&here);
    std::uintptr_t floor = base_floor();
    stack_floor = top > bytes && top - bytes > floor ? top - bytes : floor;
}

StackBudget::~StackBudget() { stack_floor = saved_; }

}  // namespace quarn
