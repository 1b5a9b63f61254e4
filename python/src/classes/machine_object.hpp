#pragma once
// Bodies of the Quarn class's constructor, methods and representation.

#include "binder.hpp"
#include "wrappers.hpp"

namespace velmo::machine_object {

// `limits` holds the keyword arguments max_operations and max_value_size,
// null where left out.
Ref create(PyTypeObject* type, PyObject* const* limits);
Ref run(const Signature& sig, PyQuarn* self, PyObject* const* args);
Ref get(const Signature& sig, PyQuarn* self, PyObject* const* args);
Ref update(const Signature& sig, PyQuarn* self, PyObject* const* args);
Ref run_many(const Signature& sig, PyQuarn* self, PyObject* const* args);
// args: stmts, columns, outputs, inputs, errors
Ref run_columns(const Signature& sig, PyQuarn* self, PyObject* const* args);
Ref names(const Signature& sig, PyQuarn* self, PyObject* const* args);
bool contains(PyQuarn* self, PyObject* name);
Py_ssize_t length(PyQuarn* self);
Ref repr(PyQuarn* self);

}  // namespace velmo::machine_object
