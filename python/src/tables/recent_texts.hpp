#pragma once
// The values of the last few distinct texts of a column, by their bytes: a
// column of a few distinct texts (a category, a state) gives the same bytes
// row after row, which then make no new value. Longer texts are not kept,
// so that a miss costs little.

#include <array>
#include <cstddef>
#include <string_view>

#include "quarn/value.hpp"

namespace velmo::tables {

class RecentTexts {
public:
    static constexpr std::size_t kLongest = 256;  // bytes

    // The value kept for these bytes, or null.
    const quarn::Value* find(std::string_view text) const noexcept {
        for (const quarn::Value& kept : kept_)
            if (kept.kind() == quarn::Kind::String && kept.as_string() == text) return &kept;
        return nullptr;
    }
    // Keeps a text's value in place of the oldest, if it is short.
    void keep(const quarn::Value& value) {
        if (value.as_string().size() > kLongest) return;
        kept_[next_] = value;
        next_ = (next_ + 1) % kept_.size();
    }

private:
    std::array<quarn::Value, 4> kept_;
    std::size_t next_ = 0;
};

}  // namespace velmo::tables
