#pragma once
// Long work in the core looks for an interruption every so many operations
// (quarn/meter.hpp): a run, an equality, the debug form. In the module an
// interruption is a signal whose Python handler raises: KeyboardInterrupt
// for Ctrl-C, or what a handler raises when a deadline set with
// signal.setitimer expires. The work stops with that exception, unchanged:
// no PanicException and no report, even when it has to pass through bound
// functions on its way out.

#include "pyref.hpp"

namespace velmo {

// Makes the core look for signals through the module; false with an error
// set if that cannot be prepared.
bool install_interrupt_check();

// Runs the handlers of signals that arrived; throws PyErrOccurred with the
// exception a handler raised set. For the module's own long work (building
// the lists of a large value).
void check_interrupt();

// Whether the pending exception is one a signal handler raised at a check,
// which a bound function passes on as it is.
bool interruption_pending();

}  // namespace velmo
