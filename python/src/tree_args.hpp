#pragma once
// Arguments that are trees or lists of trees, taken out of their Expr and
// Statement objects: shared, never copied, since trees never change.

#include <vector>

#include "pyref.hpp"
#include "quarn/tree.hpp"
#include "wrappers.hpp"

namespace velmo {

inline quarn::Expr expr_arg(PyObject* object) { return expr_wrapper(object)->expr; }
inline quarn::Statement statement_arg(PyObject* object) { return statement_wrapper(object)->statement; }
std::vector<quarn::Expr> expr_list_arg(PyObject* object);
quarn::Program statement_list_arg(PyObject* object);

// The Statement objects themselves, held for as long as a run uses their
// trees: the sequence they came from may change while the run goes on.
std::vector<Ref> statement_objects_arg(PyObject* object);

}  // namespace velmo
