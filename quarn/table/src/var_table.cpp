#include <atomic>
#include <bit>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "identifier_hash.hpp"
#include "random_keys.hpp"
#include "recent_bindings.hpp"
#include "quarn/debug.hpp"
#include "quarn/error.hpp"
#include "quarn/machine.hpp"
#include "rwlock.hpp"
#include "shard_count.hpp"

namespace quarn {

// One shard: an open-addressing table (power-of-two size, linear probing)
// of bindings, under its own lock, on cache lines of its own.
struct alignas(128) VarTable::Shard {
    mutable RwLock lock;
    std::vector<std::unique_ptr<Binding>> slots;  // null marks a free slot
    std::size_t mask = 0;  // slots.size() - 1, once there are slots
    std::size_t used = 0;

    // The slot holding the name, or the free slot where it would go.
    std::size_t probe(std::uint64_t hash, IdentifierView id) const noexcept {
        std::size_t i = hash & mask;
        while (slots[i] && !(slots[i]->hash == hash && IdentifierView(slots[i]->id) == id)) i = (i + 1) & mask;
        return i;
    }

    Binding* find(std::uint64_t hash, IdentifierView id) const noexcept {
        return slots.empty() ? nullptr : slots[probe(hash, id)].get();
    }

    // Keeps the table at most three quarters full. The bindings stay where
    // they are; only the slots pointing at them move.
    void make_room() {
        if ((used + 1) * 4 <= slots.size() * 3) return;
        std::size_t size = slots.empty() ? 8 : slots.size() * 2;
        std::vector<std::unique_ptr<Binding>> old = std::exchange(slots, std::vector<std::unique_ptr<Binding>>(size));
        mask = size - 1;
        for (auto& binding : old)
            if (binding) slots[probe(binding->hash, binding->id)] = std::move(binding);
    }
};

namespace {

// Each thread draws 128 random bits once; every table made on the thread
// takes the current pair and bumps the first key, so no two share keys.
std::pair<std::uint64_t, std::uint64_t> next_keys() {
    static constexpr RandomSource kSources[] = {from_getrandom, from_urandom};
    thread_local std::uint64_t keys[2];
    thread_local bool ready = false;
    if (!ready) {
        draw_keys(keys, kSources);
        ready = true;
    }
    return {keys[0]++, keys[1]};
}

std::uint64_t next_table_id() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

VarTable::VarTable(Writers writers) : VarTable(quarn::shard_count(), writers) {}

VarTable::VarTable(std::size_t amount, Writers writers) : writers_(writers) {
    if (writers == Writers::Serialized) recent_ = std::make_unique<detail::RecentBindings>();
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

// The shard index is taken from high bits of the hash and each shard's own
// table places entries by the low bits, so the two choices stay independent
// however many shards and slots there are. The topmost bits are passed over:
// they are the ones a shard's table would take as a per-slot tag if it ever
// probed by tags, as fast hash tables do.
constexpr unsigned kTagBits = 7;

std::size_t VarTable::shard_of(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>((hash << kTagBits) >> shift_);
}

VarTable::Shard& VarTable::shard_for(std::uint64_t hash) const noexcept { return shards_[shard_of(hash)]; }

Binding* VarTable::find(std::uint64_t h, IdentifierView id) const {
    const Shard& shard = shard_for(h);
    std::shared_lock guard(shard.lock);
    return shard.find(h, id);
}

// The name's binding, or null: one the table found lately, else one found
// by its hash.
Binding* VarTable::located(IdentifierView id) const {
    if (recent_) {
        if (Binding* known = recent_->find(id)) return known;
    }
    Binding* found = find(hash(id), id);
    if (found && recent_) recent_->remember(found);
    return found;
}

const Binding* VarTable::find(IdentifierView id) const { return located(id); }

// The binding a tree's name remembers for this table, else the one found
// for it, which the name then remembers.
Binding* VarTable::bound(const Name& name) const {
    if (Binding* known = name.binding.get(id_)) return known;
    Binding* found = located(name.id);
    if (found) name.binding.put(id_, found);
    return found;
}

std::optional<Value> VarTable::lookup(IdentifierView id) const {
    const Binding* binding = find(id);
    return binding ? std::optional<Value>(read(*binding)) : std::nullopt;
}

std::optional<Value> VarTable::lookup(const Name& name) const {
    const Binding* binding = bound(name);
    return binding ? std::optional<Value>(read(*binding)) : std::nullopt;
}

// A name already bound takes no shard lock: the binding's own guards it.
std::optional<Value> VarTable::replace(Binding& binding, Value value) {
    return binding.exchange(std::move(value));
}

// A new binding keeps the identifier: moved from `owned` when the caller
// gives one up, copied otherwise. `at` is set to the name's binding.
std::optional<Value> VarTable::store(IdentifierView id, Identifier* owned, Value value, Binding*& at) {
    if (recent_ && (at = recent_->find(id))) return at->exchange(std::move(value));
    std::optional<Value> replaced = store(hash(id), id, owned, std::move(value), at);
    if (recent_) recent_->remember(at);
    return replaced;
}

std::optional<Value> VarTable::store(std::uint64_t h, IdentifierView id, Identifier* owned, Value value,
                                     Binding*& at) {
    Shard& shard = shard_for(h);
    std::unique_lock guard(shard.lock);
    if ((at = shard.find(h, id))) return at->exchange(std::move(value));
    shard.make_room();
    auto binding = std::make_unique<Binding>(h, owned ? std::move(*owned) : id.owned(), std::move(value), writers_);
    at = binding.get();
    shard.slots[shard.probe(h, id)] = std::move(binding);
    ++shard.used;
    return std::nullopt;
}

std::optional<Value> VarTable::insert(const Name& name, Value value) {
    Binding* at;
    return insert(name, std::move(value), at);
}

std::optional<Value> VarTable::insert(const Name& name, Value value, Binding*& at) {
    if ((at = name.binding.get(id_))) return replace(*at, std::move(value));
    std::optional<Value> replaced = store(name.id, nullptr, std::move(value), at);
    name.binding.put(id_, at);
    return replaced;
}

std::optional<Value> VarTable::insert(IdentifierView id, Value value, const Binding*& at) {
    Binding* stored;
    std::optional<Value> replaced = store(id, nullptr, std::move(value), stored);
    at = stored;
    return replaced;
}

std::optional<Value> VarTable::insert(Identifier id, Value value) {
    Binding* at;
    return store(id, &id, std::move(value), at);
}

bool VarTable::append_if_held_by(Binding& binding, const Value* current, std::string_view tail,
                                 std::uint64_t max_size) {
    return binding.append_if_held_by(current ? 2 : 1, current, tail, max_size);
}

bool VarTable::append(const Name& name, const Value& current, std::string_view tail, std::uint64_t max_size) {
    Binding* binding = bound(name);
    return binding && append_if_held_by(*binding, &current, tail, max_size);
}

bool VarTable::append(const Name& name, std::string_view tail, std::uint64_t max_size) {
    Binding* binding = name.binding.get(id_);
    return binding && append_if_held_by(*binding, nullptr, tail, max_size);
}

// Every binding with its value at the time of the call, shard by shard.
// Each shard's read lock is held only while its values are copied, and the
// next one's is taken before it is let go, so the table is seen as one pass.
std::vector<std::pair<const Binding*, Value>> VarTable::entries() const {
    std::vector<std::pair<const Binding*, Value>> out;
    std::shared_lock<RwLock> held;
    for (std::size_t i = 0; i < count_; ++i) {
        std::shared_lock next(shards_[i].lock);
        held = std::move(next);
        for (const auto& binding : shards_[i].slots)
            if (binding) out.emplace_back(binding.get(), binding->copy());
    }
    return out;
}

std::vector<const Binding*> VarTable::bindings() const {
    std::vector<const Binding*> out;
    std::shared_lock<RwLock> held;
    for (std::size_t i = 0; i < count_; ++i) {
        std::shared_lock next(shards_[i].lock);
        held = std::move(next);
        for (const auto& binding : shards_[i].slots)
            if (binding) out.push_back(binding.get());
    }
    return out;
}

std::size_t VarTable::size() const {
    std::size_t total = 0;
    std::shared_lock<RwLock> held;
    for (std::size_t i = 0; i < count_; ++i) {
        std::shared_lock next(shards_[i].lock);
        held = std::move(next);
        total += shards_[i].used;
    }
    return total;
}

int VarTable::visit_owned_functions(FunctionVisit visit, void* context) const {
    for (std::size_t i = 0; i < count_; ++i) {
        std::shared_lock guard(shards_[i].lock);
        for (const auto& binding : shards_[i].slots) {
            if (!binding) continue;
            int stop = binding->peek([&](const Value& v) { return quarn::visit_owned_functions(v, visit, context); });
            if (stop) return stop;
        }
    }
    return 0;
}

std::vector<Value> VarTable::take_functions() {
    std::vector<Value> taken;
    for (std::size_t i = 0; i < count_; ++i) {
        std::shared_lock guard(shards_[i].lock);  // the slots stay; the values change under their own locks
        for (auto& binding : shards_[i].slots)
            if (binding && binding->peek([](const Value& v) { return v.reaches_function(); }))
                taken.push_back(binding->exchange(Value()));
    }
    return taken;
}

}  // namespace quarn
