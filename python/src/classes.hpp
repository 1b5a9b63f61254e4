#pragma once
// The three classes, Quarn, Statement and Expr: their type objects, with the
// method tables and slots that make up each; and the module's own functions.

#include "host.hpp"

namespace velmo {

struct Types {
    PyTypeObject* quarn = nullptr;
    PyTypeObject* statement = nullptr;
    PyTypeObject* expr = nullptr;
};

// Set by make_types(), which module initialisation calls before any method
// can be reached, and kept for the life of the process.
extern Types types;

// Makes the type objects that do not exist yet; false with the interpreter's
// error set if one cannot be made (a later call tries again).
bool make_types();

// The functions of the module itself, for its definition.
extern PyMethodDef module_functions[];

}  // namespace velmo
