#pragma once
// Bodies of the static builders of Expr and Statement. Each receives its
// arguments bound to its parameters, converts them in parameter order and
// returns the new Expr or Statement. Subtrees are shared, never copied: a
// builder costs the same whatever the size of the trees it is given.

#include "binder.hpp"
#include "pyref.hpp"

namespace velmo::builders {

using Body = Ref(const Signature& sig, PyObject* const* args);

Body literal, ident, binary_op, equals, not_, greater_than, less_than, call, vector;
Body let, if_, fn;

}  // namespace velmo::builders
