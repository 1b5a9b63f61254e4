#include "run_failure.hpp"

#include <new>
#include <string>

#include "errors.hpp"
#include "interrupts.hpp"
#include "notes.hpp"
#include "panic.hpp"
#include "site_notes.hpp"

namespace velmo {
namespace {

const std::shared_ptr<HeldRef> kNoStop;

std::string row_note(std::size_t row) { return "in row " + std::to_string(row); }

void note(PyObject* exception, const FailurePlace& place, const std::string& inner,
          const std::shared_ptr<HeldRef>& stop) {
    if (place.site) note_site(exception, *place.site, inner, stop);
    if (place.row) note_after_site(exception, row_note(*place.row));
}

void note_pending(const FailurePlace& place, const std::string& inner, const std::shared_ptr<HeldRef>& stop) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    note(value, place, inner, stop);
    PyErr_Restore(type, value, tb);
}

[[noreturn]] void raise_fatal(const quarn::Fatal& fatal, bool report, const FailurePlace& place,
                              const std::string& inner, const std::shared_ptr<HeldRef>& stop) {
    raise_panic(fatal, report);
    note_pending(place, inner, stop);
    throw PyErrOccurred{};
}

// The stop a bound function raised, raised again as itself.
[[noreturn]] void raise_stop(PyObject* stop, const FailurePlace& place, const std::string& inner) {
    note(stop, place, inner, kNoStop);
    Ref traceback = Ref::steal(PyException_GetTraceback(stop));
    PyErr_Restore(Ref::own(reinterpret_cast<PyObject*>(Py_TYPE(stop))).release(), Ref::own(stop).release(),
                  traceback.release());
    throw PyErrOccurred{};
}

// The failure in flight again, an allocation that failed as the MemoryError
// that Python raises for one.
[[noreturn]] void rethrow_failure() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw PyErrOccurred{};
    }
}

}  // namespace

void raise_failure(const FailurePlace& place) {
    try {
        rethrow_failure();
    } catch (const PyErrOccurred&) {
        note_pending(place, "", kNoStop);
        throw;
    } catch (const PythonFatal& fatal) {
        raise_fatal(fatal, !fatal.resumed(), place, fatal.inner_site(), fatal.held_stop());
    } catch (const quarn::Fatal& fatal) {
        raise_fatal(fatal, true, place, "", kNoStop);
    }
}

Ref returned_failure(const FailurePlace& place) {
    try {
        rethrow_failure();
    } catch (const PyErrOccurred&) {
        if (interruption_pending()) raise_failure(place);
        Ref exception = take_exception();
        if (!exception) throw;
        note(exception.get(), place, "", kNoStop);
        return exception;
    } catch (const PythonFatal& fatal) {
        if (fatal.stop()) raise_stop(fatal.stop(), place, fatal.inner_site());
        Ref exception = panic_exception(fatal);
        if (!exception) throw PyErrOccurred{};
        note(exception.get(), place, fatal.inner_site(), kNoStop);
        return exception;
    } catch (const quarn::Fatal& fatal) {
        Ref exception = panic_exception(fatal);
        if (!exception) throw PyErrOccurred{};
        note(exception.get(), place, "", kNoStop);
        return exception;
    }
}

}  // namespace velmo
