#pragma once
// PanicException, the Python exception of every fatal error, and a fatal
// error that comes back through Python as one.

#include <memory>
#include <source_location>
#include <string>

#include "held_ref.hpp"
#include "pyref.hpp"
#include "quarn/error.hpp"

namespace velmo {

// A fatal error that Python code caused: a bound function that raised, or a
// PanicException that came back through Python (resumed). What it carries
// travels with it, whatever runs it passes on its way out.
class PythonFatal : public quarn::Fatal {
public:
    struct Cause {
        // The KeyboardInterrupt or SystemExit that a bound function raised,
        // here or in a run it started, at any depth: a stop, which ends a
        // batch that goes on past failed rows. Null for any other failure.
        std::shared_ptr<HeldRef> stop;
        // Where the run that raised it first stopped, as its note named it.
        std::string inner_site;
        // Reported on standard error when it first crossed into Python, so
        // the call boundary does not report it again.
        bool resumed = false;
    };

    PythonFatal(std::string message, Cause cause, std::source_location where = std::source_location::current())
        : Fatal(std::move(message), where), cause_(std::move(cause)) {}

    PyObject* stop() const noexcept { return cause_.stop ? cause_.stop->get() : nullptr; }
    const std::shared_ptr<HeldRef>& held_stop() const noexcept { return cause_.stop; }
    const std::string& inner_site() const noexcept { return cause_.inner_site; }
    bool resumed() const noexcept { return cause_.resumed; }

private:
    Cause cause_;
};

// Whether a bound function that raised `exception` was stopped rather than
// failed: an exception that is no Exception (KeyboardInterrupt, SystemExit).
bool is_stop(PyObject* exception) noexcept;

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
// from Python, and continues its fatal error as a resumed PythonFatal, with
// what the run that raised it left for this one (site_notes.hpp).
[[noreturn]] void resume_panic(PyObject* type, PyObject* exc, PyObject* tb);

// Prints the pending error and stops with the fatal error for a failed
// object creation.
[[noreturn]] void fail_api_call(std::source_location where = std::source_location::current());

}  // namespace velmo
