#pragma once
// Where a statement keeps the flat code it was compiled to (code.hpp), kept
// for every later run, since the tree never changes. Any thread may compile
// it; the first to store one wins.
//
// A statement that needs no stack, the common `let` of a record's field,
// runs its first time from instructions made on the spot, and is compiled
// only when it runs again: a program built, run once and dropped pays for
// no compiling.

#include <atomic>
#include <memory>

namespace quarn::detail {

struct Code;

class CodeSlot {
public:
    CodeSlot() noexcept = default;
    CodeSlot(const CodeSlot&) = delete;
    CodeSlot& operator=(const CodeSlot&) = delete;
    ~CodeSlot();

    const Code* get() const noexcept { return code_.load(std::memory_order_acquire); }
    // True the first time it is asked. Threads that race here may both be
    // told so, which only means that both skip compiling.
    bool first_run() const noexcept {
        if (ran_.load(std::memory_order_relaxed)) return false;
        ran_.store(true, std::memory_order_relaxed);
        return true;
    }
    // Keeps `made` unless another thread stored one first; returns the kept one.
    const Code* store(std::unique_ptr<Code> made) const noexcept;

private:
    mutable std::atomic<const Code*> code_{nullptr};
    mutable std::atomic<bool> ran_{false};
};

}  // namespace quarn::detail
