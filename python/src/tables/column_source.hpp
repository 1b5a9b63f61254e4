#pragma once
// One column of a mapping given to a table run, and where reading it has
// got to. A column comes as one of four things: Arrow arrays (one, or the
// chunks of a stream, each checked when the column is taken), a buffer of
// numbers or booleans, or any other sequence, whose items convert as
// Expr.literal converts its argument. A sequence is read as it is when the
// column is taken (a copy of its items, whatever a bound function does to
// it later); where each object that crosses into C costs more than a row's
// rules (host::kRowsAsColumns), it goes in packed chunks (columns.hpp).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow_owned.hpp"
#include "arrow_reader.hpp"
#include "arrow_type.hpp"
#include "arrow_view.hpp"
#include "columns.hpp"
#include "pyref.hpp"
#include "recent_texts.hpp"
#include "strided.hpp"

namespace velmo::tables {

class ColumnSource {
public:
    // `label` names the column in errors ('x'). Raises TypeError for an
    // object that is no column or holds values of a type that does not
    // bind; ValueError for invalid Arrow data.
    ColumnSource(PyObject* column, std::string label);
    ~ColumnSource();
    ColumnSource(const ColumnSource&) = delete;
    ColumnSource& operator=(const ColumnSource&) = delete;

    const std::string& label() const noexcept { return label_; }
    std::int64_t length() const noexcept { return length_; }

    // Rows left in the chunk being read, moving to the next chunk first when
    // this one is done; 0 at the end.
    std::int64_t rows_in_chunk();
    void advance(std::int64_t rows) noexcept { position_ += rows; }

    // The value `row` rows past where reading has got to.
    quarn::Value value(std::int64_t row) {
        std::int64_t at = position_ + row;
        switch (from_) {
        case From::Arrow: return reader_->value(at);
        case From::Strided: return strided_->value(at);
        case From::Packed: return packed_->value(static_cast<std::size_t>(at));
        default: return object(at);
        }
    }

    // The values from `row` rows past where reading has got to, to the end
    // of the chunk, when they are plain.
    PlainNumbers plain(std::int64_t row) const noexcept {
        if (from_ == From::Arrow) return reader_->plain(position_ + row);
        if (from_ == From::Strided) return strided_->plain(position_ + row);
        if (from_ != From::Packed) return {};
        bool integers = false;
        const char* first = packed_->plain(static_cast<std::size_t>(position_ + row), integers);
        return {first, static_cast<std::ptrdiff_t>(sizeof(std::int64_t)), integers};
    }

    // The reader of its chunk, from `row` rows past where reading has got
    // to, when the chunk holds plain texts; else null.
    ArrowReader* plain_texts(std::int64_t row, std::int64_t& from) const noexcept {
        if (from_ != From::Arrow || !reader_->plain_texts()) return nullptr;
        from = position_ + row;
        return reader_.get();
    }

private:
    enum class From : std::uint8_t { Arrow, Strided, Objects, Packed };

    void take_arrow(PyObject* column, bool stream);
    void take_stream(PyObject* column);
    bool take_buffer(PyObject* column);
    void take_sequence(PyObject* column);
    void check_type();
    void open_chunk();
    quarn::Value object(std::int64_t at);

    From from_ = From::Objects;
    std::string label_;
    std::int64_t length_ = 0;

    ArrowType type_;                     // Arrow: the chunks' type
    std::vector<OwnedArray> arrays_;     // Arrow: the chunks
    std::vector<ArrayView> views_;       // Arrow: each chunk checked
    std::unique_ptr<ArrowReader> reader_;
    std::optional<Py_buffer> buffer_;    // Strided: held until the column goes
    std::optional<StridedReader> strided_;
    Ref items_;                          // Objects, Packed: the sequence's items as they were
    std::optional<PackedColumn> packed_;
    RecentTexts recent_;                 // Objects: the last few distinct texts

    std::size_t chunk_ = 0;          // the chunk being read
    std::int64_t chunk_start_ = 0;   // its first row in the column
    std::int64_t chunk_length_ = 0;
    std::int64_t position_ = 0;      // within the chunk
    bool opened_ = false;
};

// Raises the TypeError refusing a column of a type that does not bind.
[[noreturn]] void refuse_type(const std::string& label, const std::string& type);
// Raises the ValueError of invalid Arrow data.
[[noreturn]] void refuse_arrow(const std::string& where, const BadArrow& bad);
// The error of a stream whose call failed with `code`: its last error's text.
[[noreturn]] void raise_stream_error(ArrowArrayStream& stream, int code);

}  // namespace velmo::tables
