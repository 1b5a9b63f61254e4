#pragma once
// A batch's rows and results as columns, where each object that crosses into
// C costs more than the rules a row runs (host::kRowsAsColumns). A chunk of
// rows goes in as one column per input, made by a little Python code that
// the host's JIT compiles: floats and ints as arrays of machine numbers,
// texts as codes into a table of the distinct ones, anything else as a list.
// The outputs come back the same way and are zipped into tuples on the
// Python side. A chunk then crosses a handful of objects, whatever its
// length, and values cross as numbers in memory.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "pyref.hpp"
#include "quarn/value.hpp"

namespace velmo {

// Compiles the Python side, once; false with an error set on failure.
bool prepare_columns();

// One column of values packed by the Python side: its kind, and its values
// read in place as the numbers of that kind, or as codes into its table of
// distinct texts (each converted the first time a row uses it), or as the
// objects themselves.
class PackedColumn {
public:
    // Packs `values`, an exact list, with the Python side.
    explicit PackedColumn(PyObject* values);
    // Takes what the Python side packed for `count` values.
    PackedColumn(PyObject* packed, std::size_t count);
    PackedColumn(PackedColumn&&) noexcept = default;

    // The value of one row, converted as its own object would be: the
    // conversion's TypeError raised for it.
    quarn::Value value(std::size_t row);
    // Where its values from `row` on are plain numbers (doubles or int64s),
    // their first; else null.
    const char* plain(std::size_t row, bool& integers) const noexcept {
        integers = kind_ == 'i';
        return kind_ == 'f' || integers ? numbers_ + row * sizeof(std::int64_t) : nullptr;
    }

private:
    void take(PyObject* packed, std::size_t count);

    char kind_ = 'o';  // 'f' doubles, 'i' int64s, 't' text codes, 'o' objects
    Ref values_;        // 'o': a list; else the numbers' bytes
    Ref table_;         // 't': the distinct texts (and None)
    const char* numbers_ = nullptr;
    std::vector<std::optional<quarn::Value>> texts_;  // 't': each converted on first use
};

// A chunk of rows, packed: the rows it takes (the leading ones that are an
// exact tuple or list of `width` values), and each input's column of them.
class InputColumns {
public:
    InputColumns(PyObject* chunk, std::size_t width);
    InputColumns(const InputColumns&) = delete;
    InputColumns& operator=(const InputColumns&) = delete;

    std::size_t count() const noexcept { return count_; }
    // The value of one input in one row, converted as the row's own value
    // would be: the conversion's TypeError raised for that row.
    quarn::Value value(std::size_t column, std::size_t row) { return columns_[column].value(row); }

private:
    std::size_t count_ = 0;
    Ref packed_;
    std::vector<PackedColumn> columns_;
};

// The outputs of a chunk's rows, one column each, in row order.
class OutputColumns {
public:
    OutputColumns(std::size_t outputs, std::size_t rows);

    // The value of one output for the row being read; a vector or a function
    // is converted at once, to fail with its row.
    void put(std::size_t column, const quarn::Value& value);
    // The row read has all its outputs put.
    void end_row();
    // A row that failed: its place holds nothing.
    void skip();
    // The columns as the Python side takes them.
    Ref packed();

private:
    struct Column {
        std::vector<quarn::Value> values;
        std::vector<std::pair<std::size_t, Ref>> objects;  // rows whose value was converted at once
    };
    Ref pack(Column& column);
    Ref pack_objects(Column& column);

    std::vector<Column> columns_;
    std::vector<bool> failed_;
};

// The list of a column's values packed in C: `kind` 'i', 'f' or 'b' with
// `data` the bytes of its int64s, doubles or booleans and `valid` None or a
// byte per row, 0 for a null; 'n' for `valid`'s length of nulls; 't' with
// `data` int32 codes into the list `table`.
Ref unpack_column(char kind, PyObject* data, PyObject* valid, PyObject* table);

// Appends to `results` a tuple per row of the chunk, or the row's exception
// where `failures` ((row, exception) pairs) has one.
void unpack_rows(PyObject* results, PyObject* outputs, PyObject* failures, std::size_t rows);

}  // namespace velmo
