#include "site_notes.hpp"

#include "errors.hpp"
#include "notes.hpp"
#include "recursion_guard.hpp"
#include "utf8.hpp"

namespace velmo {
namespace {

constexpr std::string_view kSitePrefix = "at statement ";

// The last of the exception's notes, if it names a site; null otherwise.
// Reading the notes runs no code of the exception's own but its __notes__.
Ref last_site_note(PyObject* exception) {
    Ref notes = python_call([&] { return Ref::steal(PyObject_GetAttrString(exception, "__notes__")); }, Ref());
    if (!notes || !PyList_Check(notes.get()) || PyList_GET_SIZE(notes.get()) == 0) {
        PyErr_Clear();
        return Ref();
    }
    Ref last = Ref::own(PyList_GET_ITEM(notes.get(), PyList_GET_SIZE(notes.get()) - 1));
    return PyUnicode_Check(last.get()) && utf8(last.get()).starts_with(kSitePrefix) ? last : Ref();
}

// Removes the exception's last note, `note`, and gives its text.
std::string take_last_note(PyObject* exception, PyObject* note) {
    std::string text = utf8(note);
    Ref notes = Ref::steal(PyObject_GetAttrString(exception, "__notes__"));
    if (notes && PyList_Check(notes.get()))
        PyList_SetSlice(notes.get(), PyList_GET_SIZE(notes.get()) - 1, PY_SSIZE_T_MAX, nullptr);
    PyErr_Clear();
    return text;
}

}  // namespace

std::string site_note_of(PyObject* exception) {
    Ref note = last_site_note(exception);
    return note ? utf8(note.get()) : std::string();
}

void note_site(PyObject* exception, const quarn::FailureSite& site, const std::string& inner) {
    std::string before = inner;
    if (before.empty()) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);  // whatever is pending stays so
        if (Ref folded = last_site_note(exception)) before = take_last_note(exception, folded.get());
        PyErr_Restore(type, value, tb);
    }
    std::string note = site.text();
    if (!before.empty()) note += (note.empty() ? "" : "; in a function called there, ") + before;
    if (!note.empty()) add_note(exception, note);
}

void note_site_pending(const quarn::FailureSite& site, const std::string& inner) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    note_site(value, site, inner);
    PyErr_Restore(type, value, tb);
}

}  // namespace velmo
