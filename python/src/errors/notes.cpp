#include "notes.hpp"

#include "recursion_guard.hpp"

namespace velmo {
namespace {

// __notes__, made as an empty list if the exception has none: null when it
// cannot be read or made (an error may be set) or is not a list.
Ref notes_of(PyObject* exception) {
    Ref notes = Ref::steal(PyObject_GetAttrString(exception, "__notes__"));
    if (!notes) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        notes = Ref::steal(PyList_New(0));
        if (!notes || PyObject_SetAttrString(exception, "__notes__", notes.get()) < 0) return Ref();
    }
    return PyList_Check(notes.get()) ? notes : Ref();
}

}  // namespace

void add_note(PyObject* exception, const std::string& text) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // whatever was pending stays so
    bool added = python_call(
        [&] {
            Ref notes = notes_of(exception);
            Ref note = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            return notes && note && PyList_Append(notes.get(), note.get()) == 0;
        },
        false);
    if (!added) PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

void note_pending(const std::string& text) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    add_note(value, text);
    PyErr_Restore(type, value, tb);
}

}  // namespace velmo
