#pragma once
// The texts that name Python types and errors inside the module's messages.

#include <string>

#include "pyref.hpp"

namespace velmo {

// A type's qualified name, or "<failed to extract type name>".
std::string type_name(PyTypeObject* type);

// "'{type}' object cannot be converted to '{target}'", of the object's
// current type or of a type seen earlier.
std::string mismatch_text(PyObject* object, const char* target);
std::string mismatch_text(PyTypeObject* type, const char* target);

// "{type}: {str}"
std::string display_form(PyObject* exc);
// The display form, then ", caused by " and each cause's display form.
std::string chain_form(PyObject* exc);
// "PyErr { type: ..., value: ..., traceback: ... }"
std::string debug_form(PyObject* exc);

}  // namespace velmo
