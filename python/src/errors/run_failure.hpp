#pragma once
// What a method that runs programs does with a failure, in one place: `run`,
// and each row of `run_many`. A failure is one of four things in flight:
// a Python error that is set (a conversion, an exception a signal handler
// raised), a fatal error of the core, a fatal error that Python code caused
// (PythonFatal), or an allocation that failed, which is the MemoryError that
// Python raises for one. Call these only inside a catch block: they tell
// the four apart by throwing the one in flight again. Anything else goes on
// up to the call boundary.

#include <cstddef>
#include <optional>

#include "pyref.hpp"
#include "quarn/failure_site.hpp"

namespace velmo {

// Where the failure happened, for its notes.
struct FailurePlace {
    const quarn::FailureSite* site = nullptr;  // where the program stopped, if it failed in its run
    std::optional<std::size_t> row;            // a batch's row
};

// Raises the failure with its notes: a fatal error as its PanicException,
// its line written on standard error unless it was already. Always throws
// PyErrOccurred.
[[noreturn]] void raise_failure(const FailurePlace& place);

// The failure as an exception object with its notes, for a caller that goes
// on past it, nothing written to standard error. Raised instead, as
// raise_failure() raises it, when it ends the whole call: an exception that
// a signal handler raised; and a KeyboardInterrupt or SystemExit that a
// bound function raised, at any depth, which is raised as itself.
Ref returned_failure(const FailurePlace& place);

}  // namespace velmo
