#include "name_pool.hpp"

#include <array>
#include <limits>
#include <string>

namespace quarn::fuzz {

const Identifier& pooled_name(int index) {
    using namespace std::string_literals;
    static const std::array<Identifier, kNamePool> pool = {
        Identifier::U(0),
        Identifier::U(1),
        Identifier::U(std::numeric_limits<std::uint64_t>::max()),
        Identifier::S(""),
        Identifier::S("x"),
        Identifier::S("1"),
        Identifier::S("n\0\"\\\xC3\xA9\xF0\x9F\x98\x80"s),  // NUL, quote, backslash, é, emoji
        Identifier::S("\xFF\xC0\xAF\xED\xA0\x80"s),         // not UTF-8
    };
    return pool[static_cast<std::size_t>(index) % kNamePool];
}

}  // namespace quarn::fuzz
