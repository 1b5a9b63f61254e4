#pragma once
// What a table run gives back: a Columns object, a read-only mapping from
// each output's name to its Column, in the order of the outputs, with the
// number of rows and the failures of the rows that failed; and each Column,
// the values of one output in Arrow's layout (column_data.hpp), which it
// shares with every array exported from it. Both export themselves through
// Arrow's PyCapsule interface; a Column of numbers or booleans without a
// null also through the buffer protocol, so that numpy reads it in place.
//
// A Column holds no Python object. A Columns holds its columns and its
// failures, whose tracebacks may lead back to it, and so takes part in
// garbage collection.

#include <memory>
#include <string>
#include <vector>

#include "arrow_export.hpp"
#include "binder.hpp"
#include "pyref.hpp"

namespace velmo::tables {

struct PyColumn {
    PyObject_HEAD
    NamedColumn column;
    Py_ssize_t shape;   // what the buffer protocol points to
    Py_ssize_t stride;
    [[no_unique_address]] host::Built built;
};

struct PyColumns {
    PyObject_HEAD
    Ref columns;   // a dict of the Column objects, by name, in the outputs' order
    Ref failures;  // a dict of the failed rows' exceptions, by row
    std::int64_t rows;
    std::vector<NamedColumn> named;  // the columns in order, for export
    [[no_unique_address]] host::Built built;
};

// A new Columns of the columns made by a run (names and Python keys in the
// outputs' order) and its failures.
Ref make_columns(std::vector<NamedColumn> columns, std::vector<Ref> keys, Ref failures, std::int64_t rows);

// The instance as a built Column or Columns; the refusal of one made around
// its constructor raised otherwise.
PyColumn* column_of(PyObject* self);
PyColumns* columns_of(PyObject* self);

namespace column {
Py_ssize_t length(PyColumn* self);
Ref item(PyColumn* self, PyObject* index);
Ref to_pylist(PyColumn* self);
Ref iterate(PyColumn* self);
Ref null_count(PyColumn* self);
Ref arrow_array(PyColumn* self);
int get_buffer(PyColumn* self, Py_buffer* view, int flags);
void destroy(PyColumn* self) noexcept;
}  // namespace column

namespace columns {
Py_ssize_t length(PyColumns* self);
Ref item(PyColumns* self, PyObject* key);
bool contains(PyColumns* self, PyObject* key);
Ref iterate(PyColumns* self);
Ref view(PyColumns* self, const char* method);  // keys(), values() or items() of the dict
Ref get(PyColumns* self, PyObject* key, PyObject* fallback);
Ref num_rows(PyColumns* self);
Ref failures(PyColumns* self);
Ref arrow_stream(PyColumns* self);
Ref arrow_schema(PyColumns* self);
Ref arrow_array(PyColumns* self);
int traverse(PyColumns* self, visitproc visit, void* arg);
int clear(PyColumns* self);
void destroy(PyColumns* self) noexcept;
}  // namespace columns

}  // namespace velmo::tables
