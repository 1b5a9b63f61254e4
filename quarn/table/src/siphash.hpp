#pragma once
// SipHash with the round counts as parameters: the variable table hashes
// with SipHash-1-3; the 2-4 variant exists so that tests can check the
// implementation against the published reference outputs.

#include <bit>
#include <cstddef>
#include <cstdint>

namespace quarn {

// The four words of state and the two steps every SipHash is made of.
struct SipState {
    std::uint64_t v0, v1, v2, v3;

    SipState(std::uint64_t k0, std::uint64_t k1) noexcept
        : v0(k0 ^ 0x736f6d6570736575ULL),
          v1(k1 ^ 0x646f72616e646f6dULL),
          v2(k0 ^ 0x6c7967656e657261ULL),
          v3(k1 ^ 0x7465646279746573ULL) {}

    void round() noexcept {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    }

    template <int C>
    void compress(std::uint64_t m) noexcept {
        v3 ^= m;
        for (int i = 0; i < C; ++i) round();
        v0 ^= m;
    }

    // `last` is the final block: the length's low byte on top, the bytes
    // left over below.
    template <int C, int D>
    std::uint64_t finish(std::uint64_t last) noexcept {
        compress<C>(last);
        v2 ^= 0xff;
        for (int i = 0; i < D; ++i) round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

// Streaming: bytes may come in pieces of any size.
template <int C, int D>
class SipHasher {
public:
    SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept : state_(k0, k1) {}
    void write(const void* data, std::size_t len) noexcept;
    void write_u64(std::uint64_t x) noexcept;
    std::uint64_t finish() const noexcept;

private:
    SipState state_;
    std::uint64_t tail_ = 0;
    std::size_t len_ = 0;
};

extern template class SipHasher<1, 3>;
extern template class SipHasher<2, 4>;

}  // namespace quarn
