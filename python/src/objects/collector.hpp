#pragma once
// What CPython's cyclic garbage collector is shown of the three classes'
// instances. A bound Python function that refers back to the machine or the
// statement holding it (a callback closing over its machine, the pattern of
// re-entrant programs) makes a cycle that reference counts alone never free.
//
// Each instance shows the Python functions that it alone keeps alive, each
// once (quarn/owned_functions.hpp): a tree or value shared with another
// holder is passed over, so that no reference is ever shown twice, which
// would let the collector free an object still in use. A cycle through a
// shared part is therefore not collected; a cycle through parts the
// instance alone holds is.
//
// PyPy's C-API layer never calls these: there such cycles are not collected
// (tools/gc_probe shows it with a bare extension type).

#include "host.hpp"

namespace velmo {

int traverse_quarn(PyObject* self, visitproc visit, void* arg);
int traverse_statement(PyObject* self, visitproc visit, void* arg);
int traverse_expr(PyObject* self, visitproc visit, void* arg);

// Drop what the instance holds that can reach a Python function: a
// machine's bindings to such values become null, a tree is replaced by one
// that holds nothing. An instance the collector clears is about to be freed;
// one that lives on, reached by a finaliser, stays safe to use.
int clear_quarn(PyObject* self);
int clear_statement(PyObject* self);
int clear_expr(PyObject* self);

}  // namespace velmo
