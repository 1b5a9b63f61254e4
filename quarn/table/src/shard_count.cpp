// The hardware threads available to this process, as the affinity mask and
// any cgroup (v1 or v2) CPU quota allow, and the shard count made from them.

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "shard_count.hpp"

namespace quarn {
namespace {

unsigned affinity_threads() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 0;
}

// Threads' worth of CPU time granted by quota/period, rounded up; 0 if none.
unsigned quota_threads(double quota, double period) {
    if (quota <= 0 || period <= 0) return 0;
    return static_cast<unsigned>(std::max(1.0, std::ceil(quota / period)));
}

unsigned cgroup2_limit(const std::string& dir) {
    std::ifstream in(dir + "/cpu.max");
    std::string quota;
    double period = 0;
    if (!(in >> quota >> period) || quota == "max") return 0;
    return quota_threads(std::stod(quota), period);
}

unsigned cgroup1_limit(const std::string& dir) {
    std::ifstream q(dir + "/cpu.cfs_quota_us"), p(dir + "/cpu.cfs_period_us");
    double quota = 0, period = 0;
    if (!(q >> quota) || !(p >> period)) return 0;
    return quota_threads(quota, period);
}

// The tightest quota on the way from this process's cgroup to the root.
unsigned walk_up(std::string root, std::string path, unsigned (*limit)(const std::string&)) {
    unsigned best = 0;
    for (;;) {
        unsigned here = limit(root + path);
        if (here && (!best || here < best)) best = here;
        if (path.empty() || path == "/") break;
        path.erase(path.rfind('/'));
    }
    return best;
}

unsigned cgroup_threads() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    unsigned best = 0;
    auto consider = [&](unsigned n) {
        if (n && (!best || n < best)) best = n;
    };
    while (std::getline(in, line)) {
        auto first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        if (controllers.empty()) {
            consider(walk_up("/sys/fs/cgroup", path, cgroup2_limit));
        } else if (("," + controllers + ",").find(",cpu,") != std::string::npos) {
            for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"})
                consider(walk_up(mount, path, cgroup1_limit));
        }
    }
    return best;
}

}  // namespace

std::size_t shard_count_for(unsigned threads) noexcept {
    if (threads == 0) return 4;
    return std::bit_ceil(std::size_t(threads) * 4);
}

std::size_t shard_count() {
    static const std::size_t count = [] {
        unsigned threads = affinity_threads();
        unsigned quota = cgroup_threads();
        if (quota && (!threads || quota < threads)) threads = quota;
        return shard_count_for(threads);
    }();
    return count;
}

}  // namespace quarn
