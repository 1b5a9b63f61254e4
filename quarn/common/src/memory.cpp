#include "quarn/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace quarn {
namespace {

std::uint64_t read_ceiling() noexcept {
    std::uint64_t ceiling = std::numeric_limits<std::uint64_t>::max();
    long pages = sysconf(_SC_PHYS_PAGES);
    long page = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0) ceiling = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
    rlimit space{};
    if (getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY)
        ceiling = std::min<std::uint64_t>(ceiling, space.rlim_cur);
    return ceiling;
}

}  // namespace

std::uint64_t memory_ceiling() noexcept {
    static const std::uint64_t ceiling = read_ceiling();
    return ceiling;
}

}  // namespace quarn
