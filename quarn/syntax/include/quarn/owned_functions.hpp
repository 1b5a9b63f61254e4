#pragma once
// The function objects a holder alone keeps alive. A host whose garbage
// collector must be shown every reference an object holds, each exactly
// once, walks a wrapper's tree or a machine's values with these: a cell or
// node that another handle shares is passed over, since the references
// under it are not this holder's alone (and would otherwise be shown twice,
// once by each holder). Only what can reach a function is walked at all.

#include <vector>

#include "quarn/function.hpp"
#include "quarn/tree.hpp"
#include "quarn/value.hpp"

namespace quarn {

// Called on each function found; a nonzero result stops the walk and is
// returned by it.
using FunctionVisit = int (*)(QuarnFunction& function, void* context);

int visit_owned_functions(const Value& value, FunctionVisit visit, void* context);
int visit_owned_functions(const Expr& tree, FunctionVisit visit, void* context);
int visit_owned_functions(const Statement& tree, FunctionVisit visit, void* context);

}  // namespace quarn
