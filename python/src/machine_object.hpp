#pragma once
// Bodies of the Quarn class's constructor, methods and representation.

#include "binder.hpp"
#include "wrappers.hpp"

namespace velmo::machine_object {

PyObject* create(PyTypeObject* type);
PyObject* run(const Signature& sig, PyQuarn* self, PyObject** args);
PyObject* get(const Signature& sig, PyQuarn* self, PyObject** args);
PyObject* repr(PyQuarn* self);

// The instance check of every Quarn method.
PyQuarn* as_quarn(PyObject* self);

}  // namespace velmo::machine_object
