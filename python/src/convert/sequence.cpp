#include "sequence.hpp"

#include <algorithm>
#include <vector>

#include "error_text.hpp"

namespace velmo {
namespace {

// The most items reserved ahead for a sequence whose length may be a lie: a
// length that claims more only costs the vector's usual growth.
constexpr Py_ssize_t kMaxUntrustedHint = 64;

}  // namespace

void check_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) raise_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) raise_type_error(mismatch_text(object, "Sequence"));
}

Ref iterator_of(PyObject* object) {
    Ref iterator = Ref::checked(python_call([&] { return PyObject_GetIter(object); }, nullptr));
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return iterator;
}

std::size_t capacity_hint(PyObject* sequence) {
    if (PyList_CheckExact(sequence)) return static_cast<std::size_t>(PyList_GET_SIZE(sequence));
    if (PyTuple_CheckExact(sequence)) return static_cast<std::size_t>(PyTuple_GET_SIZE(sequence));
    Py_ssize_t length = python_call([&] { return PySequence_Size(sequence); }, -1);
    if (length < 0) {
        discard_error();
        return 0;
    }
    return static_cast<std::size_t>(std::min(length, kMaxUntrustedHint));
}

Ref counted_items(PyObject* sequence, std::size_t count, Py_ssize_t& size) {
    if (PyTuple_CheckExact(sequence)) {
        size = PyTuple_GET_SIZE(sequence);
        return Ref::own(sequence);
    }
    std::vector<Ref> items;
    Ref iterator = iterator_of(sequence);
    auto next = [&] { return Ref::steal(PyIter_Next(iterator.get())); };
    while (items.size() <= count) {
        Ref item = python_call(next, Ref());
        if (!item) break;
        items.push_back(std::move(item));
    }
    if (PyErr_Occurred()) throw PyErrOccurred{};
    size = static_cast<Py_ssize_t>(items.size());
    if (items.size() > count) {  // its length, unless it has none or tells one that its items belie
        size = python_call([&] { return PySequence_Size(sequence); }, -1);
        if (size < 0) discard_error();
        if (static_cast<std::size_t>(size) <= count) size = -1;
    }
    if (items.size() != count) return Ref();
    Ref tuple = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return tuple;
}

}  // namespace velmo
