#include <sys/random.h>

#include <atomic>
#include <bit>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "identifier_hash.hpp"
#include "quarn/debug.hpp"
#include "quarn/error.hpp"
#include "quarn/machine.hpp"
#include "rwlock.hpp"
#include "shard_count.hpp"

namespace quarn {

// One shard: an open-addressing table (power-of-two size, linear probing)
// under its own lock, on cache lines of its own.
struct alignas(128) VarTable::Shard {
    struct Slot {
        std::uint64_t hash = 0;
        Identifier id;
        std::optional<Value> value;  // empty marks a free slot
    };

    mutable RwLock lock;
    std::vector<Slot> slots;
    std::size_t mask = 0;  // slots.size() - 1, once there are slots
    std::size_t used = 0;

    // The slot holding the name, or the free slot where it would go.
    std::size_t probe(std::uint64_t hash, IdentifierView id) const noexcept {
        std::size_t i = hash & mask;
        while (slots[i].value && !(slots[i].hash == hash && IdentifierView(slots[i].id) == id)) i = (i + 1) & mask;
        return i;
    }

    const Slot* find(std::uint64_t hash, IdentifierView id) const noexcept {
        if (slots.empty()) return nullptr;
        const Slot& slot = slots[probe(hash, id)];
        return slot.value ? &slot : nullptr;
    }
    Slot* find(std::uint64_t hash, IdentifierView id) noexcept {
        return const_cast<Slot*>(std::as_const(*this).find(hash, id));
    }

    // Keeps the table at most three quarters full.
    void make_room() {
        if ((used + 1) * 4 <= slots.size() * 3) return;
        std::size_t size = slots.empty() ? 8 : slots.size() * 2;
        std::vector<Slot> old = std::exchange(slots, std::vector<Slot>(size));
        mask = size - 1;
        for (Slot& s : old)
            if (s.value) slots[probe(s.hash, s.id)] = std::move(s);
    }
};

namespace {

// Each thread draws 128 random bits once; every table made on the thread
// takes the current pair and bumps the first key, so no two share keys.
std::pair<std::uint64_t, std::uint64_t> next_keys() {
    thread_local std::uint64_t keys[2];
    thread_local bool ready = false;
    if (!ready) {
        auto* p = reinterpret_cast<char*>(keys);
        std::size_t got = 0;
        while (got < sizeof keys) {
            ssize_t n = getrandom(p + got, sizeof keys - got, 0);
            if (n > 0) got += static_cast<std::size_t>(n);
        }
        ready = true;
    }
    return {keys[0]++, keys[1]};
}

std::uint64_t next_table_id() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

VarTable::VarTable() : VarTable(shard_amount()) {}

VarTable::VarTable(std::size_t amount) {
    if (!(amount > 1)) fail("assertion failed: shard_amount > 1");
    if (!std::has_single_bit(amount)) fail("assertion failed: shard_amount.is_power_of_two()");
    count_ = amount;
    shift_ = 64 - std::countr_zero(amount);
    std::tie(k0_, k1_) = next_keys();
    id_ = next_table_id();
    shards_ = std::make_unique<Shard[]>(amount);
}

VarTable::VarTable(VarTable&&) noexcept = default;
VarTable& VarTable::operator=(VarTable&&) noexcept = default;
VarTable::~VarTable() = default;

std::uint64_t VarTable::hash(IdentifierView id) const noexcept { return sip13_identifier(k0_, k1_, id); }

// A tree's name hashes once per table: after that, its cache answers.
std::uint64_t VarTable::hash_of(const Name& name) const noexcept {
    if (auto cached = name.hash.get(id_)) return *cached;
    std::uint64_t h = hash(name.id);
    name.hash.put(id_, h);
    return h;
}

// The shard index is taken from the bits just below the top seven of the
// hash: each shard's own table places entries by the low bits, so the two
// choices stay independent.
std::size_t VarTable::shard_of(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>((hash << 7) >> shift_);
}

VarTable::Shard& VarTable::shard_for(std::uint64_t hash) const noexcept { return shards_[shard_of(hash)]; }

std::optional<Value> VarTable::find(std::uint64_t h, IdentifierView id) const {
    const Shard& shard = shard_for(h);
    std::shared_lock guard(shard.lock);
    auto* slot = shard.find(h, id);
    return slot ? slot->value : std::nullopt;
}

std::optional<Value> VarTable::lookup(IdentifierView id) const { return find(hash(id), id); }

std::optional<Value> VarTable::lookup(const Name& name) const { return find(hash_of(name), name.id); }

// A new entry keeps the identifier: moved from `owned` when the caller gives
// one up, copied otherwise. An existing entry keeps the one it has.
std::optional<Value> VarTable::store(std::uint64_t h, IdentifierView id, Identifier* owned, Value value) {
    Shard& shard = shard_for(h);
    std::unique_lock guard(shard.lock);
    if (!shard.slots.empty()) {
        Shard::Slot& found = shard.slots[shard.probe(h, id)];
        if (found.value) return std::exchange(found.value, std::move(value));
    }
    shard.make_room();
    Shard::Slot& slot = shard.slots[shard.probe(h, id)];
    slot.hash = h;
    slot.id = owned ? std::move(*owned) : id.owned();
    slot.value = std::move(value);
    ++shard.used;
    return std::nullopt;
}

std::optional<Value> VarTable::insert(const Name& name, Value value) {
    return store(hash_of(name), name.id, nullptr, std::move(value));
}

// The count is read under the write lock: a new handle to a bound value is
// only made by a lookup, under this lock, or copied from a handle that
// already counts. The fence orders the append after the reads of any handle
// that let go of the text before the count was read.
bool VarTable::append(const Name& name, const Value& current, std::string_view tail) {
    std::uint64_t h = hash_of(name);
    Shard& shard = shard_for(h);
    std::unique_lock guard(shard.lock);
    Shard::Slot* slot = shard.find(h, name.id);
    if (!slot || !slot->value->same_cell(current) || current.use_count() != 2) return false;
    std::atomic_thread_fence(std::memory_order_acquire);
    slot->value->append_unseen(tail);
    return true;
}

std::optional<Value> VarTable::insert(Identifier id, Value value) {
    std::uint64_t h = hash(id);
    return store(h, id, &id, std::move(value));
}

// Holds at most two read locks: the next shard's is taken before the
// previous one is let go.
void VarTable::debug(std::string& out) const {
    out += '{';
    bool first = true;
    std::shared_lock<RwLock> held;
    for (std::size_t i = 0; i < count_; ++i) {
        std::shared_lock next(shards_[i].lock);
        held = std::move(next);
        for (const Shard::Slot& slot : shards_[i].slots) {
            if (!slot.value) continue;
            if (!first) out += ", ";
            first = false;
            quarn::debug(out, slot.id);
            out += ": ";
            quarn::debug(out, *slot.value);
        }
    }
    out += '}';
}

}  // namespace quarn
