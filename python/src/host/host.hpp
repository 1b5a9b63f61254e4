#pragma once
// The host interpreter's C API. PyPy emulates it and differs in a few places;
// every such difference is settled here and nowhere else.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pyref.hpp"

namespace velmo::host {

// The qualified name of a type (or null with an error).
inline Ref qualname(PyTypeObject* type) {
    return Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
}

// An object's type. PyPy leaves the C object's type as it was when the object
// first crossed into C, even after Python code assigns __class__; asking the
// object itself gives its current type there.
inline Ref type_of(PyObject* o) {
#ifdef PYPY_VERSION
    return Ref::steal(PyObject_Type(o));
#else
    return Ref::own(reinterpret_cast<PyObject*>(Py_TYPE(o)));
#endif
}

// A function made by def or lambda. PyPy's own function check also accepts
// its built-in functions, so compare the exact type on both hosts.
inline bool is_plain_function(PyObject* o) { return Py_TYPE(o) == &PyFunction_Type; }

// The signed 64-bit value of an int or of an object with __index__. PyPy's
// PyLong_AsLong also truncates floats, which would turn 2.5 into 2; taking
// everything that is not an int through PyNumber_Index first keeps to what
// CPython accepts. Returns -1 with an error set on failure.
static_assert(sizeof(long) == 8, "a C long holds a Quarn integer");
inline long as_int64(PyObject* o) {
    if (PyLong_Check(o)) return PyLong_AsLong(o);
    Ref index = Ref::steal(PyNumber_Index(o));
    return index ? PyLong_AsLong(index.get()) : -1;
}

// A double from anything but an exact float, as CPython's PyFloat_AsDouble
// makes it: by the type's __float__, or, for a type with only __index__, by
// that. PyPy's PyFloat_AsDouble has no __index__ fallback, so there such an
// object goes through PyNumber_Index. The type's own attributes are read
// without running Python code. -1.0 with an error set on failure.
#ifdef PYPY_VERSION
inline bool has_index_only(PyObject* o) {
    static PyObject* const float_name = [] {
        PyObject* name = PyUnicode_InternFromString("__float__");
        if (!name) PyErr_Clear();  // then the fallback is never taken
        return name;
    }();
    if (!float_name || !PyIndex_Check(o)) return false;
    Ref type = type_of(o);  // the current class
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(type.get()), float_name) == nullptr;
}
#endif

inline double as_double(PyObject* o) {
#ifdef PYPY_VERSION
    if (has_index_only(o)) {
        Ref index = Ref::steal(PyNumber_Index(o));
        return index ? PyLong_AsDouble(index.get()) : -1.0;
    }
#endif
    return PyFloat_AsDouble(o);
}

// The UTF-8 form of a str or a subclass of it, as a bytes object (null with
// the encoding error set if it has none). PyPy's PyUnicode_AsUTF8AndSize
// takes the size of a subclass from its __len__, which the class may
// override to anything; a bytes object knows its own size on both hosts.
inline Ref utf8_bytes(PyObject* str) { return Ref::steal(PyUnicode_AsUTF8String(str)); }

// Whether PyUnicode_AsUTF8AndSize can be trusted with this str: always on
// CPython, only for an exact str on PyPy (see utf8_bytes).
inline bool utf8_in_place(PyObject* str) {
#ifdef PYPY_VERSION
    return PyUnicode_CheckExact(str);
#else
    (void)str;
    return true;
#endif
}

// The UTF-8 text of a str, in place (see utf8_in_place), null with the
// error set if it has none. An ASCII str on CPython is its own UTF-8 form:
// names and texts are read from it directly, as a lookup in a loop would
// otherwise pay for a function call each time.
inline const char* utf8_chars(PyObject* str, Py_ssize_t* size) {
#ifndef PYPY_VERSION
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        *size = PyUnicode_GET_LENGTH(str);
        return static_cast<const char*>(PyUnicode_DATA(str));
    }
#endif
    return PyUnicode_AsUTF8AndSize(str, size);
}

// The items of an exact list or tuple, read in place, as its iterator would
// give them. PyPy makes the C objects of a list's items when C code first
// asks for them, which can fail (a metaclass hook that raises while PyPy
// makes the class's C type): then null with the error set, or with none if
// PyPy gives no reason.
inline PyObject** fast_items(PyObject* sequence) { return PySequence_Fast_ITEMS(sequence); }

#ifdef PYPY_VERSION
// Every key of an exact dict followed by its value, each held, in the
// dict's order; false with an error set (see for_each_item).
bool dict_items(PyObject* dict, std::vector<Ref>& items);
#endif

// Calls visit(key, value) for each item of an exact dict, in its order,
// while the dict holds them; false with an error set when its items cannot
// be read. PyPy's PyDict_Next looks each key up in the dict again, which
// runs the key's __hash__ and __eq__, and ends the process when they raise
// or the dict changed meanwhile; it is also slow, as it makes a list of the
// keys each time. There the keys are walked with the dict's iterator, and
// an exact str or int finds its value again with no Python code run; when
// some other key might run some, the values are copied out in the dict's
// order instead.
template <class Visit>
bool for_each_item(PyObject* dict, Visit&& visit) {
#ifdef PYPY_VERSION
    std::vector<Ref> items;
    if (!dict_items(dict, items)) return false;
    for (std::size_t i = 0; i + 1 < items.size(); i += 2) visit(items[i].get(), items[i + 1].get());
#else
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(dict, &at, &key, &value)) visit(key, value);
#endif
    return true;
}

using GilState = PyGILState_STATE;

// Calls f with one argument, the cheapest way each host offers: vectorcall
// on CPython; on PyPy, whose vectorcall builds a tuple anyway,
// PyObject_CallOneArg. The result, or null with an error set.
inline Ref call_one(PyObject* f, PyObject* arg) {
#ifdef PYPY_VERSION
    return Ref::steal(PyObject_CallOneArg(f, arg));
#else
    return Ref::steal(PyObject_Vectorcall(f, &arg, 1, nullptr));
#endif
}

// Whether a list is copied into a tuple in one call, to hold its items while
// the list may change: on CPython a loop in C. PyPy makes a C object of each
// item for it, which can fail at the recursion limit in a way its C-API
// layer cannot report, ending the process; there each item is held instead.
#ifdef PYPY_VERSION
inline constexpr bool kListCopiedAtOnce = false;
#else
inline constexpr bool kListCopiedAtOnce = true;
#endif

// Whether a batch passes its rows and results as columns (columns.hpp). On
// PyPy every object that crosses into C gets a proxy of its C-API layer, of
// a hundred nanoseconds or more, and each row of a batch would cross several;
// on CPython objects cross for free and rows are read as they are.
#ifdef PYPY_VERSION
inline constexpr bool kRowsAsColumns = true;
#else
inline constexpr bool kRowsAsColumns = false;
#endif

// How a list of known length is filled most cheaply: CPython makes it at its
// full length and stores each item in place; PyPy appends to an empty list,
// which costs it a fraction of storing by index.
#ifdef PYPY_VERSION
inline constexpr bool kListFilledInPlace = false;
#else
inline constexpr bool kListFilledInPlace = true;
#endif

// Reports an error that cannot be raised. PyPy cannot name an object whose
// repr() fails and ends the process instead, so it is not named there.
inline void write_unraisable(PyObject* object) {
#ifdef PYPY_VERSION
    (void)object;
    PyErr_WriteUnraisable(nullptr);
#else
    PyErr_WriteUnraisable(object);
#endif
}

// Whether an instance of one of the module's classes holds its value.
// CPython refuses object.__new__ on these classes. PyPy does not: it makes
// the instance without calling tp_alloc, tp_new or tp_init, gives C code a
// zero-filled object of the type's size, and frees it through tp_dealloc.
// There each instance records that its value was constructed, and such an
// instance, which reads "not built", is refused wherever it is used.
#ifdef PYPY_VERSION
class Built {
public:
    bool yes() const noexcept { return built_; }
    void mark() noexcept { built_ = true; }

private:
    bool built_;  // never initialised: zero-filled memory reads false
};
#else
struct Built {
    static constexpr bool yes() noexcept { return true; }
    void mark() noexcept {}
};
#endif

// Raises the TypeError with which CPython refuses object.__new__(type).
void refuse_object_new(PyTypeObject* type);

// True when the instance was built; otherwise false with that TypeError set.
inline bool check_built(PyObject* self, const Built& built) {
    if (built.yes()) return true;
    refuse_object_new(Py_TYPE(self));
    return false;
}

// Makes a type made by PyType_FromSpec final and closed to new attributes.
// CPython does so from the type's flags; PyPy ignores them, so there the
// type gets methods that refuse. PyPy's __new__ of such a type also passes
// its first argument to tp_new unchecked, so there __new__ is replaced by one
// that checks it as CPython's does. Returns false with an error set.
bool finish_type(PyTypeObject* type);

// CPython 3.9 keeps a docstring given in a type spec without its signature
// line, so the class's __text_signature__ reads None there; later versions
// and PyPy keep it whole. Puts the spec's docstring back whole on 3.9.
// Returns false with an error set.
bool keep_text_signature(PyTypeObject* type, const PyType_Spec& spec);

// PyPy drops an empty module docstring; set it again there.
bool finish_module(PyObject* module);

// Runs the Python handlers of signals that arrived, as the interpreter does
// between two bytecodes: -1 with a handler's exception set when one raised.
// PyPy's PyErr_CheckSignals does nothing; its handlers run from periodic
// actions that fire on a backward jump in bytecode, so there the check calls
// a small function whose loop jumps back once. Either may run Python code,
// and on PyPy let other threads run.
int check_signals();

// Makes what check_signals() needs (on PyPy, that function), once; false
// with an error set if it cannot be made.
bool prepare_signal_checks();

// One more level of recursion, as Py_EnterRecursiveCall counts it: nonzero
// with RecursionError set when too deep. PyPy's compares the stack pointer
// with 15/16 of its soft limit only, which can leave a few kilobytes for the
// C-API calls that follow a failure, less than they need; asked from 32 kB
// lower, it fails while that much more is left. The caller checks the
// thread's own stack first (stack_limit.hpp), so the frame always fits.
#ifdef PYPY_VERSION
int enter_recursive_call(const char* where);
#else
inline int enter_recursive_call(const char* where) { return Py_EnterRecursiveCall(where); }
#endif

// Whether the stack has room for the C-API calls that one call into the
// module makes; false with RecursionError set. PyPy checks its stack inside
// C-API functions that may not fail, and ends the process when the check
// fails there: Python code recursing to its limit that calls the module at
// every level gets that far. There PyPy's Py_EnterRecursiveCall is asked
// first, which answers from 15/16 of its limit: the rest is room enough for
// the module's own calls (the recursion guards keep more, for the Python
// code they run). It is asked once per thread for each depth deeper than
// any found with room, so that a loop at one depth asks once (a recursion
// limit lowered later, within a deeper call, is not seen). CPython's C API
// never fails that way.
#ifdef PYPY_VERSION
namespace detail {
extern thread_local std::uintptr_t roomy_frame;  // the deepest frame found with room; 0 for none
bool room_for_call_slow(std::uintptr_t frame) noexcept;
}  // namespace detail

[[gnu::always_inline]] inline bool room_for_call() noexcept {
    auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return (frame >= detail::roomy_frame && detail::roomy_frame != 0) || detail::room_for_call_slow(frame);
}
#else
inline constexpr bool room_for_call() noexcept { return true; }
#endif


}  // namespace velmo::host
