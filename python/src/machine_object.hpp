#pragma once
// Bodies of the Quarn class's constructor, methods and representation.

#include "binder.hpp"
#include "wrappers.hpp"

namespace velmo::machine_object {

PyObject* create(PyTypeObject* type);
PyObject* run(const Signature& sig, PyQuarn* self, PyObject* const* args);
PyObject* get(const Signature& sig, PyQuarn* self, PyObject* const* args);
PyObject* repr(PyQuarn* self);

}  // namespace velmo::machine_object
