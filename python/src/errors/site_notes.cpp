#include "site_notes.hpp"

#include <utility>

#include "errors.hpp"
#include "notes.hpp"
#include "recursion_guard.hpp"
#include "utf8.hpp"

namespace velmo {
namespace {

constexpr std::string_view kSitePrefix = "at statement ";

// Where the exception's notes name the last site it passed, and what the
// notes say from there on (the row of a batch that ran it follows): its
// index and that text; -1 when no note names a site. Reading the notes runs
// no code of the exception's own but its __notes__.
std::pair<Py_ssize_t, std::string> last_site(PyObject* exception, Ref& notes) {
    notes = python_call([&] { return Ref::steal(PyObject_GetAttrString(exception, "__notes__")); }, Ref());
    if (!notes || !PyList_Check(notes.get())) {
        PyErr_Clear();
        return {-1, {}};
    }
    for (Py_ssize_t at = PyList_GET_SIZE(notes.get()); at-- > 0;) {
        Ref note = Ref::own(PyList_GET_ITEM(notes.get(), at));
        if (!PyUnicode_Check(note.get()) || !utf8(note.get()).starts_with(kSitePrefix)) continue;
        std::string text;
        for (Py_ssize_t i = at; i < PyList_GET_SIZE(notes.get()); ++i)
            if (PyObject* item = PyList_GET_ITEM(notes.get(), i); PyUnicode_Check(item)) text += (text.empty() ? "" : " ") + utf8(item);
        return {at, text};
    }
    return {-1, {}};
}

}  // namespace

std::string site_note_of(PyObject* exception) {
    Ref notes;
    return last_site(exception, notes).second;
}

// A site note that the exception carries from a run it passed through
// unchanged gives way to the whole path, which names it.
void note_site(PyObject* exception, const quarn::FailureSite& site, const std::string& inner) {
    std::string before = inner;
    if (before.empty()) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);  // whatever is pending stays so
        Ref notes;
        auto [at, text] = last_site(exception, notes);
        if (at >= 0 && PyList_SetSlice(notes.get(), at, PY_SSIZE_T_MAX, nullptr) == 0) before = text;
        PyErr_Clear();
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
