#pragma once
// Python sequences walked item by item: the one walker behind list values
// and the lists of trees that builders and runs take. Its refusals are the
// same texts wherever it is used.

#include <cstddef>
#include <vector>

#include "errors.hpp"
#include "host.hpp"
#include "recursion_guard.hpp"

namespace velmo {

// Raises the TypeError that refuses `object` as a sequence, a str included,
// and throws; returns if it may be walked.
void check_sequence(PyObject* object);

// The iterator of `object`, as iter() makes it. Throws with the error set
// when it fails, and also when it comes back with an error set, as CPython's
// iterator of a released memoryview does: the error would otherwise surface
// in some later call, as a SystemError.
Ref iterator_of(PyObject* object);

// How many items to reserve for a sequence about to be walked. Its length is
// only a hint, since any class can lie about it: trusted for a list or a
// tuple, capped for anything else; a failure to read it is ignored.
std::size_t capacity_hint(PyObject* sequence);

// The items of a sequence that should hold exactly `count` of them, as a
// tuple: an exact tuple as it is; anything else through its iterator, at
// most count + 1 items, since a sequence may have no end (a class whose
// __getitem__ never raises), which some hosts cannot interrupt while they
// make a whole tuple of it. `size` is how many it has: when more than
// `count`, its len(), or -1 when it has none (or one its items belie).
// Null unless it has `count`.
Ref counted_items(PyObject* sequence, std::size_t count, Py_ssize_t& size);

// Whether converting an item may run Python code, which may then change an
// exact list being read in place.
enum class ItemCode { None, MayRun };

// The items of a sequence accepted by check_sequence, each converted by
// `convert` (an item the caller need not hold, in; a T out), in the order its
// iterator would give them. An exact list or tuple is read in place. When
// converting an item may run Python code, that code may empty the list and
// free the item while it is being converted: each item is then held for its
// conversion, and the list's length and items read again after each.
template <class T, ItemCode code, class Convert>
std::vector<T> convert_items(PyObject* sequence, Convert&& convert) {
    std::vector<T> items;
    items.reserve(capacity_hint(sequence));
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        if constexpr (code == ItemCode::None) {
            Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
            PyObject** found = size > 0 ? host::fast_items(sequence) : nullptr;
            if (size > 0 && !found) throw_pending_or_system_error();
            for (Py_ssize_t i = 0; i < size; ++i) items.push_back(convert(found[i]));
        } else {
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
                PyObject** found = host::fast_items(sequence);
                if (!found) throw_pending_or_system_error();
                Ref item = Ref::own(found[i]);
                items.push_back(convert(item.get()));
            }
        }
        return items;
    }
    // Any other sequence's iterator is Python code.
    Ref iter = iterator_of(sequence);
    auto next = [&] { return Ref::steal(PyIter_Next(iter.get())); };
    while (Ref item = python_call(next, Ref())) items.push_back(convert(item.get()));
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return items;
}

}  // namespace velmo
