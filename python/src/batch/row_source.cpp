#include "row_source.hpp"

#include "recursion_guard.hpp"
#include "sequence.hpp"

namespace velmo {

RowSource::RowSource(PyObject* rows) {
    if (PyList_CheckExact(rows) || PyTuple_CheckExact(rows))
        rows_ = Ref::own(rows);
    else
        iterator_ = iterator_of(rows);
}

Ref RowSource::next() {
    if (rows_) {
        PyObject* rows = rows_.get();
        Py_ssize_t size = PyList_CheckExact(rows) ? PyList_GET_SIZE(rows) : PyTuple_GET_SIZE(rows);
        if (at_ >= size) return Ref();
        return Ref::own(PyList_CheckExact(rows) ? PyList_GET_ITEM(rows, at_++) : PyTuple_GET_ITEM(rows, at_++));
    }
    Ref row = python_call([&] { return Ref::steal(PyIter_Next(iterator_.get())); }, Ref());
    if (!row && PyErr_Occurred()) throw PyErrOccurred{};
    return row;
}

}  // namespace velmo
