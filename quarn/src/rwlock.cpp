#include "rwlock.hpp"

#include <thread>

namespace quarn {

void RwLock::pause(std::uint32_t seen, int& round) noexcept {
    ++round;
    if (round < 64) return;                      // spin
    if (round < 80) return std::this_thread::yield();
    word_.wait(seen, std::memory_order_relaxed);  // block until it changes
}

void RwLock::lock_shared() noexcept {
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

void RwLock::unlock_shared() noexcept {
    std::uint32_t before = word_.fetch_sub(1, std::memory_order_release);
    if ((before & kReaders) == 1 && (before & kWriterWaiting)) word_.notify_all();
}

void RwLock::lock() noexcept {
    int round = 0;
    for (;;) {
        std::uint32_t w = word_.load(std::memory_order_relaxed);
        if (!(w & (kWriter | kReaders))) {
            // Free (perhaps with writers waiting): take it, clearing the
            // waiting mark; the other waiters set it again as they retry.
            if (word_.compare_exchange_weak(w, kWriter, std::memory_order_acquire)) return;
            continue;
        }
        if (!(w & kWriterWaiting)) {
            if (!word_.compare_exchange_weak(w, w | kWriterWaiting, std::memory_order_relaxed)) continue;
            w |= kWriterWaiting;
        }
        pause(w, round);
    }
}

void RwLock::unlock() noexcept {
    word_.store(0, std::memory_order_release);
    word_.notify_all();
}

}  // namespace quarn
