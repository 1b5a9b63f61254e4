#include "identifier_hash.hpp"

#include <cstring>

#include "siphash.hpp"

namespace quarn {
namespace {

static_assert(std::endian::native == std::endian::little, "words are read from text as little-endian");

std::uint64_t word_at(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

}  // namespace

std::uint64_t sip13_identifier(std::uint64_t k0, std::uint64_t k1, IdentifierView id) noexcept {
    SipState state(k0, k1);
    if (id.is_u()) {
        state.compress<1>(0);
        state.compress<1>(id.u());
        return state.finish<1, 3>(std::uint64_t(16) << 56);
    }
    state.compress<1>(1);
    std::string_view text = id.s();
    std::size_t n = text.size(), i = 0;
    for (; i + 8 <= n; i += 8) state.compress<1>(word_at(text.data() + i));
    // The bytes left, then the 0xFF that ends the text; eight of them fill a word.
    std::uint64_t tail = 0;
    std::size_t left = n - i;
    if (left) std::memcpy(&tail, text.data() + i, left);
    tail |= std::uint64_t(0xFF) << (8 * left);
    if (left == 7) {
        state.compress<1>(tail);
        tail = 0;
    }
    std::uint64_t length = 8 + n + 1;
    return state.finish<1, 3>((length << 56) | tail);
}

}  // namespace quarn
