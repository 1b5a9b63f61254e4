#pragma once
// One name's entry in a variable table (machine.hpp).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "quarn/identifier.hpp"
#include "quarn/seq_lock.hpp"
#include "quarn/value.hpp"

namespace quarn {

// Who may change a machine's bindings at once.
// - Concurrent: any threads. A write takes its binding's sequence lock with
//   an atomic read-modify-write, so that two writers never meet.
// - Serialized: the host lets one thread at a time use the machine at all,
//   as an interpreter lock held by every caller does. A write then takes the
//   lock with a plain store (SeqLock::lock_alone), and a read of a number is
//   two plain loads: nanoseconds less on every binding a run makes or reads.
//   Two threads using such a machine at once would see torn values.
enum class Writers : std::uint8_t { Concurrent, Serialized };

// A name bound in a variable table. It is made when the name is first bound
// and stays at its address, never removed, until the table goes; trees'
// names remember it (name.hpp), so a program run again finds its variables
// without hashing or probing.
//
// The value is kept as its two words (Value's tag and word), each an atomic,
// under the binding's own sequence lock (seq_lock.hpp); the shard's lock
// guards only the shard's slots, that is, which names are bound at all.
// - A number, a boolean or null is read without taking any lock: a copy of
//   the two words is the whole value.
// - Any other read holds the sequence lock as a writer does, for the few
//   instructions it takes to copy the words and count the new handle: a
//   text, a vector or a function must not be let go by a writer between
//   the two.
// - Every write holds it, and releases the replaced value only after.
class Binding {
public:
    Binding(std::uint64_t h, Identifier name, Value first, Writers writers = Writers::Concurrent) noexcept;
    ~Binding();
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;

    // A copy taken with no lock; false for a shared value, or when a write
    // overlapped the copy.
    [[gnu::always_inline]] bool copy_unlocked(Value& out) const noexcept {
        std::uint8_t t;
        std::uint64_t w;
        if (!words(t, w) || Value::is_shared_tag(t)) return false;
        out = Value::adopt(t, w);
        return true;
    }
    // The same for an integer alone, the commonest value read: false for
    // anything else.
    [[gnu::always_inline]] bool copy_int_unlocked(std::int64_t& out) const noexcept {
        std::uint8_t t;
        std::uint64_t w;
        if (!words(t, w) || t != Value::kIntTag) return false;
        out = static_cast<std::int64_t>(w);
        return true;
    }
    // The two words of a number, a boolean or null, with no lock; false for a
    // shared value (whose words may be read only under the lock), or when a
    // write overlapped the read.
    [[gnu::always_inline]] bool words_unlocked(std::uint8_t& tag, std::uint64_t& word) const noexcept {
        return words(tag, word) && !Value::is_shared_tag(tag);
    }
    // The sequence lock's count (seq_lock.hpp): the same even number twice
    // means the value did not change in between.
    std::uint32_t version() const noexcept { return seq_.version(); }

    // A copy of any value.
    Value copy() const noexcept {
        if (Value out; copy_unlocked(out)) return out;
        return copy_shared();
    }
    // Calls `use` with the value itself, not a counted copy, under the lock:
    // for a look that must not change any count.
    template <class Use>
    auto peek(Use&& use) const {
        std::uint32_t held = lock();
        Value borrowed = Value::adopt(tag_.load(std::memory_order_relaxed), word_.load(std::memory_order_relaxed));
        auto result = use(static_cast<const Value&>(borrowed));
        std::move(borrowed).release();
        seq_.unlock_unchanged(held);
        return result;
    }

    // Whether the value bound here is a text equal to `text`, compared in
    // place, with no handle taken: 1 or 0. -1 when it is no text, or too long
    // a text to compare in one go, or while another writer holds the lock:
    // the caller then compares a copy, the general way.
    // With serialized writers no write can come between: no lock is taken.
    [[gnu::always_inline]] int equals_text(std::string_view text) const noexcept {
        constexpr std::size_t kLongest = std::size_t{1} << 20;  // longer ones are compared in stretches
        if (text.size() > kLongest) return -1;
        if (writers_ == Writers::Serialized) return holds_text(text);
        std::uint32_t held;
        if (!seq_.try_lock(held)) return -1;
        int result = holds_text(text);
        seq_.unlock_unchanged(held);
        return result;
    }

    // Rebinds to any value; returns the value replaced, which the caller
    // releases once the lock is free: releasing a function runs its host's
    // code.
    [[gnu::always_inline]] Value exchange(Value next) noexcept {
        bool alone = writers_ == Writers::Serialized;
        std::uint32_t held = alone ? 0 : seq_.lock();
        Value previous = Value::adopt(tag_.load(std::memory_order_relaxed), word_.load(std::memory_order_relaxed));
        tag_.store(next.tag_word(), std::memory_order_relaxed);
        word_.store(next.value_word(), std::memory_order_relaxed);
        std::move(next).release();
        if (alone)
            seq_.pass_alone();
        else
            seq_.unlock(held);
        return previous;
    }
    // The same for a caller that knows the writers to be serialized.
    [[gnu::always_inline]] Value exchange_alone(Value next) noexcept {
        Value previous = Value::adopt(tag_.load(std::memory_order_relaxed), word_.load(std::memory_order_relaxed));
        tag_.store(next.tag_word(), std::memory_order_relaxed);
        word_.store(next.value_word(), std::memory_order_relaxed);
        std::move(next).release();
        seq_.pass_alone();
        return previous;
    }
    // Appends to the text bound here if `held` handles (the table's among
    // them) reach it and no others, so that no one sees it grow, and the
    // longer text stays within `max_size`. False, with nothing done,
    // otherwise. With `same`, only if that handle is one of them.
    bool append_if_held_by(std::size_t held, const Value* same, std::string_view tail, std::uint64_t max_size);
    // The same when the table alone holds the text and it has room for the
    // tail as it is, the common case of a text built piece by piece: no call,
    // no allocation. False, with nothing done, otherwise (or while another
    // thread holds the lock), for the caller to go the general way.
    [[gnu::always_inline]] bool append_in_room(std::string_view tail, std::uint64_t max_size) noexcept {
        std::uint32_t held;
        if (!try_lock(held)) return false;
        if (tag_.load(std::memory_order_relaxed) == Value::kStringTag) {
            auto* text = reinterpret_cast<detail::TextCell*>(word_.load(std::memory_order_relaxed));
            std::size_t size = text->size + tail.size();
            if (text->refs.load(std::memory_order_acquire) == 1 && size <= text->capacity && size <= max_size) {
                detail::copy_short(text->data() + text->size, tail);
                text->size = size;
                seq_.unlock(held);
                return true;
            }
        }
        seq_.unlock_unchanged(held);
        return false;
    }

    const std::uint64_t hash;
    const Identifier id;

private:
    [[gnu::always_inline]] std::uint32_t lock() const noexcept {
        return writers_ == Writers::Serialized ? seq_.lock_alone() : seq_.lock();
    }
    [[gnu::always_inline]] bool try_lock(std::uint32_t& held) const noexcept {
        if (writers_ != Writers::Serialized) return seq_.try_lock(held);
        held = seq_.lock_alone();
        return true;
    }

    // The two words of one write, read with no lock; false when a write was
    // in progress or overlapped the read. With writers kept apart from
    // readers too, no write can overlap.
    [[gnu::always_inline]] bool words(std::uint8_t& t, std::uint64_t& w) const noexcept {
        if (writers_ == Writers::Serialized) {
            t = tag_.load(std::memory_order_relaxed);
            w = word_.load(std::memory_order_relaxed);
            return true;
        }
        return seq_.read([&]() __attribute__((always_inline)) {
            t = tag_.load(std::memory_order_relaxed);
            w = word_.load(std::memory_order_relaxed);
        });
    }
    Value copy_shared() const noexcept;

    // equals_text() with no writer about.
    [[gnu::always_inline]] int holds_text(std::string_view text) const noexcept {
        if (tag_.load(std::memory_order_relaxed) != Value::kStringTag) return -1;
        auto* cell = reinterpret_cast<const detail::TextCell*>(word_.load(std::memory_order_relaxed));
        return cell->size == text.size() && detail::same_bytes(cell->data(), text.data(), text.size());
    }

    mutable SeqLock seq_;
    std::atomic<std::uint8_t> tag_;
    const Writers writers_;
    std::atomic<std::uint64_t> word_;
};

}  // namespace quarn
