#include "utf8_check.hpp"

#include <cstdint>
#include <cstring>

namespace velmo::tables {
namespace {

// The length of the sequence that starts at `p` (at most `left` bytes), or 0
// when it is not a valid one.
std::size_t sequence(const unsigned char* p, std::size_t left) noexcept {
    unsigned char c = p[0];
    auto cont = [&](std::size_t i) { return i < left && (p[i] & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        if (c == 0xE0 && p[1] < 0xA0) return 0;   // overlong
        if (c == 0xED && p[1] >= 0xA0) return 0;  // a surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        if (c == 0xF0 && p[1] < 0x90) return 0;   // overlong
        if (c == 0xF4 && p[1] >= 0x90) return 0;  // past U+10FFFF
        return 4;
    }
    return 0;
}

}  // namespace

// Eight bytes at a time while they are ASCII, the common text.
bool is_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t size = text.size(), i = 0;
    while (i < size) {
        if (size - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t n = sequence(p + i, size - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

}  // namespace velmo::tables
