#pragma once
// An identifier as it stands in a syntax tree, with the binding that the
// last variable table to look it up found for it. Trees are immutable and
// run again and again, and a table never moves or removes a binding, so a
// lookup goes straight to the remembered binding instead of hashing the
// name and probing for it; another table simply finds its own and takes the
// remembered place over.

#include <atomic>
#include <cstdint>

#include "quarn/identifier.hpp"
#include "quarn/seq_lock.hpp"

namespace quarn {

class Binding;  // one name's entry in a variable table (binding.hpp)

// The (table, binding) pair a tree's name remembers, under a sequence lock:
// a reader that overlaps a writer misses, and a writer that meets another
// gives up, since the next lookup simply remembers again.
class CachedBinding {
public:
    [[gnu::always_inline]] Binding* get(std::uint64_t table) const noexcept {
        std::uint64_t owner;
        Binding* binding;
        bool whole = seq_.read([&]() __attribute__((always_inline)) {
            owner = table_.load(std::memory_order_relaxed);
            binding = binding_.load(std::memory_order_relaxed);
        });
        return whole && owner == table ? binding : nullptr;
    }

    void put(std::uint64_t table, Binding* binding) const noexcept {
        std::uint32_t held;
        if (!seq_.try_lock(held)) return;
        table_.store(table, std::memory_order_relaxed);
        binding_.store(binding, std::memory_order_relaxed);
        seq_.unlock(held);
    }

private:
    mutable SeqLock seq_;
    mutable std::atomic<std::uint64_t> table_{0};  // no table has the id 0
    mutable std::atomic<Binding*> binding_{nullptr};
};

struct Name {
    Identifier id;
    CachedBinding binding;

    explicit Name(Identifier identifier) noexcept : id(std::move(identifier)) {}
};

}  // namespace quarn
