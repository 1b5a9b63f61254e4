#pragma once
// The 128 random bits that key each thread's variable tables. The kernel's
// getrandom is the source; a process where it is missing (ENOSYS) or refused
// (EPERM under a seccomp filter) reads /dev/urandom instead, and one where
// that fails too mixes the clock with addresses. Whatever happens, drawing
// the keys ends: a table is never left waiting for randomness.

#include <cstddef>
#include <cstdint>
#include <span>

namespace quarn {

// Fills `size` bytes, or returns false.
using RandomSource = bool (*)(void* out, std::size_t size);

bool from_getrandom(void* out, std::size_t size) noexcept;
bool from_urandom(void* out, std::size_t size) noexcept;

// From the first source that gives every byte, else from the clock.
void draw_keys(std::uint64_t (&keys)[2], std::span<const RandomSource> sources) noexcept;

}  // namespace quarn
