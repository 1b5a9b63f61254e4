#pragma once
// The interpreter state: one sharded, concurrently readable variable table.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quarn/rwlock.hpp"
#include "quarn/value.hpp"

namespace quarn {

// SipHash with the round counts as parameters; the table uses 1-3.
template <int C, int D>
class SipHasher {
public:
    SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept;
    void write(const void* data, std::size_t len) noexcept;
    void write_u64(std::uint64_t x) noexcept;
    std::uint64_t finish() const noexcept;

private:
    void compress(std::uint64_t m) noexcept;
    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;
    std::size_t len_ = 0;
};

// The bytes an identifier feeds to the hash: variant index word, payload.
template <class Hasher>
void hash_identifier(Hasher& h, const Identifier& id) noexcept;

// Shard count for every table in this process: hardware threads available to
// the process (affinity and CPU quotas included) times four, rounded up to a
// power of two; 4 when unknown.
std::size_t shard_amount();
// The same rule applied to a thread count (0 for unknown).
std::size_t shard_amount_for(unsigned threads) noexcept;

class VarTable {
public:
    VarTable();
    explicit VarTable(std::size_t shard_amount);

    Shared lookup(const Identifier& id) const;            // empty when absent
    // The table locks itself, so a shared (const) machine can still bind names.
    Shared insert(Identifier id, Shared value) const;  // the replaced value, or empty
    void debug(std::string& out) const;

    std::size_t shard_count() const noexcept { return count_; }
    std::size_t shard_of(const Identifier& id) const noexcept;
    std::uint64_t hash(const Identifier& id) const noexcept;

private:
    struct Slot {
        std::uint64_t hash;
        Identifier id;
        Shared value;  // empty marks a free slot
    };
    struct alignas(128) Shard {
        mutable RwLock lock;
        std::vector<Slot> slots;  // power-of-two size, linear probing
        std::size_t used = 0;
        const Slot* find(std::uint64_t hash, const Identifier& id) const noexcept;
        void grow();
    };

    std::unique_ptr<Shard[]> shards_;
    std::size_t count_;
    unsigned shift_;
    std::uint64_t k0_, k1_;
};

struct Machine {
    VarTable vars;

    static Machine create() { return Machine{}; }
    Shared get(const Identifier& id) const;  // fatal error when unbound
    std::string debug() const;
};

}  // namespace quarn
