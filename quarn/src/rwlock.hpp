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
    void lock_shared() noexcept;
    void unlock_shared() noexcept;
    void lock() noexcept;
    void unlock() noexcept;

private:
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
