#include "quarn/machine.hpp"

#include <sys/random.h>

#include <bit>
#include <mutex>
#include <shared_mutex>

#include "quarn/error.hpp"

namespace quarn {
namespace {

struct Keys {
    std::uint64_t k0 = 0, k1 = 0;
    bool ready = false;
};

thread_local Keys thread_keys;

// Each thread draws 128 random bits once; every table made on the thread
// takes the current pair and bumps the first key, so no two share keys.
std::pair<std::uint64_t, std::uint64_t> next_keys() {
    Keys& keys = thread_keys;
    if (!keys.ready) {
        std::uint64_t words[2] = {0, 0};
        auto* p = reinterpret_cast<char*>(words);
        std::size_t got = 0;
        while (got < sizeof words) {
            ssize_t n = getrandom(p + got, sizeof words - got, 0);
            if (n > 0) got += static_cast<std::size_t>(n);
        }
        keys = {words[0], words[1], true};
    }
    auto pair = std::make_pair(keys.k0, keys.k1);
    keys.k0 += 1;
    return pair;
}

}  // namespace

// --------------------------------------------------------------- shards

const VarTable::Slot* VarTable::Shard::find(std::uint64_t hash, const Identifier& id) const noexcept {
    if (slots.empty()) return nullptr;
    std::size_t mask = slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots[i];
        if (!slot.value) return nullptr;
        if (slot.hash == hash && slot.id == id) return &slot;
    }
}

void VarTable::Shard::grow() {
    std::vector<Slot> old = std::move(slots);
    slots = std::vector<Slot>(old.empty() ? 8 : old.size() * 2);
    std::size_t mask = slots.size() - 1;
    for (Slot& s : old) {
        if (!s.value) continue;
        std::size_t i = s.hash & mask;
        while (slots[i].value) i = (i + 1) & mask;
        slots[i] = std::move(s);
    }
}

// ---------------------------------------------------------------- table

VarTable::VarTable() : VarTable(shard_amount()) {}

VarTable::VarTable(std::size_t amount) {
    if (!(amount > 1)) fail("assertion failed: shard_amount > 1");
    if (!std::has_single_bit(amount)) fail("assertion failed: shard_amount.is_power_of_two()");
    count_ = amount;
    shift_ = 64 - std::countr_zero(amount);
    std::tie(k0_, k1_) = next_keys();
    shards_ = std::make_unique<Shard[]>(amount);
}

std::uint64_t VarTable::hash(const Identifier& id) const noexcept {
    SipHasher<1, 3> h(k0_, k1_);
    hash_identifier(h, id);
    return h.finish();
}

std::size_t VarTable::shard_of(const Identifier& id) const noexcept {
    return static_cast<std::size_t>((hash(id) << 7) >> shift_);
}

Shared VarTable::lookup(const Identifier& id) const {
    std::uint64_t h = hash(id);
    const Shard& shard = shards_[(h << 7) >> shift_];
    std::shared_lock guard(shard.lock);
    const Slot* slot = shard.find(h, id);
    return slot ? slot->value : Shared();
}

Shared VarTable::insert(Identifier id, Shared value) const {
    std::uint64_t h = hash(id);
    Shard& shard = shards_[(h << 7) >> shift_];
    std::unique_lock guard(shard.lock);
    if (const Slot* found = shard.find(h, id)) {
        std::swap(const_cast<Slot*>(found)->value, value);
        return value;  // released by the caller, outside the lock
    }
    if ((shard.used + 1) * 4 > shard.slots.size() * 3) shard.grow();
    std::size_t mask = shard.slots.size() - 1;
    std::size_t i = h & mask;
    while (shard.slots[i].value) i = (i + 1) & mask;
    shard.slots[i] = Slot{h, std::move(id), std::move(value)};
    ++shard.used;
    return Shared();
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
        for (const Slot& slot : shards_[i].slots) {
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

// -------------------------------------------------------------- machine

Shared Machine::get(const Identifier& id) const {
    Shared value = vars.lookup(id);
    if (!value) fail("Value cannot be found: " + debug_string(id));
    return value;
}

std::string Machine::debug() const {
    std::string out = "Machine { vars: ";
    vars.debug(out);
    out += " }";
    return out;
}

}  // namespace quarn
