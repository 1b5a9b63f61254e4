#pragma once
// The pending Python error: raising, fetching and clearing it as the module
// does, a PanicException coming back through Python being no ordinary error.

#include <string>

#include "pyref.hpp"

namespace velmo {

// A new, unraised TypeError carrying `text`.
Ref type_error(const std::string& text);

// Raises a TypeError with `text` and throws PyErrOccurred.
[[noreturn]] void raise_type_error(const std::string& text);

// Takes the pending Python error as a normalized exception object carrying
// its traceback, whatever it is; null when none is pending.
Ref take_exception();

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

}  // namespace velmo
