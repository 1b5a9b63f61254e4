#pragma once
// The note that names where a run stopped, "at statement 3, then-branch
// statement 0", added to the exception a failed run raises (a PanicException,
// or a signal handler's exception). A run that a function started inside
// another run names its own statement after the outer one's: "at statement
// 1; in a function called there, at statement 0".
//
// An inner run hands what the outer one needs (the site it named, and a stop
// it carried) to it directly, remembered beside the exception it failed
// with, never by reading the exception's notes back: notes are the user's
// too, and an exception may pass several runs that are not nested (a signal
// handler that raises the same instance twice).

#include <cstddef>
#include <memory>
#include <string>

#include "held_ref.hpp"
#include "pyref.hpp"
#include "quarn/failure_site.hpp"

namespace velmo {

namespace detail {
inline thread_local int programs_running = 0;
inline thread_local std::size_t runs_left = 0;  // what failed runs left for the ones around them, kept
}  // namespace detail

// A program running on this thread for as long as it lives: a run, or a
// batch's row. Runs inside it (a bound function's) are one level deeper.
//
// It is made for every row of a batch: the common case, where no run inside
// it failed, costs an increment and a test, with no call.
class ProgramRun {
public:
    ProgramRun() noexcept { ++detail::programs_running; }
    // What the runs inside this one left is no longer needed.
    ~ProgramRun() {
        int depth = detail::programs_running--;
        if (detail::runs_left) drop_left(depth);
    }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

private:
    static void drop_left(int depth);
};

// What a run one level inside the program now running left with `exception`
// when it failed with it: the site its note named, and the stop it carried
// (a KeyboardInterrupt or SystemExit a bound function raised), or null. Empty when no such run failed with it.
struct InnerRun {
    std::string site;
    std::shared_ptr<HeldRef> stop;
};
InnerRun inner_run_of(PyObject* exception);

// Adds the note for a run that stopped at `site` to the exception: its own
// path, then what a run inside it named, `inner` (which a resumed
// PanicException carries), or else the note that such a run added to this
// very exception passing through (an interruption), which this note then
// takes the place of. Inside another run, the note is remembered for it,
// with `stop`.
void note_site(PyObject* exception, const quarn::FailureSite& site, const std::string& inner,
               const std::shared_ptr<HeldRef>& stop);

// A note that the module adds after the site note (a batch's row) also goes
// into what this run leaves for the one around it: "at statement 0 in row 2".
void note_after_site(PyObject* exception, const std::string& text);

}  // namespace velmo
