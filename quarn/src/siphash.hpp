#pragma once
// SipHash with the round counts as parameters: the variable table hashes
// with SipHash-1-3; the 2-4 variant exists so that tests can check the
// implementation against the published reference outputs.

#include <cstddef>
#include <cstdint>

namespace quarn {

template <int C, int D>
class SipHasher {
public:
    SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept;
    void write(const void* data, std::size_t len) noexcept;
    void write_u64(std::uint64_t x) noexcept;
    std::uint64_t finish() const noexcept;

private:
    void compress(std::uint64_t m) noexcept;
    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;
    std::size_t len_ = 0;
};

extern template class SipHasher<1, 3>;
extern template class SipHasher<2, 4>;

}  // namespace quarn
