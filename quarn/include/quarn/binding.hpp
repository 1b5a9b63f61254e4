#pragma once
// One name's entry in a variable table (machine.hpp).

#include <atomic>
#include <cstdint>
#include <utility>

#include "quarn/identifier.hpp"
#include "quarn/value.hpp"

namespace quarn {

class RwLock;

// A name bound in a variable table. It is made when the name is first bound and
// stays at its address, never removed, until the table goes; trees' names
// remember it (name.hpp), so a program run again finds its variables
// without hashing or probing.
//
// `value` is read and written under `lock`. A number, a boolean or null is
// also kept as two plain words that readers copy without the lock: a copy
// made between two reads of the same even `seq` overlapped no write (a
// sequence lock). A shared value needs the lock, which keeps its cell
// alive while the copy takes its count.
struct Binding {
    Binding(std::uint64_t h, Identifier name, Value first, RwLock* shard_lock)
        : hash(h), id(std::move(name)), lock(shard_lock), tag(first.inline_tag()), word(first.inline_word()),
          value(std::move(first)) {}

    // Under the write lock.
    Value exchange(Value next) {
        std::uint32_t count = seq.load(std::memory_order_relaxed);
        seq.store(count + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        tag.store(next.inline_tag(), std::memory_order_relaxed);
        word.store(next.inline_word(), std::memory_order_relaxed);
        Value previous = std::exchange(value, std::move(next));
        seq.store(count + 2, std::memory_order_release);
        return previous;
    }

    // False for a shared value, or when a write overlapped the copy.
    bool copy_unlocked(Value& out) const noexcept {
        std::uint32_t before = seq.load(std::memory_order_acquire);
        std::uint8_t t = tag.load(std::memory_order_relaxed);
        std::uint64_t w = word.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((before & 1) || seq.load(std::memory_order_relaxed) != before || t == Value::kSharedTag) return false;
        out = Value::from_inline(t, w);
        return true;
    }

    const std::uint64_t hash;
    const Identifier id;
    RwLock* const lock;  // the binding's shard's
    std::atomic<std::uint32_t> seq{0};
    std::atomic<std::uint8_t> tag;
    std::atomic<std::uint64_t> word;
    Value value;
};

}  // namespace quarn
