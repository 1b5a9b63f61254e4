#include "rwlock.hpp"

#include <thread>

namespace quarn {

namespace {

// A lock is held for one table access, well under a microsecond: spinning
// about that long costs less than a trip through the scheduler.
constexpr int kSpinRounds = 64;
// Then a few yields, which let a holder that lost its processor finish,
// before sleeping in the kernel until the word changes.
constexpr int kYieldRounds = 16;

}  // namespace

void RwLock::pause(std::uint32_t seen, int& round) noexcept {
    ++round;
    if (round < kSpinRounds) return;
    if (round < kSpinRounds + kYieldRounds) return std::this_thread::yield();
    // Mark the word before sleeping, so that whoever changes it next wakes us.
    if (!(seen & kSleeping) && !word_.compare_exchange_strong(seen, seen | kSleeping, std::memory_order_relaxed))
        return;
    word_.wait(seen | kSleeping, std::memory_order_relaxed);
}

void RwLock::wake_sleepers() noexcept {
    word_.fetch_and(~kSleeping, std::memory_order_relaxed);
    word_.notify_all();
}

void RwLock::lock_shared_waiting() noexcept {
    int round = 0;
    for (;;) {
        std::uint32_t w = word_.load(std::memory_order_relaxed);
        if (!(w & (kWriter | kWriterWaiting))) {
            if (word_.compare_exchange_weak(w, w + 1, std::memory_order_acquire)) return;
            continue;
        }
        pause(w, round);
    }
}

void RwLock::lock_waiting() noexcept {
    int round = 0;
    for (;;) {
        std::uint32_t w = word_.load(std::memory_order_relaxed);
        if (!(w & (kWriter | kReaders))) {
            // Free (perhaps with writers waiting): take it, clearing the
            // waiting mark; the other waiters set it again as they retry.
            if (word_.compare_exchange_weak(w, kWriter | (w & kSleeping), std::memory_order_acquire)) return;
            continue;
        }
        if (!(w & kWriterWaiting)) {
            if (!word_.compare_exchange_weak(w, w | kWriterWaiting, std::memory_order_relaxed)) continue;
            w |= kWriterWaiting;
        }
        pause(w, round);
    }
}

}  // namespace quarn
