#pragma once
// An identifier as it stands in a syntax tree, with the hash that the last
// variable table to look it up computed for it. Trees are immutable and run
// again and again, so a lookup finds the hash here instead of hashing the
// name anew; a table with other keys simply hashes again and takes the cache
// over.

#include <atomic>
#include <cstdint>
#include <optional>

#include "quarn/identifier.hpp"

namespace quarn {

// A sequence lock around one (table, hash) pair: readers never write, and a
// reader that overlaps a writer sees the change of sequence and misses.
class HashCache {
public:
    std::optional<std::uint64_t> get(std::uint64_t table) const noexcept {
        std::uint32_t before = seq_.load(std::memory_order_acquire);
        if (before & 1) return std::nullopt;
        std::uint64_t owner = table_.load(std::memory_order_relaxed);
        std::uint64_t hash = hash_.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq_.load(std::memory_order_relaxed) != before || owner != table) return std::nullopt;
        return hash;
    }

    // Gives up at once if another thread is writing; the next lookup tries again.
    void put(std::uint64_t table, std::uint64_t hash) const noexcept {
        std::uint32_t seq = seq_.load(std::memory_order_relaxed);
        if ((seq & 1) || !seq_.compare_exchange_strong(seq, seq + 1, std::memory_order_acquire)) return;
        table_.store(table, std::memory_order_relaxed);
        hash_.store(hash, std::memory_order_relaxed);
        seq_.store(seq + 2, std::memory_order_release);
    }

private:
    mutable std::atomic<std::uint32_t> seq_{0};
    mutable std::atomic<std::uint64_t> table_{0};  // no table has the id 0
    mutable std::atomic<std::uint64_t> hash_{0};
};

struct Name {
    Identifier id;
    HashCache hash;

    explicit Name(Identifier identifier) noexcept : id(std::move(identifier)) {}
};

}  // namespace quarn
