#include "interrupts.hpp"

#include <optional>

#include "held_ref.hpp"
#include "pyref.hpp"
#include "quarn/meter.hpp"
#include "recursion_guard.hpp"

namespace velmo {
namespace {

// The exception the last check on this thread raised, held so that its
// identity stays its own. A thread that ends leaves it to the next entry
// into the module, which may hold the lock.
thread_local std::optional<HeldRef> last;

PyObject* pending_exception() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* exception = value;
    PyErr_Restore(type, value, tb);
    return exception;  // borrowed from the pending error
}

void remember_interruption() { last.emplace(Ref::own(pending_exception())); }

// The core's checks, which a thread outside the module (one that does not
// hold the lock) also makes: there is nothing to look at there.
void check_from_core() {
    if (inside_module()) check_interrupt();
}

}  // namespace

bool install_interrupt_check() {
    if (!host::prepare_signal_checks()) return false;
    quarn::set_interrupt_check(check_from_core);
    return true;
}

void check_interrupt() {
    if (python_call([] { return host::check_signals(); }, -1, " while looking for signals") == 0) return;
    remember_interruption();
    throw PyErrOccurred{};
}

// The type is compared first, without fetching the error: a failure at the
// recursion limit must not make C-API calls that need more stack.
bool interruption_pending() {
    PyObject* exception = last ? last->get() : nullptr;
    if (!exception || PyErr_Occurred() != reinterpret_cast<PyObject*>(Py_TYPE(exception))) return false;
    return pending_exception() == exception;
}

}  // namespace velmo
