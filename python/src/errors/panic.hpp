#pragma once
// PanicException, the Python exception of every fatal error, and a fatal
// error that comes back through Python as one.

#include <source_location>
#include <string>

#include "pyref.hpp"
#include "quarn/error.hpp"

namespace velmo {

// A fatal error resumed after its PanicException came back through Python
// code: it was reported on standard error when it first crossed into Python,
// so the call boundary does not report it again.
class ResumedFatal : public quarn::Fatal {
public:
    ResumedFatal(std::string message, std::string inner_site,
                 std::source_location where = std::source_location::current())
        : Fatal(std::move(message), where), inner_site_(std::move(inner_site)) {}

    // Where the run that raised it first stopped, as its note named it.
    const std::string& inner_site() const noexcept { return inner_site_; }

private:
    std::string inner_site_;
};

// The PanicException class, made when the module is first initialised and
// kept for the life of the process. Making it on the first failure instead
// could fail in turn: a failure met at the recursion limit has no room left
// to make a class. False with the interpreter's error set if it cannot be made.
bool make_panic_type();
// The class (a borrowed reference); the module made it before any method can run.
PyObject* panic_type();

// Sets PanicException with the fatal error's message, after the one line
// that reports it on standard error unless `report` is false.
void raise_panic(const quarn::Fatal& fatal, bool report) noexcept;

// A new PanicException carrying the fatal error's message, not raised and
// not reported; null with an error set if it cannot be made.
Ref panic_exception(const quarn::Fatal& fatal) noexcept;

// Writes the notice and the Python traceback of a PanicException fetched
// from Python, and continues its fatal error as a ResumedFatal.
[[noreturn]] void resume_panic(PyObject* type, PyObject* exc, PyObject* tb);

// Prints the pending error and stops with the fatal error for a failed
// object creation.
[[noreturn]] void fail_api_call(std::source_location where = std::source_location::current());

}  // namespace velmo
