#pragma once
// Per-thread free lists for the small blocks that building and evaluating
// make and drop all the time: tree nodes and value cells. A block freed on
// another thread simply joins that thread's list; each list is capped so a
// thread that only frees cannot hoard memory.

#include <cstddef>

namespace quarn::pool {

// Two block sizes, for what is made most often: an operator node, a short
// text or a vector of two fits the small one; every other node (the largest
// hold a name with its remembered binding) fits the large one. Anything
// bigger goes to the general heap. The trees and values check that their
// cells fit.
inline constexpr std::size_t kSmallBlock = 64;
inline constexpr std::size_t kLargeBlock = 128;

void* allocate(std::size_t size);
void release(void* p, std::size_t size) noexcept;

}  // namespace quarn::pool
