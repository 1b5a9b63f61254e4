#pragma once
// One name's entry in a variable table (machine.hpp).

#include <atomic>
#include <cstdint>
#include <string_view>
#include <utility>

#include "quarn/identifier.hpp"
#include "quarn/seq_lock.hpp"
#include "quarn/value.hpp"

namespace quarn {

class RwLock;

// A name bound in a variable table. It is made when the name is first bound
// and stays at its address, never removed, until the table goes; trees'
// names remember it (name.hpp), so a program run again finds its variables
// without hashing or probing.
//
// The value is kept as its two words (Value's tag and word), each an atomic,
// under a sequence lock (seq_lock.hpp) that every writer takes:
// - A number, a boolean or null is read without any other lock: a copy of
//   the two words is the whole value.
// - A shared value (text, vector, function) is read under the shard's read
//   lock, which keeps its cell alive while the copy takes its count.
// - Rebinding a name that holds a number, boolean or null to another one
//   takes only the sequence lock. Every other change also holds the shard's
//   write lock, so that no reader is copying a shared value meanwhile.
class Binding {
public:
    Binding(std::uint64_t h, Identifier name, Value first, RwLock* shard_lock) noexcept;
    ~Binding();
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;

    // A copy taken with no lock; false for a shared value, or when a write
    // overlapped the copy.
    [[gnu::always_inline]] bool copy_unlocked(Value& out) const noexcept {
        std::uint8_t t;
        std::uint64_t w;
        if (!seq_.read([&] {
                t = tag_.load(std::memory_order_relaxed);
                w = word_.load(std::memory_order_relaxed);
            }))
            return false;
        if (Value::is_shared_tag(t)) return false;
        out = Value::adopt(t, w);
        return true;
    }
    // The sequence lock's count (seq_lock.hpp): the same even number twice
    // means the value did not change in between.
    std::uint32_t version() const noexcept { return seq_.version(); }

    // The same for an integer alone, the commonest value read: false for
    // anything else.
    [[gnu::always_inline]] bool copy_int_unlocked(std::int64_t& out) const noexcept {
        std::uint8_t t;
        std::uint64_t w;
        if (!seq_.read([&] {
                t = tag_.load(std::memory_order_relaxed);
                w = word_.load(std::memory_order_relaxed);
            }))
            return false;
        out = static_cast<std::int64_t>(w);
        return t == Value::kIntTag;
    }

    // A copy of any value, under the shard's read lock.
    Value copy_locked() const noexcept;
    // Calls `use` with the value itself, not a counted copy: under the
    // shard's read lock, for a look that must not change any count.
    template <class Use>
    auto peek(Use&& use) const {
        Value borrowed = Value::adopt(tag_.load(std::memory_order_relaxed), word_.load(std::memory_order_relaxed));
        auto result = use(static_cast<const Value&>(borrowed));
        std::move(borrowed).release();
        return result;
    }

    // Rebinds to a number, boolean or null with no lock but the sequence
    // lock; false, with nothing changed, while the name holds a shared
    // value: that change needs the shard's write lock.
    bool replace_inline(const Value& next) noexcept {
        std::uint32_t held;
        if (!seq_.try_lock(held)) [[unlikely]]
            held = seq_.lock();
        bool shared = Value::is_shared_tag(tag_.load(std::memory_order_relaxed));
        if (!shared) {
            tag_.store(next.tag_word(), std::memory_order_relaxed);
            word_.store(next.value_word(), std::memory_order_relaxed);
        }
        seq_.unlock(held);
        return !shared;
    }
    // Rebinds to any value, under the shard's write lock; returns the value
    // replaced, for the caller to release once the lock is free.
    Value exchange(Value next) noexcept;
    // Under the shard's write lock: appends to the text bound here if `held`
    // handles (the table's among them) reach it and no others, so that no
    // one sees it grow, and the longer text stays within `max_size`. False,
    // with nothing done, otherwise. With `same`, only if that handle is one
    // of them. The sequence lock is not needed: a writer that holds it alone
    // changes only a number, boolean or null, and leaves a text alone.
    bool append_if_held_by(std::size_t held, const Value* same, std::string_view tail, std::uint64_t max_size);

    const std::uint64_t hash;
    const Identifier id;
    RwLock* const lock;  // the binding's shard's

private:
    mutable SeqLock seq_;
    std::atomic<std::uint8_t> tag_;
    std::atomic<std::uint64_t> word_;
};

}  // namespace quarn
