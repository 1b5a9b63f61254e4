#pragma once
// The rows of a batch, taken one at a time from any iterable, as a for loop
// would take them. An exact list or tuple is read in place, as its own
// iterator reads it (a list's length again before each item, since Python
// code the rows run may change it), with no call into Python code per row.

#include "pyref.hpp"

namespace velmo {

class RowSource {
public:
    // Raises TypeError ("'int' object is not iterable") and throws for
    // anything that is not iterable.
    explicit RowSource(PyObject* rows);

    // The next row, or null at the end; throws with the iterator's
    // exception set when it raises.
    Ref next();

    // The exact list or tuple read in place, or null.
    PyObject* in_place() const noexcept { return rows_.get(); }

private:
    Ref rows_;      // an exact list or tuple, read in place
    Ref iterator_;  // or the iterator of anything else
    Py_ssize_t at_ = 0;
};

}  // namespace velmo
