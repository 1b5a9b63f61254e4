#include "random_keys.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace quarn {
namespace {

// Reads until `size` bytes are in, retrying what a signal interrupted.
template <class Read>
bool read_fully(void* out, std::size_t size, Read&& read) noexcept {
    auto* p = static_cast<char*>(out);
    while (size > 0) {
        ssize_t n = read(p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// A 64-bit finaliser (splitmix64) that spreads every input bit over the output.
std::uint64_t mix(std::uint64_t x) noexcept {
    x += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

// Not secret, but different for every call, thread and process: the time,
// a counter, the address of this thread's stack and of the code (moved by
// address-space randomisation), and the thread's id.
void from_clock(std::uint64_t (&keys)[2]) noexcept {
    static std::atomic<std::uint64_t> calls{0};
    std::uint64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::uint64_t wall = std::chrono::system_clock::now().time_since_epoch().count();
    std::uint64_t here = reinterpret_cast<std::uintptr_t>(&keys) ^ reinterpret_cast<std::uintptr_t>(&from_clock);
    std::uint64_t thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
    keys[0] = mix(now ^ mix(here ^ calls.fetch_add(1, std::memory_order_relaxed)));
    keys[1] = mix(wall ^ mix(thread + keys[0]));
}

}  // namespace

bool from_getrandom(void* out, std::size_t size) noexcept {
    return read_fully(out, size, [](char* p, std::size_t n) { return getrandom(p, n, 0); });
}

bool from_urandom(void* out, std::size_t size) noexcept {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool filled = read_fully(out, size, [fd](char* p, std::size_t n) { return read(fd, p, n); });
    close(fd);
    return filled;
}

void draw_keys(std::uint64_t (&keys)[2], std::span<const RandomSource> sources) noexcept {
    for (RandomSource source : sources)
        if (source(keys, sizeof keys)) return;
    from_clock(keys);
}

}  // namespace quarn
