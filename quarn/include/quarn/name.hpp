#pragma once
// An identifier as it stands in a syntax tree, with the binding that the
// last variable table to look it up found for it. Trees are immutable and
// run again and again, and a table never moves or removes a binding, so a
// lookup goes straight to the remembered binding instead of hashing the
// name and probing for it; another table simply finds its own and takes the
// cache over.

#include <atomic>
#include <cstdint>

#include "quarn/identifier.hpp"

namespace quarn {

struct Binding;  // one name's entry in a variable table (machine.hpp)

// A sequence lock around one (table, binding) pair: readers never write, and
// a reader that overlaps a writer sees the change of sequence and misses.
class BindingCache {
public:
    Binding* get(std::uint64_t table) const noexcept {
        std::uint32_t before = seq_.load(std::memory_order_acquire);
        if (before & 1) return nullptr;
        std::uint64_t owner = table_.load(std::memory_order_relaxed);
        Binding* binding = binding_.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq_.load(std::memory_order_relaxed) != before || owner != table) return nullptr;
        return binding;
    }

    // Gives up at once if another thread is writing; the next lookup tries again.
    void put(std::uint64_t table, Binding* binding) const noexcept {
        std::uint32_t seq = seq_.load(std::memory_order_relaxed);
        if ((seq & 1) || !seq_.compare_exchange_strong(seq, seq + 1, std::memory_order_acquire)) return;
        table_.store(table, std::memory_order_relaxed);
        binding_.store(binding, std::memory_order_relaxed);
        seq_.store(seq + 2, std::memory_order_release);
    }

private:
    mutable std::atomic<std::uint32_t> seq_{0};
    mutable std::atomic<std::uint64_t> table_{0};  // no table has the id 0
    mutable std::atomic<Binding*> binding_{nullptr};
};

struct Name {
    Identifier id;
    BindingCache binding;

    explicit Name(Identifier identifier) noexcept : id(std::move(identifier)) {}
};

}  // namespace quarn
