#include "siphash.hpp"

namespace quarn {
namespace {

inline std::uint64_t load_le(const unsigned char* p) noexcept {
    std::uint64_t x = 0;
    for (int i = 7; i >= 0; --i) x = (x << 8) | p[i];
    return x;
}

}  // namespace

template <int C, int D>
void SipHasher<C, D>::write(const void* data, std::size_t len) noexcept {
    auto* p = static_cast<const unsigned char*>(data);
    std::size_t used = len_ % 8;
    len_ += len;
    while (used != 0 && len != 0) {  // finish a partial word first
        tail_ |= std::uint64_t(*p++) << (8 * used);
        --len;
        if (++used == 8) {
            state_.compress<C>(tail_);
            tail_ = 0;
            used = 0;
        }
    }
    for (; len >= 8; len -= 8, p += 8) state_.compress<C>(load_le(p));
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
    SipState state = state_;
    return state.finish<C, D>((std::uint64_t(len_) << 56) | tail_);
}

template class SipHasher<1, 3>;
template class SipHasher<2, 4>;

}  // namespace quarn
