#pragma once
// A sequence lock: writers take turns on one count, which is odd while a write
// is in progress; readers take no lock at all. A reader copies the data and
// keeps the copy only if the count was the same even number before and after,
// so it sees the data of one write whole, never a mix of two.
//
// Every access to the guarded data is a relaxed atomic one, so a copy that a
// write overlapped is never undefined behaviour, only thrown away. What makes
// the protocol correct is how the fences pair up (Boehm, "Can seqlocks get
// along with programming language memory models?", 2012):
//
//   writer                                   reader
//   W1 count: even -> odd (RMW, acquire;     R1 s = count (acquire)
//      a plain store when writers are kept
//      apart from outside, see lock_alone)
//   W2 release fence                         R2 the data, relaxed
//   W3 the data, relaxed                     R3 acquire fence
//   W4 count = odd + 1 (release)             R4 count again (relaxed), must be s
//
// - W4 pairs with R1: a reader whose R1 sees the count of a finished write
//   also sees that write's data (or newer) in R2.
// - W2 pairs with R3: a reader whose R2 saw any datum stored by a write's W3
//   synchronises with that write's W2, so the odd count that W1 stored before
//   it is visible to R4, and the reader throws the copy away.
// - W1 is a read-modify-write, so two writers never both hold the lock. A
//   writer that something else keeps apart from all others may store instead.
//   In what a reader sees nothing changes: the odd count still comes before
//   the release fence.
//
// The memory operations come from a policy so that a test can record them
// and check the pairing above against the language's memory model (see
// quarn/tests/test_seq_lock.cpp); the program always uses the hardware's.

#include <atomic>
#include <cstdint>
#include <thread>

namespace quarn {

struct HardwareMemory {
    template <class T>
    using Atomic = std::atomic<T>;
    static void fence(std::memory_order order) noexcept { std::atomic_thread_fence(order); }
};

template <class Memory>
class BasicSeqLock {
public:
    // W1 and W2: takes the lock unless a write is in progress. `held` is the
    // odd count to hand to unlock().
    bool try_lock(std::uint32_t& held) noexcept {
        std::uint32_t count = count_.load(std::memory_order_relaxed);
        if ((count & 1) || !count_.compare_exchange_strong(count, count + 1, std::memory_order_acquire,
                                                           std::memory_order_relaxed))
            return false;
        Memory::fence(std::memory_order_release);
        held = count + 1;
        return true;
    }

    // The same, waiting for another writer, which holds the lock only for a
    // few stores.
    std::uint32_t lock() noexcept {
        std::uint32_t held;
        for (int round = 0; !try_lock(held); ++round)
            if (round >= kSpinsBeforeYield) std::this_thread::yield();
        return held;
    }

    // W1 and W2 for a writer that something outside the lock already keeps
    // apart from every other writer (a host that serialises all access to a
    // machine): a plain store instead of the read-modify-write, which is what
    // a write of a binding mostly costs. Readers pair with it as with lock().
    [[gnu::always_inline]] std::uint32_t lock_alone() noexcept {
        std::uint32_t held = count_.load(std::memory_order_relaxed) + 1;
        count_.store(held, std::memory_order_relaxed);
        Memory::fence(std::memory_order_release);
        return held;
    }

    // W4.
    [[gnu::always_inline]] void unlock(std::uint32_t held) noexcept { count_.store(held + 1, std::memory_order_release); }

    // W1 to W4 for a write that nothing can overlap, not even a read (a host
    // that serialises all access to a machine): the count moves past the
    // write in one store, after it, so that version() still tells it.
    [[gnu::always_inline]] void pass_alone() noexcept {
        count_.store(count_.load(std::memory_order_relaxed) + 2, std::memory_order_release);
    }
    // W4 for a holder that changed nothing, only read under the lock: the
    // count goes back to what it was, so that readers who saw it before see
    // no write, and what a version (below) promises still holds.
    void unlock_unchanged(std::uint32_t held) noexcept { count_.store(held - 1, std::memory_order_release); }

    // The count now (R1 alone): odd while a write is in progress, and
    // different after any write began. A reader that saw an even count and
    // sees it again knows no write came between.
    std::uint32_t version() const noexcept { return count_.load(std::memory_order_acquire); }

    // R1 to R4 around `copy`, which loads the data (relaxed). False when a
    // write was in progress or overlapped the copy: the copy is then stale.
    template <class Copy>
    [[gnu::always_inline]] bool read(Copy&& copy) const noexcept {
        std::uint32_t before = count_.load(std::memory_order_acquire);
        if (before & 1) return false;
        copy();
        Memory::fence(std::memory_order_acquire);
        return count_.load(std::memory_order_relaxed) == before;
    }

private:
    // A writer holds the lock for a handful of stores; spinning a little
    // longer than that before yielding the processor costs less than a
    // trip through the scheduler.
    static constexpr int kSpinsBeforeYield = 64;

    typename Memory::template Atomic<std::uint32_t> count_{0};
};

using SeqLock = BasicSeqLock<HardwareMemory>;

}  // namespace quarn
