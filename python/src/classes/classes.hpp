#pragma once
// The three classes, Quarn, Statement and Expr: their type objects, with the
// method tables and slots that make up each; and the module's own functions.

#include "wrappers.hpp"

namespace velmo {

// Makes a type from its spec, once; false with an error set.
using TypeMaker = bool (*)(PyType_Spec& spec, PyTypeObject*& type);
// The types of a table run's results, Columns and Column (result_classes.cpp).
bool make_result_types(TypeMaker make);

// Makes the type objects (wrappers.hpp) that do not exist yet; false with the interpreter's
// error set if one cannot be made (a later call tries again).
bool make_types();

// The functions of the module itself, for its definition.
extern PyMethodDef module_functions[];

}  // namespace velmo
