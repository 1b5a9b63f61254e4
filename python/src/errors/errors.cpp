#include "errors.hpp"

#include "panic.hpp"

namespace velmo {

Ref type_error(const std::string& text) {
    Ref message = Ref::checked(PyUnicode_FromStringAndSize(text.data(), text.size()));
    return Ref::checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
}

void raise_type_error(const std::string& text) {
    Ref exc = type_error(text);
    PyErr_SetObject(PyExc_TypeError, exc.get());
    throw PyErrOccurred{};
}

Ref take_exception() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    if (trace) PyException_SetTraceback(v.get(), trace.get());
    return v;
}

Ref fetch_error() {
    Ref v = take_exception();
    if (v && PyErr_GivenExceptionMatches(v.get(), panic_type())) {
        Ref trace = Ref::steal(PyException_GetTraceback(v.get()));
        resume_panic(reinterpret_cast<PyObject*>(Py_TYPE(v.get())), v.get(), trace.get());
    }
    return v;
}

void discard_error() { fetch_error(); }

Ref fetch_error_or_system_error() {
    if (Ref exc = fetch_error()) return exc;
    Ref message = Ref::checked(PyUnicode_FromString("attempted to fetch exception but none was set"));
    return Ref::checked(PyObject_CallOneArg(PyExc_SystemError, message.get()));
}

void throw_pending_or_system_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a call of the C API failed without a reason");
    throw PyErrOccurred{};
}

}  // namespace velmo
