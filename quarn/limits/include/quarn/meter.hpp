#pragma once
// Work that can run long counts itself on a meter. Every so many operations
// the meter stops at a checkpoint: it ends the work with a fatal error once
// the machine's operation limit is passed, and it lets the host look for an
// interruption (in Python, a pending signal whose handler raises), which
// ends the work with whatever the host throws. Between checkpoints an
// operation costs one subtraction and one branch not taken.

#include <cstddef>
#include <cstdint>

namespace quarn {

// Called at checkpoints; may throw to stop the work. Set once by the host.
using InterruptCheck = void (*)();
void set_interrupt_check(InterruptCheck check) noexcept;
// Calls it, if set.
void check_interrupt();

// Runs `work(offset, length)` over [0, total) in stretches of a mebibyte,
// looking for an interruption between two: copying or comparing gigabytes
// of text takes seconds. Stops early when `work` returns false, and returns
// whether it never did.
template <class Work>
bool in_stretches(std::size_t total, Work&& work) {
    constexpr std::size_t kStretch = std::size_t{1} << 20;
    for (std::size_t at = 0; at < total; at += kStretch) {
        if (at > 0) check_interrupt();
        if (!work(at, total - at < kStretch ? total - at : kStretch)) return false;
    }
    return true;
}

class Meter {
public:
    // Operations between two looks for an interruption: often enough to
    // stop within a millisecond or so, rare enough to cost nothing.
    static constexpr std::int64_t kCheckEvery = std::int64_t{1} << 15;
    // Larger charges are cut to this, which no run gets near.
    static constexpr std::uint64_t kMaxCharge = std::uint64_t{1} << 62;

    // `max_operations` 0 is no limit.
    explicit Meter(std::uint64_t max_operations) noexcept;

    void charge(std::uint64_t operations) {
        left_ -= static_cast<std::int64_t>(operations < kMaxCharge ? operations : kMaxCharge);
        if (left_ < 0) [[unlikely]]
            checkpoint();
    }

private:
    [[gnu::cold]] void checkpoint();
    void grant() noexcept;

    std::int64_t left_;     // operations before the next checkpoint
    std::int64_t granted_;  // what left_ started from
    std::int64_t allowed_;  // operations the limit still allows past the grant's start
    std::uint64_t limit_;
};

}  // namespace quarn
