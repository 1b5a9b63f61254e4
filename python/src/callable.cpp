#include "callable.hpp"

#include <cstdio>

#include "convert.hpp"
#include "errors.hpp"
#include "gil.hpp"

namespace velmo {

PyQuarnFn::~PyQuarnFn() { release_ref(f_); }

std::unique_ptr<quarn::QuarnFunction> PyQuarnFn::clone_box() const {
    GilTake gil;
    Py_INCREF(f_);
    return std::make_unique<PyQuarnFn>(f_);
}

void PyQuarnFn::fmt_debug(std::string& out) const {
    char address[32];
    std::snprintf(address, sizeof address, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(f_)));
    out += "PyQuarnFn { f: Py(";
    out += address;
    out += ") }";
}

namespace {

[[noreturn]] void fail_with(const char* prefix, Ref exc) {
    quarn::fail(prefix + debug_form(exc.get()));
}

Ref argument_object(quarn::Value argument) {
    PyValue value;
    try {
        value = PyValue::arc_quarnvalue_to_py(std::move(argument));
    } catch (const PyErrOccurred&) {
        fail_with("called `Result::unwrap()` on an `Err` value: ", fetch_error_or_system_error());
    }
    try {
        return std::move(value).into_pyobject();
    } catch (const PyErrOccurred&) {
        fail_with("Failed while executing Python function with Quarn: ", fetch_error_or_system_error());
    }
}

}  // namespace

quarn::Value PyQuarnFn::run(quarn::Value argument) {
    GilTake gil;
    // The interpreter's own guard: on a host that bounds its stack more
    // tightly than the thread's, this is where a deep program must stop.
    if (Py_EnterRecursiveCall(" while calling a Python function from Quarn"))
        fail_with("Failed while executing Python function with Quarn: ", fetch_error_or_system_error());
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    Ref arg = argument_object(std::move(argument));
    Ref args = Ref::steal(PyTuple_New(1));
    if (!args) fail_api_call();
    PyTuple_SET_ITEM(args.get(), 0, arg.release());
    Ref result = Ref::steal(PyObject_Call(f_, args.get(), nullptr));
    if (!result) fail_with("Failed while executing Python function with Quarn: ", fetch_error_or_system_error());
    args = Ref();
    try {
        PyValue value = PyValue::extract_bound(result.get());
        result = Ref();
        return std::move(value).into_quarnvalue();
    } catch (const PyErrOccurred&) {
        fail_with("Failed to run Python::with_gil(...): ", fetch_error_or_system_error());
    }
}

}  // namespace velmo
