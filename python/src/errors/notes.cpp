#include "notes.hpp"

#include <string_view>

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

// Whether a note is a str that reads `text`; no code of the note's runs.
bool reads(PyObject* note, const std::string& text) {
    if (!PyUnicode_CheckExact(note)) return false;
    Py_ssize_t size;
    const char* chars = PyUnicode_AsUTF8AndSize(note, &size);
    if (!chars) PyErr_Clear();
    return chars && std::string_view(chars, static_cast<std::size_t>(size)) == text;
}

// The new note in __notes__, in the place of the last that reads `old` if
// there is one, else last.
Ref put_note(PyObject* exception, const std::string* old, const std::string& text) {
    Ref notes = notes_of(exception);
    Ref note = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!notes || !note) return Ref();
    for (Py_ssize_t at = PyList_GET_SIZE(notes.get()); old && at-- > 0;)
        if (reads(PyList_GET_ITEM(notes.get(), at), *old))
            return PyList_SetItem(notes.get(), at, Ref(note).release()) == 0 ? note : Ref();
    return PyList_Append(notes.get(), note.get()) == 0 ? note : Ref();
}

Ref noted(PyObject* exception, const std::string* old, const std::string& text) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // whatever was pending stays so
    Ref note = python_call([&] { return put_note(exception, old, text); }, Ref());
    if (!note) PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return note;
}

}  // namespace

Ref add_note(PyObject* exception, const std::string& text) { return noted(exception, nullptr, text); }

Ref replace_note(PyObject* exception, const std::string& old, const std::string& text) {
    return noted(exception, &old, text);
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
