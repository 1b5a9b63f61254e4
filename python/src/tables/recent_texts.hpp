#pragma once
// The values of the last few distinct texts of a column, by their bytes: a
// column of a few distinct texts (a category, a state) gives the same bytes
// row after row, which then make no new value. Longer texts are not kept,
// so that a miss costs little.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "quarn/value.hpp"

namespace velmo::tables {

class RecentTexts {
public:
    static constexpr std::size_t kLongest = 256;  // bytes

    // The value kept for these bytes, or null. The one found last is tried
    // first; a text's length, kept beside it, rules most others out at once,
    // and short texts compare without a call.
    const quarn::Value* find(std::string_view text) noexcept {
        if (same(hit_, text)) return &kept_[hit_];
        for (std::size_t i = 0; i < kept_.size(); ++i) {
            if (!same(i, text)) continue;
            hit_ = i;
            return &kept_[i];
        }
        return nullptr;
    }
    // Keeps a text's value in place of the oldest, if it is short.
    void keep(const quarn::Value& value) {
        if (value.as_string().size() > kLongest) return;
        kept_[next_] = value;
        sizes_[next_] = value.as_string().size();
        next_ = (next_ + 1) % kept_.size();
    }

private:
    static constexpr std::size_t kNone = ~std::size_t{0};  // the size of a slot with no text yet

    bool same(std::size_t i, std::string_view text) const noexcept {
        if (sizes_[i] != text.size()) return false;
        const char* known = kept_[i].as_string().data();
        std::size_t n = text.size();
        if (n > 16) return std::memcmp(known, text.data(), n) == 0;
        if (n >= 8) return same_two<std::uint64_t>(known, text.data(), n);
        if (n >= 4) return same_two<std::uint32_t>(known, text.data(), n);
        return n == 0 || (known[0] == text[0] && known[n / 2] == text[n / 2] && known[n - 1] == text[n - 1]);
    }
    // The first and the last word of `n` bytes, where sizeof(Word) <= n <= 2 * sizeof(Word).
    template <class Word>
    static bool same_two(const char* a, const char* b, std::size_t n) noexcept {
        Word a0, a1, b0, b1;
        std::memcpy(&a0, a, sizeof a0);
        std::memcpy(&b0, b, sizeof b0);
        std::memcpy(&a1, a + n - sizeof a1, sizeof a1);
        std::memcpy(&b1, b + n - sizeof b1, sizeof b1);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }

    std::array<quarn::Value, 4> kept_;
    std::array<std::size_t, 4> sizes_{kNone, kNone, kNone, kNone};
    std::size_t next_ = 0;
    std::size_t hit_ = 0;
};

}  // namespace velmo::tables
