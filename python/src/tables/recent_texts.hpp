#pragma once
// The values of the last few distinct texts of a column, by their bytes: a
// column of a few distinct texts (a category, a state) gives the same bytes
// row after row, which then make no new value. Longer texts are not kept,
// so that a miss costs little.

#include <array>
#include <cstddef>
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
        if (text.size() > 16) return std::memcmp(known, text.data(), text.size()) == 0;
        for (std::size_t at = 0; at < text.size(); ++at)
            if (known[at] != text[at]) return false;
        return true;
    }

    std::array<quarn::Value, 4> kept_;
    std::array<std::size_t, 4> sizes_{kNone, kNone, kNone, kNone};
    std::size_t next_ = 0;
    std::size_t hit_ = 0;
};

}  // namespace velmo::tables
