#include "error_text.hpp"

#include <unordered_set>

#include "errors.hpp"
#include "host.hpp"
#include "panic.hpp"
#include "quarn/debug.hpp"
#include "recursion_guard.hpp"
#include "utf8.hpp"

namespace velmo {
namespace {

// An attribute of a type, which runs Python code only when the type's own
// type (its metaclass) is not `type` itself.
template <class Read>
Ref type_attribute(PyTypeObject* type, Read&& read) {
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type)) return read();
    return python_call(read, Ref());
}

// A type's __name__, or "<failed to extract type name>".
std::string short_type_name(PyTypeObject* type) {
    Ref name = type_attribute(
        type, [&] { return Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__")); });
    if (name && PyUnicode_Check(name.get())) return utf8(name.get());
    discard_error();
    return "<failed to extract type name>";
}

// repr() of an object, or a placeholder after reporting why it failed. The
// report does not name the object: a hook that formats it would fail again.
std::string safe_repr(PyObject* object) {
    Ref text = python_call([&] { return Ref::steal(PyObject_Repr(object)); }, Ref());
    if (text) return utf8(text.get());
    if (PyErr_ExceptionMatches(panic_type())) fetch_error();  // resumes its fatal error
    PyErr_WriteUnraisable(nullptr);
    return "<unprintable " + short_type_name(Py_TYPE(object)) + " object>";
}

// The traceback as Python prints it, which runs Python code (the import
// system, the text stream, the source lines read).
Ref traceback_text(PyObject* tb) {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    Ref sink = io ? Ref::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr)) : Ref();
    if (!sink || PyTraceBack_Print(tb, sink.get()) != 0) return Ref();
    return Ref::steal(PyObject_CallMethod(sink.get(), "getvalue", nullptr));
}

std::string traceback_part(PyObject* exc) {
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    if (!tb || tb.get() == Py_None) return "None";
    Ref text = python_call([&] { return traceback_text(tb.get()); }, Ref());
    if (!text || !PyUnicode_Check(text.get())) {
        if (PyErr_Occurred()) host::write_unraisable(tb.get());
        return "<unformattable " + safe_repr(tb.get()) + ">";
    }
    std::string out = "Some(";
    quarn::debug_quoted(out, utf8(text.get()));
    return out + ")";
}

}  // namespace

std::string type_name(PyTypeObject* type) {
    Ref name = type_attribute(type, [&] { return host::qualname(type); });
    if (name && PyUnicode_Check(name.get())) return utf8(name.get());
    discard_error();
    return "<failed to extract type name>";
}

std::string mismatch_text(PyObject* object, const char* target) {
    Ref type = host::type_of(object);
    return mismatch_text(reinterpret_cast<PyTypeObject*>(type.get()), target);
}

std::string mismatch_text(PyTypeObject* type, const char* target) {
    return "'" + type_name(type) + "' object cannot be converted to '" + target + "'";
}

std::string display_form(PyObject* exc) {
    std::string out = type_name(Py_TYPE(exc));
    Ref text = python_call([&] { return Ref::steal(PyObject_Str(exc)); }, Ref());
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
