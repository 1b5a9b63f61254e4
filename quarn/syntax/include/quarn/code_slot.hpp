#pragma once
// Where a statement keeps the flat code it was compiled to (code.hpp), kept
// for every later run, since the tree never changes. Any thread may compile
// it; the first to store one wins.
//
// A statement that needs no stack, the common `let` of a record's field,
// runs its first time from instructions made on the spot, and is compiled
// only when it runs again: a program built, run once and dropped pays for
// no compiling.
//
// The first statement of a program also keeps the units of the programs it
// begins (unit.hpp): a program run again runs as one unit, compiled on its
// second run. Until then the statement keeps only a mark of the last
// program it began, so that a program run once is not compiled at all. A
// unit holds no count on any node: it names its program's statements by
// their serials (tree.hpp), so it keeps no tree alive and makes no cycle
// with a later statement that holds the first, and it goes with the first
// statement.

#include <atomic>
#include <cstdint>
#include <memory>

namespace quarn::detail {

struct Code;
struct Unit;

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

    // The first unit of the programs this statement begins, or null; the
    // others follow it (Unit::next). Each is published whole, and stays
    // until the statement goes.
    const Unit* units() const noexcept { return units_.load(std::memory_order_acquire); }
    std::atomic<const Unit*>& unit_chain() const noexcept { return units_; }
    // Whether `mark` (never 0) is that of one of the last two programs
    // begun here that ran without a unit; it becomes the last either way.
    // Two programs that take turns are both seen. A mark is a hash: another
    // program's may match, which only means that a program is compiled on
    // its first run. Racing threads may both be told no, which only means
    // that both run without a unit once more.
    bool seen(std::uint16_t mark) const noexcept {
        std::uint32_t last = seen_.load(std::memory_order_relaxed);
        if (static_cast<std::uint16_t>(last) == mark || static_cast<std::uint16_t>(last >> 16) == mark) return true;
        seen_.store(last << 16 | mark, std::memory_order_relaxed);
        return false;
    }

private:
    mutable std::atomic<const Code*> code_{nullptr};
    mutable std::atomic<const Unit*> units_{nullptr};
    mutable std::atomic<std::uint32_t> seen_{0};  // two marks of 16 bits
    mutable std::atomic<bool> ran_{false};
};

}  // namespace quarn::detail
