#pragma once
// The reader-writer lock of one variable-table shard. A waiting writer stops
// new readers from entering, so a steady stream of lookups cannot starve an
// insert. A thread that cannot enter spins briefly, then yields, then sleeps
// until the lock word changes. An uncontended lock or unlock is one atomic
// operation; only a thread that went to sleep makes its waker call the kernel.

#include <atomic>
#include <cstdint>

namespace quarn {

class RwLock {
public:
    // The uncontended case inline: one atomic operation each.
    void lock_shared() noexcept {
        std::uint32_t w = word_.load(std::memory_order_relaxed);
        if ((w & (kWriter | kWriterWaiting)) ||
            !word_.compare_exchange_weak(w, w + 1, std::memory_order_acquire))
            lock_shared_waiting();
    }
    void unlock_shared() noexcept {
        std::uint32_t before = word_.fetch_sub(1, std::memory_order_release);
        if ((before & kReaders) == 1 && (before & kSleeping)) wake_sleepers();
    }
    void lock() noexcept {
        std::uint32_t w = 0;
        if (!word_.compare_exchange_weak(w, kWriter, std::memory_order_acquire)) lock_waiting();
    }
    void unlock() noexcept {
        if (word_.exchange(0, std::memory_order_release) & kSleeping) word_.notify_all();
    }

private:
    void lock_shared_waiting() noexcept;
    void lock_waiting() noexcept;
    static constexpr std::uint32_t kWriter = 1u << 31;
    static constexpr std::uint32_t kWriterWaiting = 1u << 30;
    static constexpr std::uint32_t kSleeping = 1u << 29;  // someone waits in the kernel
    static constexpr std::uint32_t kReaders = kSleeping - 1;

    // Waits, in escalating steps, until the word is no longer `seen`.
    void pause(std::uint32_t seen, int& round) noexcept;
    void wake_sleepers() noexcept;

    std::atomic<std::uint32_t> word_{0};
};

}  // namespace quarn
