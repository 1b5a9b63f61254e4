#pragma once
// Pickling and copying of the three classes. A tree or a machine reduces to
// one of the module's loaders and two arguments: its payload
// (quarn/payload.hpp), the bytes of a flat form that keeps what is shared
// shared, and a tuple of the Python functions the payload names by number.
// Pickle handles those by its own rules: a module-level function by
// reference, a lambda refused with pickle's own error. The classes read
// `builtins` as their module, so pickle cannot find them by name; the
// loaders are functions of the module itself, `velmo._load_tree` and
// `velmo._load_machine`, which pickle finds.
//
// Trees never change, so a copy of one, shallow or deep, is the tree itself;
// a copy of a machine is a new machine with the same limits and variables.

#include "binder.hpp"
#include "pyref.hpp"

namespace velmo::pickling {

// Keeps the module's two loaders for the reductions; false with an error set.
bool keep_loaders(PyObject* module);

using MethodBody = Ref(const Signature& sig, PyObject* self, PyObject* const* args);
using FunctionBody = Ref(const Signature& sig, PyObject* const* args);

// __reduce__ of each class.
MethodBody reduce_expr, reduce_statement, reduce_machine;
// __copy__ and __deepcopy__: the tree itself, or a new machine.
MethodBody same_expr, same_statement, copy_machine;
// The loaders, with the parameters (payload, functions).
FunctionBody load_tree, load_machine;

}  // namespace velmo::pickling
