#include "output_column.hpp"

#include <limits>

namespace velmo::tables {

const char* OutputColumn::kind_name() const noexcept {
    switch (data_->kind) {
    case ColumnKind::Int:
    case ColumnKind::Float: return "Number";
    case ColumnKind::Bool: return "Boolean";
    case ColumnKind::Text: return "String";
    default: return nullptr;
    }
}

void OutputColumn::set_valid(std::int64_t row) {
    data_->validity.resize(static_cast<std::size_t>(row / 8 + 1));
    data_->validity.data()[row >> 3] = static_cast<char>(data_->validity.data()[row >> 3] | (1 << (row & 7)));
}

// A text column's texts take what they take; their offsets are known.
// A column that has no kind yet keeps the count for when it has one.
void OutputColumn::reserve(std::int64_t rows) {
    if (rows <= 0) return;
    ColumnData& d = *data_;
    expected_ = d.length + rows;
    auto more = static_cast<std::size_t>(rows);
    if (d.kind == ColumnKind::Text)
        d.offsets.reserve(more * (d.large ? 8 : 4));
    else if (d.kind != ColumnKind::Null)
        d.values.reserve(more * (d.kind == ColumnKind::Bool ? 1 : 8));
}

// The first null makes the bitmap, every row before it valid.
void OutputColumn::append_null() {
    ColumnData& d = *data_;
    if (d.validity.empty()) {
        for (std::int64_t row = 0; row < d.length; ++row) set_valid(row);
    }
    d.validity.resize(static_cast<std::size_t>(d.length / 8 + 1));
    switch (d.kind) {
    case ColumnKind::Int:
    case ColumnKind::Float: d.values.push(std::int64_t{0}); break;
    case ColumnKind::Bool: d.values.push(char{0}); break;
    case ColumnKind::Text: append_text({}); break;
    default: break;
    }
    ++d.length;
    ++d.null_count;
}

// The rows so far, all null, get values of the new kind.
void OutputColumn::become(ColumnKind kind) {
    ColumnData& d = *data_;
    d.kind = kind;
    auto rows = static_cast<std::size_t>(d.length);
    reserve(expected_ - d.length);
    if (kind == ColumnKind::Text)
        d.offsets.resize((rows + 1) * sizeof(std::int32_t));
    else
        d.values.resize(rows * (kind == ColumnKind::Bool ? 1 : 8));
}

void OutputColumn::to_floats() {
    ColumnData& d = *data_;
    for (std::int64_t row = 0; row < d.length; ++row) {
        auto n = d.values.at<std::int64_t>(static_cast<std::size_t>(row));
        auto x = static_cast<double>(n);
        std::memcpy(d.values.data() + row * 8, &x, 8);
    }
    d.kind = ColumnKind::Float;
}

void OutputColumn::append_other(const quarn::Value& value) {
    ColumnData& d = *data_;
    if (value.kind() == quarn::Kind::Null) return append_null();
    if (d.kind == ColumnKind::Null)
        become(value.is_int()     ? ColumnKind::Int
               : value.is_number() ? ColumnKind::Float
               : value.kind() == quarn::Kind::Boolean ? ColumnKind::Bool
                                                     : ColumnKind::Text);
    if (value.is_number() && !value.is_int() && d.kind == ColumnKind::Int) to_floats();
    switch (d.kind) {
    case ColumnKind::Int: d.values.push(value.as_int()); break;
    case ColumnKind::Float: d.values.push(value.to_double()); break;
    case ColumnKind::Bool: d.values.push(static_cast<char>(value.as_bool())); break;
    default: append_text(value.as_string()); break;
    }
    valid();
}

void OutputColumn::append_wide_offset() {
    ColumnData& d = *data_;
    if (!d.large) to_large_offsets();
    d.offsets.push(static_cast<std::int64_t>(d.text.size()));
}

void OutputColumn::to_large_offsets() {
    ColumnData& d = *data_;
    Bytes wide;
    std::size_t count = d.offsets.size() / sizeof(std::int32_t);
    wide.reserve(count * sizeof(std::int64_t));
    for (std::size_t i = 0; i < count; ++i) wide.push(static_cast<std::int64_t>(d.offsets.at<std::int32_t>(i)));
    d.offsets = std::move(wide);
    d.large = true;
}

// A boolean column also gets its values as a bitmap, as Arrow lays them out.
std::shared_ptr<ColumnData> OutputColumn::finish() {
    ColumnData& d = *data_;
    if (d.kind == ColumnKind::Text && d.offsets.empty()) d.offsets.push(std::int32_t{0});
    if (d.kind == ColumnKind::Bool) {
        d.bits.resize(static_cast<std::size_t>(d.length / 8 + 1));
        for (std::int64_t row = 0; row < d.length; ++row)
            if (d.values.data()[row]) d.bits.data()[row >> 3] = static_cast<char>(d.bits.data()[row >> 3] | (1 << (row & 7)));
    }
    if (d.kind == ColumnKind::Null) d.null_count = d.length;
    // Arrow's readers want a buffer there even for no values.
    d.values.reserve(8);
    d.bits.reserve(8);
    d.text.reserve(8);
    return std::exchange(data_, std::make_shared<ColumnData>());
}

}  // namespace velmo::tables
