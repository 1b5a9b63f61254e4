#pragma once
// The note that names where a run stopped, "at statement 3, then-branch
// statement 0", added to the exception a failed run raises (a PanicException,
// or a signal handler's exception). A run that a function started inside
// another run names its own statement after the outer one's: "at statement
// 1; in a function called there, at statement 0".

#include <string>

#include "pyref.hpp"
#include "quarn/failure_site.hpp"

namespace velmo {

// The site note an exception carries from a run it left, or "".
std::string site_note_of(PyObject* exception);

// Adds the note for a run that stopped at `site` to the exception. `inner`
// is the note of a run inside it that stopped first, which a resumed
// PanicException carries; when it is "", a site note that the exception
// itself carries last, from a run it passed through unchanged, is folded in.
void note_site(PyObject* exception, const quarn::FailureSite& site, const std::string& inner);

// The same for the pending exception.
void note_site_pending(const quarn::FailureSite& site, const std::string& inner);

}  // namespace velmo
