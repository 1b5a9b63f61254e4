#include "boundary.hpp"

#include "recursion_guard.hpp"
#include "utf8.hpp"

namespace velmo {

void prefix_argument_error(const char* param) { prefix_type_error(std::string("argument '") + param + "': "); }

void prefix_type_error(const std::string& prefix) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    // A TypeError's text may hold objects whose __str__ is Python code.
    Ref text = python_call([&] { return Ref::steal(PyObject_Str(v.get())); }, Ref());
    if (!text) return;
    Ref prefixed = type_error(prefix + utf8(text.get()));
    if (Ref cause = Ref::steal(PyException_GetCause(v.get()))) PyException_SetCause(prefixed.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, prefixed.get());
}

}  // namespace velmo
