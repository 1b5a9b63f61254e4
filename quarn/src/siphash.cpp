#include <bit>
#include <cstring>

#include "siphash.hpp"

namespace quarn {

template <int C, int D>
SipHasher<C, D>::SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

namespace {
inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2,
                      std::uint64_t& v3) noexcept {
    v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
    v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
}

inline std::uint64_t load_le(const unsigned char* p) noexcept {
    std::uint64_t x = 0;
    for (int i = 7; i >= 0; --i) x = (x << 8) | p[i];
    return x;
}
}  // namespace

template <int C, int D>
void SipHasher<C, D>::compress(std::uint64_t m) noexcept {
    v3_ ^= m;
    for (int i = 0; i < C; ++i) sip_round(v0_, v1_, v2_, v3_);
    v0_ ^= m;
}

template <int C, int D>
void SipHasher<C, D>::write(const void* data, std::size_t len) noexcept {
    auto* p = static_cast<const unsigned char*>(data);
    std::size_t used = len_ % 8;
    len_ += len;
    while (used != 0 && len != 0) {  // finish a partial word first
        tail_ |= std::uint64_t(*p++) << (8 * used);
        --len;
        if (++used == 8) {
            compress(tail_);
            tail_ = 0;
            used = 0;
        }
    }
    for (; len >= 8; len -= 8, p += 8) compress(load_le(p));
    for (std::size_t i = 0; i < len; ++i) tail_ |= std::uint64_t(p[i]) << (8 * i);
}

template <int C, int D>
void SipHasher<C, D>::write_u64(std::uint64_t x) noexcept {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(x >> (8 * i));
    write(bytes, 8);
}

template <int C, int D>
std::uint64_t SipHasher<C, D>::finish() const noexcept {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    std::uint64_t b = (std::uint64_t(len_) << 56) | tail_;
    v3 ^= b;
    for (int i = 0; i < C; ++i) sip_round(v0, v1, v2, v3);
    v0 ^= b;
    v2 ^= 0xff;
    for (int i = 0; i < D; ++i) sip_round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

template class SipHasher<1, 3>;
template class SipHasher<2, 4>;

}  // namespace quarn
