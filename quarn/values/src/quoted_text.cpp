// Text inside debug forms: double quotes around it, with escapes for quotes,
// backslashes and control characters, and \u{...} for anything unprintable.

#include <charconv>

#include "quarn/debug.hpp"
#include "quarn/meter.hpp"

namespace quarn {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_hex(std::string& out, std::uint32_t c) {
    char buf[8];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, c, 16);
    out.append(buf, end);
}

// The length of the UTF-8 sequence a lead byte starts; 0 for a byte that
// cannot start one.
int sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >> 5 == 6) return 2;
    if (lead >> 4 == 14) return 3;
    if (lead >> 3 == 30) return 4;
    return 0;
}

// Decodes one UTF-8 sequence; malformed bytes decode as U+FFFD one at a time.
char32_t next_code_point(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    int len = sequence_length(byte(i));
    if (len == 0 || i + len > text.size()) {
        ++i;
        return kReplacement;
    }
    char32_t c = len == 1 ? byte(i) : byte(i) & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    i += len;
    return c;
}

const char* escape_of(char32_t c) {
    switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    case '\0': return "\\0";
    default: return nullptr;
    }
}

}  // namespace

void debug_quoted(std::string& out, std::string_view text) {
    // A long text is printed in stretches, with a look for an interruption
    // between two: printing a text of gigabytes takes seconds.
    constexpr std::size_t kStretch = std::size_t{1} << 16;
    out += '"';
    std::size_t i = 0, next_check = kStretch;
    while (i < text.size()) {
        if (i >= next_check) {
            check_interrupt();
            next_check = i + kStretch;
        }
        std::size_t start = i;
        char32_t c = next_code_point(text, i);
        bool genuine_replacement = c == kReplacement && i - start == 3;
        if (const char* escape = escape_of(c)) {
            out += escape;
        } else if ((c != kReplacement && is_printable(c)) || genuine_replacement) {
            out.append(text.substr(start, i - start));
        } else {
            out += "\\u{";
            append_hex(out, c);
            out += '}';
        }
    }
    out += '"';
}

}  // namespace quarn
