// The sequence lock's fences, checked against the language's memory model.
//
// On x86 a missing fence in a sequence lock goes unseen by any thread test:
// the processor keeps stores in order and loads in order anyway. So the
// lock's own code is run here with memory operations that record
// themselves, once as the writer of a datum and once as its reader, and
// every way the reader's loads could be satisfied under the C++ rules is
// tried: which store each load reads from, limited only by coherence and by
// what the recorded fences and orders make happen-before. No reader may
// accept a copy that mixes the data before the write with the data after it.
// Dropping any one fence or order from the lock lets such a copy through,
// which the same checker shows for each.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "quarn/seq_lock.hpp"

namespace {

struct Event {
    enum Kind { Load, Store, Exchange, Fence } kind;
    int location;  // the count is 0; the data 1 and 2
    std::memory_order order;
};

// What the recording drops, to show what each fence is for.
struct Weakening {
    bool release_fence = false;
    bool acquire_fence = false;
    bool release_unlock = false;
    bool acquire_begin = false;
};

std::vector<Event>* trace = nullptr;
Weakening weakened;

bool is_release(std::memory_order o) {
    return o == std::memory_order_release || o == std::memory_order_acq_rel || o == std::memory_order_seq_cst;
}
bool is_acquire(std::memory_order o) {
    return o == std::memory_order_acquire || o == std::memory_order_acq_rel || o == std::memory_order_seq_cst;
}

struct RecordingMemory {
    template <class T>
    struct Atomic {
        T value;
        int location = 0;
        Atomic(T v) : value(v) {}  // NOLINT: mirrors std::atomic
        T load(std::memory_order o) const {
            if (location == 0 && weakened.acquire_begin && o == std::memory_order_acquire) o = std::memory_order_relaxed;
            trace->push_back({Event::Load, location, o});
            return value;
        }
        void store(T v, std::memory_order o) {
            if (location == 0 && weakened.release_unlock) o = std::memory_order_relaxed;
            trace->push_back({Event::Store, location, o});
            value = v;
        }
        bool compare_exchange_strong(T& expected, T desired, std::memory_order success, std::memory_order) {
            trace->push_back({Event::Exchange, location, success});
            if (value != expected) return false;
            value = desired;
            return true;
        }
    };
    static void fence(std::memory_order o) {
        if ((o == std::memory_order_release && weakened.release_fence) ||
            (o == std::memory_order_acquire && weakened.acquire_fence))
            return;
        trace->push_back({Event::Fence, -1, o});
    }
};

using Lock = quarn::BasicSeqLock<RecordingMemory>;

struct Programs {
    std::vector<Event> writer, reader;
};

// One write of both data under the lock, and one read of both. A writer
// kept apart from all others by its host (lock_alone) takes the lock with a
// plain store.
Programs record(Weakening weakening, bool alone = false) {
    weakened = weakening;
    Programs p;
    Lock lock;
    RecordingMemory::Atomic<int> first(0), second(0);
    first.location = 1;
    second.location = 2;
    trace = &p.writer;
    std::uint32_t held = alone ? lock.lock_alone() : lock.lock();
    first.store(1, std::memory_order_relaxed);
    second.store(1, std::memory_order_relaxed);
    lock.unlock(held);
    Lock fresh;
    trace = &p.reader;
    fresh.read([&] {
        first.load(std::memory_order_relaxed);
        second.load(std::memory_order_relaxed);
    });
    trace = nullptr;
    return p;
}

// Counts the executions in which the reader accepts a torn copy. Each
// location's stores are the writer's, in order; a load reads version 0 (the
// initial value) or the k-th store's.
class Checker {
public:
    explicit Checker(Programs p) : p_(std::move(p)) {
        for (std::size_t i = 0; i < p_.reader.size(); ++i)
            if (p_.reader[i].kind == Event::Load) loads_.push_back(i);
    }

    int torn_copies_accepted() {
        choice_.assign(loads_.size(), 0);
        int torn = 0;
        do {
            if (consistent() && accepted() && torn_copy()) ++torn;
        } while (next_choice());
        return torn;
    }

private:
    std::vector<std::size_t> stores_to(int location) const {
        std::vector<std::size_t> out;
        for (std::size_t i = 0; i < p_.writer.size(); ++i)
            if (p_.writer[i].location == location && p_.writer[i].kind != Event::Load) out.push_back(i);
        return out;
    }

    bool next_choice() {
        for (std::size_t k = 0; k < loads_.size(); ++k) {
            if (++choice_[k] <= stores_to(p_.reader[loads_[k]].location).size()) return true;
            choice_[k] = 0;
        }
        return false;
    }

    // The writer's event read by load k, or none for the initial value.
    std::ptrdiff_t source(std::size_t k) const {
        if (choice_[k] == 0) return -1;
        return static_cast<std::ptrdiff_t>(stores_to(p_.reader[loads_[k]].location)[choice_[k] - 1]);
    }

    // Writer event `w` happens before reader event `r` when some write at or
    // after `w` synchronises with some read at or before `r`.
    bool happens_before(std::size_t w, std::size_t r) const {
        for (std::size_t k = 0; k < loads_.size(); ++k) {
            std::ptrdiff_t s = source(k);
            if (s < 0 || loads_[k] > r) continue;
            if (synchronises(static_cast<std::size_t>(s), loads_[k], w, r)) return true;
        }
        return false;
    }

    // A load that read store `s`: release (the store's own, or a fence
    // before it) pairs with acquire (the load's own, or a fence after it).
    bool synchronises(std::size_t s, std::size_t load, std::size_t w, std::size_t r) const {
        bool from_store = is_release(p_.writer[s].order) && w <= s;
        bool from_fence = false;
        for (std::size_t f = w; f < s; ++f)
            from_fence |= p_.writer[f].kind == Event::Fence && is_release(p_.writer[f].order);
        if (!from_store && !from_fence) return false;
        if (is_acquire(p_.reader[load].order)) return true;
        for (std::size_t g = load + 1; g <= r; ++g)
            if (p_.reader[g].kind == Event::Fence && is_acquire(p_.reader[g].order)) return true;
        return false;
    }

    // No load reads a store older than one that happens before it, and
    // loads of one location never go back in its order.
    bool consistent() const {
        for (std::size_t k = 0; k < loads_.size(); ++k) {
            std::vector<std::size_t> stores = stores_to(p_.reader[loads_[k]].location);
            for (std::size_t v = 0; v < stores.size(); ++v)
                if (v + 1 > choice_[k] && happens_before(stores[v], loads_[k])) return false;
            for (std::size_t j = 0; j < k; ++j)
                if (p_.reader[loads_[j]].location == p_.reader[loads_[k]].location && choice_[j] > choice_[k])
                    return false;
        }
        return true;
    }

    std::size_t version_of(int location, std::size_t nth = 0) const {
        for (std::size_t k = 0; k < loads_.size(); ++k)
            if (p_.reader[loads_[k]].location == location && nth-- == 0) return choice_[k];
        return 0;
    }

    // The count read before and after is the same even value: 0 (no write
    // began) or 2 (the write ended); the read keeps its copy.
    bool accepted() const {
        std::size_t before = version_of(0, 0), after = version_of(0, 1);
        return before == after && before != 1;
    }

    bool torn_copy() const {
        std::size_t expected = version_of(0) == 0 ? 0 : 1;
        return version_of(1) != expected || version_of(2) != expected;
    }

    Programs p_;
    std::vector<std::size_t> loads_;
    std::vector<std::size_t> choice_;
};

}  // namespace

TEST(SeqLock, ReadersNeverKeepATornCopy) { EXPECT_EQ(Checker(record({})).torn_copies_accepted(), 0); }

TEST(SeqLock, ReadersNeverKeepATornCopyOfAWriterKeptApartByItsHost) {
    EXPECT_EQ(Checker(record({}, true)).torn_copies_accepted(), 0);
    EXPECT_GT(Checker(record({.release_fence = true}, true)).torn_copies_accepted(), 0);
    EXPECT_GT(Checker(record({.release_unlock = true}, true)).torn_copies_accepted(), 0);
}

TEST(SeqLock, EveryFenceAndOrderIsNeeded) {
    EXPECT_GT(Checker(record({.release_fence = true})).torn_copies_accepted(), 0);
    EXPECT_GT(Checker(record({.acquire_fence = true})).torn_copies_accepted(), 0);
    EXPECT_GT(Checker(record({.release_unlock = true})).torn_copies_accepted(), 0);
    EXPECT_GT(Checker(record({.acquire_begin = true})).torn_copies_accepted(), 0);
}
