#pragma once
// How much a process can hold. A vector whose items share one another
// stands for more items than any memory holds (each step of v = [v, v]
// doubles it at the cost of one cell), so work that spells a value out item
// by item (its debug form, or a host's objects for it) first asks whether
// the result could fit at all. One that could not fails at once, as a failed
// allocation fails, instead of after the hours it would take to fill memory.

#include <cstdint>
#include <new>

namespace quarn {

// The most bytes the process could ever hold at once: the machine's physical
// memory, or its address-space limit when that is lower. Read once.
std::uint64_t memory_ceiling() noexcept;

// Throws std::bad_alloc when `bytes` are more than memory_ceiling().
inline void check_fits(std::uint64_t bytes) {
    if (bytes > memory_ceiling()) throw std::bad_alloc();
}

}  // namespace quarn
