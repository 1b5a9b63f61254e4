#include "panic.hpp"

#include <cstdio>

#include "recursion_guard.hpp"
#include "site_notes.hpp"
#include "utf8.hpp"

namespace velmo {
namespace {

const char kPanicDoc[] =
    "The exception raised when native code called from Python fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so "
    "that it normally travels all the way up the stack and ends the interpreter "
    "instead of being swallowed by a handler for Exception.";

enum class Written { Yes, No, TooDeep };

// Reports being written on this thread: more than one when a write of
// sys.stderr met a fatal error of its own.
thread_local int reports_writing = 0;

struct WritingReport {
    WritingReport() noexcept { ++reports_writing; }
    ~WritingReport() { --reports_writing; }
};

// Writes through sys.stderr, so that it interleaves with Python's own output.
// Its write and flush may be Python code that fails again and reports again,
// one level deeper each time. That recursion stops here, with the
// RecursionError set, while a level is still left for the write's own frame:
// ended there, it would look like any other failed write.
Written write_sys_stderr(const std::string& text) {
    PythonDepth depth("");
    bool room_left = depth.entered() && PythonDepth("").entered();  // a level taken and given back at once
    if (!room_left) return reports_writing > 0 ? Written::TooDeep : Written::No;
    PyObject* stream = PySys_GetObject("stderr");
    if (!stream || stream == Py_None) return Written::No;
    WritingReport writing;
    if (PyFile_WriteString(text.c_str(), stream) != 0) return Written::No;
    Ref flushed = Ref::steal(PyObject_CallMethod(stream, "flush", nullptr));
    if (!flushed) PyErr_Clear();
    return Written::Yes;
}

// Reports on the process's standard error when sys.stderr cannot take the
// text. When the recursion was too deep, its RecursionError stays set.
Written write_stderr(const std::string& text) {
    Written written = write_sys_stderr(text);
    if (written == Written::Yes) return written;
    if (written == Written::No) PyErr_Clear();
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    return written;
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

std::string report_line(const quarn::Fatal& fatal) {
    return "velmo: fatal error at " + short_path(fatal.where().file_name()) + ":" +
           std::to_string(fatal.where().line()) + ": " + fatal.message() + "\n";
}

}  // namespace

// Reports the PanicException on standard error and continues its fatal error.
namespace {

// str() of the exception. One made by the module holds its message as its
// only argument, which str() would give: read so, it needs no call into
// Python code, which at the recursion limit, where such failures come back,
// may have no room left. Anything else is asked for its str().
Ref panic_text(PyObject* exc) {
    if (Py_TYPE(exc) == reinterpret_cast<PyTypeObject*>(panic_type())) {
        Ref args = Ref::steal(PyObject_GetAttrString(exc, "args"));
        if (args && PyTuple_CheckExact(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
            PyUnicode_CheckExact(PyTuple_GET_ITEM(args.get(), 0)))
            return Ref::own(PyTuple_GET_ITEM(args.get(), 0));
        PyErr_Clear();
    }
    return python_call([&] { return Ref::steal(PyObject_Str(exc)); }, Ref());
}

}  // namespace

void resume_panic(PyObject* type, PyObject* exc, PyObject* tb) {
    if (write_stderr("velmo: resuming a fatal error: a PanicException was fetched from Python\n"
                     "Python stack trace below:\n") == Written::TooDeep)
        PyErr_Clear();  // the fatal error resumes all the same
    if (PythonDepth depth(""); depth.entered()) PyErr_Display(type, exc, tb);
    Ref text = panic_text(exc);
    std::string message = "Unwrapped panic from Python code";
    Ref keep;
    if (text && PyUnicode_Check(text.get()))
        if (std::optional<std::string_view> utf8 = utf8_text(text.get(), keep)) message = *utf8;
    PyErr_Clear();
    InnerRun inner = inner_run_of(exc);
    throw PythonFatal(std::move(message), {std::move(inner.stop), std::move(inner.site), true});
}

bool is_stop(PyObject* exception) noexcept {
    return !PyErr_GivenExceptionMatches(exception, PyExc_Exception) &&
           !PyErr_GivenExceptionMatches(exception, panic_type());
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

namespace {

Ref panic_message(const quarn::Fatal& fatal) noexcept {
    const std::string& m = fatal.message();
    return Ref::steal(PyUnicode_DecodeUTF8(m.data(), static_cast<Py_ssize_t>(m.size()), "replace"));
}

}  // namespace

// A fatal error met inside the write of another's report, where a report of
// its own would recurse too deep, raises the RecursionError instead: the
// recursion goes through the reports, and it is what ends them.
void raise_panic(const quarn::Fatal& fatal, bool report) noexcept {
    if (report && write_stderr(report_line(fatal)) == Written::TooDeep) return;
    Ref message = panic_message(fatal);
    if (!message) return;  // the decoding error stays set
    PyErr_SetObject(panic_type(), message.get());
}

Ref panic_exception(const quarn::Fatal& fatal) noexcept {
    Ref message = panic_message(fatal);
    return message ? Ref::steal(PyObject_CallOneArg(panic_type(), message.get())) : Ref();
}

void fail_api_call(std::source_location where) {
    if (PythonDepth depth(""); depth.entered()) PyErr_Print();
    PyErr_Clear();  // when it could not be printed
    quarn::fail("Python API call failed", where);
}

}  // namespace velmo
