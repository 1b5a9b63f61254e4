#pragma once
// The `columns` of a table run and the inputs bound from them, checked
// before any row runs: each input's column found (KeyError naming a name
// that none has), every column of a mapping of one length (ValueError), and
// every bound column of a type whose values bind (TypeError naming the
// column and its type). The rows are then read a segment at a time: a run of
// rows in which no column moves to another of its chunks (a record batch, an
// Arrow array of a chunked column, a packed chunk of a Python sequence).
//
// A table is any of: an object with __arrow_c_stream__ (a table, a reader,
// a data frame), read one record batch at a time; an object with
// __arrow_c_array__ whose array is a struct (a record batch); a mapping of
// names to columns, each an object with __arrow_c_array__ or
// __arrow_c_stream__, a one-dimensional buffer of numbers or booleans, or
// any sequence, whose items convert as Expr.literal converts its argument.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch.hpp"
#include "plain_numbers.hpp"
#include "quarn/identifier.hpp"
#include "quarn/value.hpp"

namespace velmo::tables {

class ArrowReader;
class Batches;
class ColumnSource;

class TableInput {
public:
    // `inputs`, when given, names the columns to bind, else every column.
    TableInput(PyObject* columns, const std::optional<BatchNames>& inputs);
    ~TableInput();
    TableInput(const TableInput&) = delete;
    TableInput& operator=(const TableInput&) = delete;

    // The names the inputs bind, in order.
    const std::vector<quarn::Identifier>& names() const noexcept { return names_; }

    // Moves to the next segment; false when the rows have ended. Throws with
    // the error set when a producer fails (a stream's next batch, invalid
    // Arrow data).
    bool next_segment();
    std::int64_t segment_rows() const noexcept { return rows_; }
    // The value of an input in a row of the segment. Throws BadText for a
    // text that is not UTF-8, PyErrOccurred for an item of a sequence that
    // does not convert.
    quarn::Value value(std::size_t input, std::int64_t row);
    // An input's values through the segment, from its first row, when they
    // are plain (plain_numbers.hpp): then value() of a row is their value.
    PlainNumbers plain(std::size_t input) const noexcept;
    // The reader of an input's texts through the segment, when they are
    // plain utf8 texts: its utf8(from + row) is value() of a row. Else null.
    ArrowReader* plain_texts(std::size_t input, std::int64_t& from) const noexcept;

private:
    void from_table(PyObject* columns, const std::optional<BatchNames>& inputs);
    void from_mapping(PyObject* columns, const std::optional<BatchNames>& inputs);

    std::vector<quarn::Identifier> names_;
    std::vector<std::unique_ptr<ColumnSource>> sources_;  // a mapping's, one per input
    std::unique_ptr<Batches> batches_;                     // or a table's record batches
    std::int64_t rows_ = 0;
    std::int64_t left_ = 0;  // of a mapping's rows, past this segment
    bool started_ = false;
};

// A column's name as messages give it: 'text' or a number.
std::string column_label(const quarn::IdentifierView& name);

}  // namespace velmo::tables
