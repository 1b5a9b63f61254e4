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

// The trees of a run's statements, with what keeps them alive for as long as
// the run uses them: the sequence they came from may change meanwhile. An
// exact tuple holds its items itself, and an exact list is copied into one
// in a single call; any other sequence's items are held one by one.
struct HeldStatements {
    Ref tuple;
    std::vector<Ref> items;
    std::vector<const quarn::Statement*> trees;
};
HeldStatements statements_arg(PyObject* object);

}  // namespace velmo
