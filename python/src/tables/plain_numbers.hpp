#pragma once
// A stretch of a column that holds numbers of one width, float64 or int64,
// laid out evenly and with no null among them: the common column of a
// table, whose rows a table run reads in place, one load a row, with no
// look at the column's type or validity. Anything else is read the general
// way (its reader's value()).

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quarn/value.hpp"

namespace velmo::tables {

struct PlainNumbers {
    const char* first = nullptr;  // row 0 of the stretch; null for a column that is not plain
    std::ptrdiff_t stride = 0;    // bytes from one row to the next
    bool integers = false;        // int64 rather than float64

    explicit operator bool() const noexcept { return first != nullptr; }

    quarn::Value value(std::int64_t row) const noexcept {
        std::uint64_t word;
        std::memcpy(&word, first + stride * row, sizeof word);
        if (integers) return quarn::Value::integer(static_cast<std::int64_t>(word));
        double x;
        std::memcpy(&x, &word, sizeof x);
        return quarn::Value::real(x);
    }
};

}  // namespace velmo::tables
