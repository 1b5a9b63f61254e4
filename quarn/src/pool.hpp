#pragma once
// Per-thread free lists for the small blocks that building and evaluating
// make and drop all the time: tree nodes and value cells. A block freed on
// another thread simply joins that thread's list; each list is capped so a
// thread that only frees cannot hoard memory.

#include <cstddef>

namespace quarn::pool {

void* allocate(std::size_t size);
void release(void* p, std::size_t size) noexcept;

}  // namespace quarn::pool
