#include "panic.hpp"

#include <cstdio>

#include "convert.hpp"
#include "errors.hpp"

namespace velmo {
namespace {

const char kPanicDoc[] =
    "The exception raised when native code called from Python fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so "
    "that it normally travels all the way up the stack and ends the interpreter "
    "instead of being swallowed by a handler for Exception.";

// Writes through sys.stderr, so that it interleaves with Python's own output.
void write_stderr(const std::string& text) {
    PyObject* stream = PySys_GetObject("stderr");
    if (stream && stream != Py_None) {
        if (PyFile_WriteString(text.c_str(), stream) == 0) {
            Ref flushed = Ref::steal(PyObject_CallMethod(stream, "flush", nullptr));
            if (!flushed) PyErr_Clear();
            return;
        }
        PyErr_Clear();
    }
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

std::string short_path(const char* file) {
    std::string path(file);
    std::size_t cut = 0;
    for (const char* dir : {"/quarn/", "/python/"}) {
        std::size_t at = path.rfind(dir);
        if (at != std::string::npos && at + 1 > cut) cut = at + 1;
    }
    return path.substr(cut);
}

}  // namespace

// Reports the PanicException on standard error and continues its fatal error.
void resume_panic(PyObject* type, PyObject* exc, PyObject* tb) {
    write_stderr("velmo: resuming a fatal error: a PanicException was fetched from Python\n"
                 "Python stack trace below:\n");
    PyErr_Display(type, exc, tb);
    Ref text = Ref::steal(PyObject_Str(exc));
    std::string message = "Unwrapped panic from Python code";
    Ref keep;
    if (text && PyUnicode_Check(text.get()))
        if (std::optional<std::string_view> utf8 = utf8_text(text.get(), keep)) message = *utf8;
    PyErr_Clear();
    throw ResumedFatal(std::move(message));
}

namespace {
PyObject* panic_class = nullptr;
}  // namespace

bool make_panic_type() {
    if (!panic_class)
        panic_class = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    return panic_class != nullptr;
}

PyObject* panic_type() { return panic_class; }

void raise_panic(const quarn::Fatal& fatal, bool report) noexcept {
    if (report) {
        write_stderr("velmo: fatal error at " + short_path(fatal.where().file_name()) + ":" +
                     std::to_string(fatal.where().line()) + ": " + fatal.message() + "\n");
    }
    const std::string& m = fatal.message();
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(m.data(), m.size(), "replace"));
    if (!message) return;  // the decoding error stays set
    PyErr_SetObject(panic_type(), message.get());
}

void fail_api_call(std::source_location where) {
    PyErr_Print();
    quarn::fail("Python API call failed", where);
}

}  // namespace velmo
