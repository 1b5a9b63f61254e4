#include "edge_cases.hpp"

#include <array>
#include <bit>
#include <limits>

namespace quarn::fuzz {
namespace {

using I = std::numeric_limits<std::int64_t>;
using D = std::numeric_limits<double>;

constexpr std::int64_t kInts[] = {
    I::min(), I::max(), I::min() + 1, I::max() - 1, 0, -1, 1, 2, -2,
    std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::min(),
    std::int64_t(1) << 32, std::int64_t(1) << 53, (std::int64_t(1) << 53) + 1, -(std::int64_t(1) << 53) - 1,
    10'000'000'000'000'000, 9'999'999'999'999'999, I::max() / 2,
};

const double kReals[] = {
    D::quiet_NaN(), -D::quiet_NaN(), std::bit_cast<double>(std::uint64_t(0x7FF0000000000001)),
    std::bit_cast<double>(std::uint64_t(0xFFFFFFFFFFFFFFFF)), D::infinity(), -D::infinity(),
    0.0, -0.0, D::denorm_min(), -D::denorm_min(), std::bit_cast<double>(std::uint64_t(0x000FFFFFFFFFFFFF)),
    D::min(), D::max(), -D::max(), D::epsilon(), 1e16, 9999999999999998.0, 1e-4, 9.999999999999999e-5,
    0.1, 0.5, 1.0, -1.0, 9223372036854775808.0, -9223372036854775808.0, 9007199254740992.0,
    9007199254740994.0, 123456789.125, 1e300, 1e-300, 5e-324, 1.7976931348623157e308,
};

constexpr std::string_view kTexts[] = {
    {"", 0},
    {"\0", 1},
    {"a\0b", 3},
    "\xFF",
    "\xC3\x28",                  // bad continuation
    "\xED\xA0\x80",              // surrogate
    "\xF4\x90\x80\x80",          // past U+10FFFF
    "\xC0\xAF",                  // overlong '/'
    "\xE0\x80\xAF",              // overlong '/', three bytes
    "\xEF\xBF\xBD",              // U+FFFD itself
    "\xF0\x9F\x98\x80",          // emoji
    "\"\\\n\r\t",                // escapes
    "\x7F\x1B\x01",              // control characters
    "\xE2\x80\x8B",              // zero-width space
    "\xCD\xB8",                  // unassigned U+0378
    "\xC3\xA9",                  // é
    "\xF3\xA0\x80\x81",          // tag character
    "\xC2\xAD",                  // soft hyphen
    "\xE2\x80\xAE",              // right-to-left override
    "\xF0\x9D\x84",              // truncated four-byte sequence
    "\x80",                      // lone continuation byte
    "\xF8\x88\x80\x80\x80",      // five-byte form
    "x",
    "1",
    "NaN",
    "\\u{0}",
};

// The length of a well-formed sequence starting at text[i], or 0.
std::size_t utf8_sequence(std::string_view text, std::size_t i) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = b(i);
    if (lead < 0x80) return 1;
    std::size_t len = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (len == 0 || i + len > text.size()) return 0;
    for (std::size_t k = 1; k < len; ++k)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    unsigned char second = b(i + 1);
    if (lead == 0xE0 && second < 0xA0) return 0;  // overlong
    if (lead == 0xED && second > 0x9F) return 0;  // surrogate
    if (lead == 0xF0 && second < 0x90) return 0;  // overlong
    if (lead == 0xF4 && second > 0x8F) return 0;  // past U+10FFFF
    return len;
}

}  // namespace

std::int64_t edge_int(std::uint8_t index) { return kInts[index % std::size(kInts)]; }

double edge_real(std::uint8_t index) { return kReals[index % std::size(kReals)]; }

std::string_view edge_text(std::uint8_t index) { return kTexts[index % std::size(kTexts)]; }

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len = utf8_sequence(text, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

}  // namespace quarn::fuzz
