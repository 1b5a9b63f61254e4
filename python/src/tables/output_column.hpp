#pragma once
// One output of a table run, built row by row into Arrow's layout
// (column_data.hpp). Its type follows its values: the first non-null value
// of a row that succeeded sets it, and a null fits any column. Integers and
// floats make a float64 column, the integers converted to the nearest
// double as arithmetic converts them; any other mixture does not fit, nor
// does a vector or a function, in any column.

#include <cstdint>
#include <limits>
#include <memory>

#include "column_data.hpp"
#include "quarn/value.hpp"

namespace velmo::tables {

class OutputColumn {
    static constexpr std::size_t kNarrowBytes = std::numeric_limits<std::int32_t>::max();

public:
    OutputColumn() : data_(std::make_shared<ColumnData>()) {}

    // Whether the value can be appended: a null, or a boolean, number or
    // text of the kind the column holds so far, if any.
    bool fits(const quarn::Value& value) const noexcept {
        switch (value.kind()) {
        case quarn::Kind::Null: return true;
        case quarn::Kind::Number:
            return data_->kind == ColumnKind::Null || data_->kind == ColumnKind::Int || data_->kind == ColumnKind::Float;
        case quarn::Kind::Boolean: return data_->kind == ColumnKind::Null || data_->kind == ColumnKind::Bool;
        case quarn::Kind::String: return data_->kind == ColumnKind::Null || data_->kind == ColumnKind::Text;
        default: return false;
        }
    }

    // Appends a value that fits: one of the kind the column holds, the
    // common case, at once.
    void append(const quarn::Value& value) {
        ColumnData& d = *data_;
        switch (d.kind) {
        case ColumnKind::Float:
            if (value.is_number()) return valid(), d.values.push(value.to_double());
            break;
        case ColumnKind::Int:
            if (value.is_int()) return valid(), d.values.push(value.as_int());
            break;
        case ColumnKind::Text:
            if (value.kind() == quarn::Kind::String) return append_text(value.as_string()), valid();
            break;
        default: break;
        }
        append_other(value);
    }
    void append_null();
    // Room for `rows` more rows, where their count is known ahead.
    void reserve(std::int64_t rows);

    // What the column holds so far: "Number", "Boolean", "String", or
    // null while it holds nulls alone.
    const char* kind_name() const noexcept;

    // The finished column; the builder is left empty.
    std::shared_ptr<ColumnData> finish();

private:
    void append_other(const quarn::Value& value);
    void become(ColumnKind kind);
    void to_floats();
    // Its offsets widen once its bytes pass what 32 bits can count.
    void append_text(std::string_view text) {
        ColumnData& d = *data_;
        d.text.append(text.data(), text.size());
        if (!d.large && d.text.size() <= kNarrowBytes) return d.offsets.push(static_cast<std::int32_t>(d.text.size()));
        append_wide_offset();
    }
    void append_wide_offset();
    void to_large_offsets();
    // The row being appended is not null.
    void valid() {
        if (!data_->validity.empty()) set_valid(data_->length);
        ++data_->length;
    }
    void set_valid(std::int64_t row);

    std::shared_ptr<ColumnData> data_;
    std::int64_t expected_ = 0;  // rows, as far as the table has told
};

}  // namespace velmo::tables
