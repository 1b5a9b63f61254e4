#include "crc32.hpp"

#include <array>

namespace quarn {
namespace {

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

// tables[0] is the classic byte table; tables[k] advances a byte's
// contribution by k more bytes, so that eight bytes combine in one step.
constexpr Tables make_tables() {
    Tables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
        tables[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
    return tables;
}

constexpr Tables kTables = make_tables();

std::uint32_t byte_at(std::string_view bytes, std::size_t i) noexcept { return static_cast<unsigned char>(bytes[i]); }

}  // namespace

std::uint32_t crc32(std::string_view bytes) noexcept {
    std::uint32_t c = 0xFFFFFFFFu;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint32_t low = c ^ (byte_at(bytes, i) | byte_at(bytes, i + 1) << 8 | byte_at(bytes, i + 2) << 16 |
                                 byte_at(bytes, i + 3) << 24);
        c = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
            kTables[4][low >> 24] ^ kTables[3][byte_at(bytes, i + 4)] ^ kTables[2][byte_at(bytes, i + 5)] ^
            kTables[1][byte_at(bytes, i + 6)] ^ kTables[0][byte_at(bytes, i + 7)];
    }
    for (; i < bytes.size(); ++i) c = (c >> 8) ^ kTables[0][(c ^ byte_at(bytes, i)) & 0xFF];
    return c ^ 0xFFFFFFFFu;
}

}  // namespace quarn
