#include "callable.hpp"

#include <cstdio>
#include <optional>

#include "convert.hpp"
#include "error_text.hpp"
#include "errors.hpp"
#include "interrupts.hpp"
#include "panic.hpp"
#include "quarn/error.hpp"
#include "recursion_guard.hpp"

namespace velmo {

std::unique_ptr<quarn::QuarnFunction> PyQuarnFn::clone_box() const {
    GilTake gil;
    return std::make_unique<PyQuarnFn>(Ref::own(f_.get()));
}

void PyQuarnFn::fmt_debug(std::string& out) const {
    char address[sizeof "0x" + 2 * sizeof(std::uintptr_t)];  // its hex digits, and the terminator
    std::snprintf(address, sizeof address, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(f_.get())));
    out += "PyQuarnFn { f: Py(";
    out += address;
    out += ") }";
}

namespace {

constexpr const char* kCallFailed = "Failed while executing Python function with Quarn: ";

// An interruption passes on as it is: it stops the whole run, not the call.
// A KeyboardInterrupt or SystemExit that the function raised goes with the
// fatal error, which a batch that goes on past failed rows ends on.
[[noreturn, gnu::cold]] void fail_with(const char* prefix, std::source_location where = std::source_location::current()) {
    if (interruption_pending()) throw PyErrOccurred{};
    Ref exception = fetch_error_or_system_error();
    std::string message = prefix + debug_form(exception.get());
    std::shared_ptr<HeldRef> stop = is_stop(exception.get()) ? std::make_shared<HeldRef>(std::move(exception)) : nullptr;
    throw PythonFatal(std::move(message), {std::move(stop), {}, false}, where);
}

// The argument as a Python object: a function, which has none, is a fatal
// error. A vector too large for memory passes on as its MemoryError, as an
// allocation that fails would.
Ref argument_object(const quarn::Value& argument) {
    try {
        return to_python(argument);
    } catch (const PyErrOccurred&) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        fail_with("called `Result::unwrap()` on an `Err` value: ");
    }
}

// Python code the function calls may recurse back into the module; the
// interpreter's limit ends that recursion cleanly. PyPy needs the count
// taken here: left to the function's own frame, a recursion through the
// module overflows PyPy's stack inside its C API, which ends the process.
void enter_call(std::optional<RecursionGuard>& guard) {
    try {
        guard.emplace(" while calling a Python function from Quarn");
    } catch (const PyErrOccurred&) {
        fail_with(kCallFailed);
    }
}

quarn::Value result_value(PyObject* result) {
    try {
        return extract_value(result);
    } catch (const PyErrOccurred&) {
        fail_with("Failed to run Python::with_gil(...): ");
    }
}

}  // namespace

quarn::Value PyQuarnFn::run(quarn::Value argument) {
    GilTake gil;
    std::optional<RecursionGuard> guard;
    enter_call(guard);
    Ref arg = argument_object(argument);
    argument = quarn::Value();
    Ref result = host::call_one(f_.get(), arg.get());
    if (!result) fail_with(kCallFailed);
    arg = Ref();
    return result_value(result.get());
}

}  // namespace velmo
