#pragma once
// The three Python classes: each instance is the object header followed by
// one core value, never changed after the instance is made, and the record
// that the value was built (see host::Built; it takes no room on CPython).

#include "pyref.hpp"
#include "quarn/machine.hpp"
#include "quarn/tree.hpp"

namespace velmo {

struct PyQuarn {
    PyObject_HEAD
    quarn::Machine machine;
    [[no_unique_address]] host::Built built;
};

struct PyExpr {
    PyObject_HEAD
    quarn::Expr expr;
    [[no_unique_address]] host::Built built;
};

struct PyStatement {
    PyObject_HEAD
    quarn::Statement statement;
    [[no_unique_address]] host::Built built;
};

// The cached type objects (borrowed), made on first need; null with an
// error set if the interpreter cannot make one.
PyTypeObject* quarn_type();
PyTypeObject* expr_type();
PyTypeObject* statement_type();

// New instances holding the given value (moved in).
Ref wrap(quarn::Expr expr);
Ref wrap(quarn::Statement statement);

// Argument conversions that copy a tree out of its wrapper.
quarn::Expr expr_arg(PyObject* object);
quarn::Statement statement_arg(PyObject* object);
// The Statement object itself, refused as statement_arg refuses it.
PyStatement* statement_wrapper(PyObject* object);
quarn::Program statement_list_arg(PyObject* object);
// The Statement objects themselves, held for as long as a run uses their
// trees: the sequence they came from may change while the run goes on.
std::vector<Ref> statement_objects_arg(PyObject* object);
std::vector<quarn::Expr> expr_list_arg(PyObject* object);

}  // namespace velmo
