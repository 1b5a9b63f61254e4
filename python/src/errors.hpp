#pragma once
// Python errors as the module reports them: fetching a pending error, and
// the texts that name a Python error inside messages.

#include <string>

#include "pyref.hpp"

namespace velmo {

// The text of a str object (replacement characters for what has no UTF-8).
std::string utf8(PyObject* str);

// A type's qualified name, or "<failed to extract type name>".
std::string type_name(PyTypeObject* type);

// "'{type}' object cannot be converted to '{target}'", of the object's
// current type or of a type seen earlier.
std::string mismatch_text(PyObject* object, const char* target);
std::string mismatch_text(PyTypeObject* type, const char* target);

// A new, unraised TypeError carrying `text`.
Ref type_error(const std::string& text);

// Raises a TypeError with `text` and throws PyErrOccurred.
[[noreturn]] void raise_type_error(const std::string& text);

// Takes the pending Python error as a normalized exception object carrying
// its traceback; null when none is pending. A PanicException coming back
// through Python is not an ordinary error: it is reported on standard error
// and its fatal error resumes from here.
Ref fetch_error();

// Clears a pending error that the caller can do without (a size hint, a
// name, a text). A PanicException is never cleared: as in fetch_error, its
// fatal error resumes.
void discard_error();

// Like fetch_error, but a missing error becomes a SystemError.
Ref fetch_error_or_system_error();

// Throws PyErrOccurred for a C-API call that failed, setting a SystemError
// first if the call gave no error.
[[noreturn]] void throw_pending_or_system_error();

// "{type}: {str}"
std::string display_form(PyObject* exc);
// The display form, then ", caused by " and each cause's display form.
std::string chain_form(PyObject* exc);
// "PyErr { type: ..., value: ..., traceback: ... }"
std::string debug_form(PyObject* exc);

}  // namespace velmo
