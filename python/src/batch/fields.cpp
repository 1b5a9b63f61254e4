#include "fields.hpp"

#include <string>

#include "convert.hpp"
#include "errors.hpp"
#include "interrupts.hpp"
#include "recursion_guard.hpp"
#include "sequence.hpp"

namespace velmo {

void Fields::take_pairs(PyObject* pairs, const char* where) {
    if (PyDict_CheckExact(pairs)) return take_dict(pairs);
    int mapping = python_call([&] { return PyObject_HasAttrString(pairs, "keys"); }, -1);
    if (mapping < 0) throw PyErrOccurred{};
    if (mapping) return take_mapping(pairs);
    take_iterable(pairs, where);
}

// The dict's items are all taken, and held, before the first is converted:
// a conversion may run Python code that changes the dict.
void Fields::take_dict(PyObject* dict) {
    bool read = host::for_each_item(dict, [&](PyObject* name, PyObject* value) {
        held_.push(Ref::own(name));
        held_.push(Ref::own(value));
    });
    if (!read) throw PyErrOccurred{};
    for (std::size_t i = 0; i < held_.size(); i += 2) add(held_[i].get(), held_[i + 1].get());
}

void Fields::take_mapping(PyObject* mapping) {
    Ref names = Ref::checked(python_call([&] { return PyMapping_Keys(mapping); }, nullptr));
    Ref iterator = iterator_of(names.get());
    while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref value = Ref::checked(python_call([&] { return PyObject_GetItem(mapping, name.get()); }, nullptr));
        hold_and_add(name.get(), value.get());
    }
    if (PyErr_Occurred()) throw PyErrOccurred{};
}

// Pairs without end stop at Ctrl-C or a deadline, as a batch's rows do.
void Fields::take_iterable(PyObject* pairs, const char* where) {
    constexpr std::size_t kPairsBetweenChecks = 64;
    Ref iterator = iterator_of(pairs);
    auto next = [&] { return Ref::steal(PyIter_Next(iterator.get())); };
    for (std::size_t index = 0; Ref pair = python_call(next, Ref()); ++index) {
        take_pair(pair.get(), index, where);
        if (index % kPairsBetweenChecks == kPairsBetweenChecks - 1) check_interrupt();
    }
    if (PyErr_Occurred()) throw PyErrOccurred{};
}

// A pair is any sequence of two items but a str.
void Fields::take_pair(PyObject* pair, std::size_t index, const char* where) {
    if (PyUnicode_Check(pair) || !PySequence_Check(pair))
        raise_type_error("element " + std::to_string(index) + " is not a (name, value) pair");
    Py_ssize_t size;
    Ref items = counted_items(pair, 2, size);
    if (size < 0)
        PyErr_Format(PyExc_ValueError, "%selement %zu has more than 2 items; a (name, value) pair has 2", where, index);
    else if (size != 2)
        PyErr_Format(PyExc_ValueError, "%selement %zu has %zd items; a (name, value) pair has 2", where, index, size);
    if (size != 2) throw PyErrOccurred{};
    hold_and_add(PyTuple_GET_ITEM(items.get(), 0), PyTuple_GET_ITEM(items.get(), 1));
}

void Fields::hold_and_add(PyObject* name, PyObject* value) {
    held_.push(Ref::own(name));
    held_.push(Ref::own(value));
    add(name, value);
}

// `name` and `value` are held by held_.
void Fields::add(PyObject* name, PyObject* value) {
    quarn::IdentifierView id = extract_identifier_view(name, names_);
    assignments_.push({id, nullptr, texts_.convert(value)});
}

// The table finds the names it bound lately itself; the machine's cache of
// the names Python code reads is left to `get`.
void Fields::bind(PyQuarn& self) { quarn::assign(self.machine, {assignments_.data(), assignments_.size()}); }

void Fields::bind(PyQuarn& self, quarn::Budget& budget) {
    quarn::assign(self.machine, {assignments_.data(), assignments_.size()}, budget);
}

}  // namespace velmo
