#pragma once
// Bodies of the static builders; each receives its bound arguments.

#include "binder.hpp"

namespace velmo::builders {

#define VELMO_BUILDER(name) PyObject* name(const Signature& sig, PyObject** args)
VELMO_BUILDER(literal);
VELMO_BUILDER(ident);
VELMO_BUILDER(binary_op);
VELMO_BUILDER(equals);
VELMO_BUILDER(not_);
VELMO_BUILDER(greater_than);
VELMO_BUILDER(less_than);
VELMO_BUILDER(call);
VELMO_BUILDER(vector);
VELMO_BUILDER(let);
VELMO_BUILDER(if_);
VELMO_BUILDER(fn);
#undef VELMO_BUILDER

}  // namespace velmo::builders
