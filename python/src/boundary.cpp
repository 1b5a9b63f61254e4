#include "boundary.hpp"

namespace velmo {

void prefix_argument_error(const char* param) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    Ref text = Ref::steal(PyObject_Str(v.get()));
    if (!text) return;
    Ref prefixed = type_error(std::string("argument '") + param + "': " + utf8(text.get()));
    PyObject* cause = PyException_GetCause(v.get());  // new reference, stolen below
    if (cause) PyException_SetCause(prefixed.get(), cause);
    PyErr_SetObject(PyExc_TypeError, prefixed.get());
}

}  // namespace velmo
