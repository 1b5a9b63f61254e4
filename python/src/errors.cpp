#include "errors.hpp"

#include "convert.hpp"

#include <unordered_set>

#include "panic.hpp"
#include "quarn/debug.hpp"

namespace velmo {
namespace {

// A type's __name__, or "<failed to extract type name>".
std::string short_type_name(PyTypeObject* type) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    if (name && PyUnicode_Check(name.get())) return utf8(name.get());
    discard_error();
    return "<failed to extract type name>";
}

// repr() of an object, or a placeholder after reporting why it failed. The
// report does not name the object: a hook that formats it would fail again.
std::string safe_repr(PyObject* object) {
    Ref text = Ref::steal(PyObject_Repr(object));
    if (text) return utf8(text.get());
    if (PyErr_ExceptionMatches(panic_type())) fetch_error();  // resumes its fatal error
    PyErr_WriteUnraisable(nullptr);
    return "<unprintable " + short_type_name(Py_TYPE(object)) + " object>";
}

std::string traceback_part(PyObject* exc) {
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    if (!tb || tb.get() == Py_None) return "None";
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    Ref sink = io ? Ref::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr)) : Ref();
    Ref text;
    if (sink && PyTraceBack_Print(tb.get(), sink.get()) == 0)
        text = Ref::steal(PyObject_CallMethod(sink.get(), "getvalue", nullptr));
    if (!text || !PyUnicode_Check(text.get())) {
        if (PyErr_Occurred()) host::write_unraisable(tb.get());
        return "<unformattable " + safe_repr(tb.get()) + ">";
    }
    std::string out = "Some(";
    quarn::debug_quoted(out, utf8(text.get()));
    return out + ")";
}

}  // namespace

std::string utf8(PyObject* str) {
    Ref keep;
    if (std::optional<std::string_view> text = utf8_text(str, keep)) return std::string(*text);
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return "";
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

std::string type_name(PyTypeObject* type) {
    Ref name = Ref::steal(host::qualname(type));
    if (name && PyUnicode_Check(name.get())) return utf8(name.get());
    discard_error();
    return "<failed to extract type name>";
}

std::string mismatch_text(PyObject* object, const char* target) {
    Ref type = Ref::steal(host::type_of(object));
    return mismatch_text(reinterpret_cast<PyTypeObject*>(type.get()), target);
}

std::string mismatch_text(PyTypeObject* type, const char* target) {
    return "'" + type_name(type) + "' object cannot be converted to '" + target + "'";
}

Ref type_error(const std::string& text) {
    Ref message = Ref::checked(PyUnicode_FromStringAndSize(text.data(), text.size()));
    return Ref::checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
}

void raise_type_error(const std::string& text) {
    Ref exc = type_error(text);
    PyErr_SetObject(PyExc_TypeError, exc.get());
    throw PyErrOccurred{};
}

Ref fetch_error() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    if (trace) PyException_SetTraceback(v.get(), trace.get());
    if (PyErr_GivenExceptionMatches(v.get(), panic_type())) resume_panic(t.get(), v.get(), trace.get());
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

std::string display_form(PyObject* exc) {
    std::string out = type_name(Py_TYPE(exc));
    Ref text = Ref::steal(PyObject_Str(exc));
    if (!text) {
        discard_error();
        return out + ": <exception str() failed>";
    }
    return out + ": " + utf8(text.get());
}

// A chain that comes back to an exception already in it ends there, as
// Python's own traceback printing ends it. Each exception holds its cause,
// so the chain stays alive while it is walked.
std::string chain_form(PyObject* exc) {
    std::string out = display_form(exc);
    std::unordered_set<PyObject*> seen{exc};
    for (Ref cause = Ref::steal(PyException_GetCause(exc)); cause && cause.get() != Py_None;
         cause = Ref::steal(PyException_GetCause(cause.get()))) {
        if (!seen.insert(cause.get()).second) break;
        out += ", caused by " + display_form(cause.get());
    }
    return out;
}

std::string debug_form(PyObject* exc) {
    std::string out = "PyErr { type: " + safe_repr(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    out += ", value: " + safe_repr(exc);
    out += ", traceback: " + traceback_part(exc);
    return out + " }";
}

}  // namespace velmo
