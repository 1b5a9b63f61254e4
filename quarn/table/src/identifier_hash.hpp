#pragma once
// The bytes an identifier feeds to a hash: its variant's index as a 64-bit
// little-endian word, then the number as such a word, or the text's bytes
// followed by 0xFF (a byte no UTF-8 text holds, so "ab" + "c" and "a" + "bc"
// never feed the same bytes).

#include <cstdint>

#include "quarn/identifier.hpp"

namespace quarn {

// Through any streaming hasher, byte by byte as described above.
template <class Hasher>
void hash_identifier(Hasher& h, IdentifierView id) noexcept {
    h.write_u64(id.is_u() ? 0 : 1);
    if (id.is_u()) {
        h.write_u64(id.u());
        return;
    }
    std::string_view s = id.s();
    h.write(s.data(), s.size());
    const unsigned char end = 0xFF;
    h.write(&end, 1);
}

// SipHash-1-3 of those bytes in one pass, word by word: what every lookup
// pays, so it is written out for the two shapes an identifier has.
std::uint64_t sip13_identifier(std::uint64_t k0, std::uint64_t k1, IdentifierView id) noexcept;

}  // namespace quarn
