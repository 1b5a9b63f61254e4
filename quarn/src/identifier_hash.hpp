#pragma once
// The bytes an identifier feeds to a hash: its variant's index as a 64-bit
// little-endian word, then the number as such a word, or the text's bytes
// followed by 0xFF (a byte no UTF-8 text holds, so "ab" + "c" and "a" + "bc"
// never feed the same bytes).

#include "quarn/identifier.hpp"

namespace quarn {

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

}  // namespace quarn
