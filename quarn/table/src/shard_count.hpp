#pragma once
// How many shards a variable table gets: four per hardware thread available
// to this process, rounded up to a power of two, so that threads working on
// one machine rarely meet on one shard's lock.

#include <cstddef>

namespace quarn {

// The count for this process, found once: the hardware threads it may run
// on (its affinity mask, and any cgroup CPU quota), times four; 4 if unknown.
std::size_t shard_count();

// The same rule for a given thread count (0 for unknown).
std::size_t shard_count_for(unsigned threads) noexcept;

}  // namespace quarn
