#pragma once
// The call boundary: every entry from Python runs its body through guarded(),
// which turns a pending Python error into a null return, a fatal error into
// PanicException and memory that ran out into MemoryError, and converts
// arguments through argument(), which names the parameter in a conversion's
// TypeError.

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "binder.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "panic.hpp"

namespace velmo {

// What `body` returns, or `failed` with the Python error set.
template <class Result, class Body>
Result guarded_as(Result failed, Body&& body) noexcept {
    ModuleEntry entry;
    if (!host::room_for_call()) return failed;
    try {
        return body();
    } catch (const PyErrOccurred&) {
        return failed;
    } catch (const PythonFatal& fatal) {
        raise_panic(fatal, !fatal.resumed());  // a resumed one was reported where it first crossed
        return failed;
    } catch (const quarn::Fatal& fatal) {
        raise_panic(fatal, true);
        return failed;
    } catch (const std::bad_alloc&) {
        // Raised as Python raises it for an allocation that fails: what the
        // call was building is released on the way here, and a machine
        // keeps what it held before (a debug form or a value too large for
        // memory fails before it asks for any).
        PyErr_NoMemory();
        return failed;
    } catch (const std::exception& e) {
        // Any other failure of the library underneath is still a failure of
        // this call, never a reason to take the interpreter down.
        raise_panic(quarn::Fatal(e.what(), std::source_location::current()), true);
        return failed;
    }
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    return guarded_as<PyObject*>(nullptr, std::forward<Body>(body));
}

// Replaces a pending TypeError (that exact type) by one whose message begins
// with `prefix` and whose __cause__ is the original's cause.
void prefix_type_error(const std::string& prefix);
// The same with the prefix that names a parameter: "argument 'rows': ".
void prefix_argument_error(const char* param);

// The i-th bound argument converted by `convert`, a failure reported under
// the parameter's name.
template <class Convert>
auto argument(const Signature& sig, PyObject* const* args, std::size_t i, Convert&& convert) {
    try {
        return convert(args[i]);
    } catch (const PyErrOccurred&) {
        prefix_argument_error(sig.params[i]);
        throw;
    }
}

}  // namespace velmo
