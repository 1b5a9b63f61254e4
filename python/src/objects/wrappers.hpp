#pragma once
// The three Python classes' instances: each is the object header followed by
// one core value, never changed after the instance is made (a machine's own
// state aside), and the record that the value was built (see host::Built;
// it takes no room on CPython).

#include "pyref.hpp"
#include "recent_names.hpp"
#include "recent_program.hpp"
#include "text_cache.hpp"
#include "quarn/machine.hpp"
#include "quarn/tree.hpp"

namespace velmo {

// The type objects of the three classes, and of the two that a table run
// gives back (tables/result_objects.hpp).
struct Types {
    PyTypeObject* quarn = nullptr;
    PyTypeObject* statement = nullptr;
    PyTypeObject* expr = nullptr;
    PyTypeObject* columns = nullptr;
    PyTypeObject* column = nullptr;
};

// Set when the module makes its classes, before any method can be reached,
// and kept for the life of the process.
extern Types types;

// Every use of a machine from Python holds the interpreter lock, which the
// module never lets go: its writers are kept apart already. So are the
// caches of names and texts, and the lists that conversions read in place.
// A free-threaded interpreter turns its lock back on when it loads the
// module, which declares no support for running without it.
inline constexpr quarn::Writers kMachineWriters = quarn::Writers::Serialized;

struct PyQuarn {
    PyObject_HEAD
    quarn::Machine machine;
    RecentNames recent_names;  // caches, the parts that change
    TextIn recent_texts;       // of update and of rows given as mappings
    RecentProgram recent_program;  // of run
    [[no_unique_address]] host::Built built;
};

struct PyExpr {
    PyObject_HEAD
    quarn::Expr expr;
    [[no_unique_address]] host::Built built;
};

struct PyStatement {
    PyObject_HEAD
    quarn::Statement statement;
    [[no_unique_address]] host::Built built;
};

// A new instance of `type` holding `value`, moved in.
Ref wrap(quarn::Machine value, PyTypeObject* type);
Ref wrap(quarn::Expr value);
Ref wrap(quarn::Statement value);
// Destroys what wrap() put in the instance.
void unwrap(PyQuarn& wrapper) noexcept;
void unwrap(PyExpr& wrapper) noexcept;
void unwrap(PyStatement& wrapper) noexcept;

// The wrapper an argument must be, refused with the mismatch text (or, for
// an instance whose value was never built, the text refusing how it was made).
PyQuarn* quarn_wrapper(PyObject* object);
PyExpr* expr_wrapper(PyObject* object);
PyStatement* checked_statement_wrapper(PyObject* object);
// An instance of the class itself, the common argument, is taken inline: a
// program's every statement is one when it runs.
inline PyStatement* statement_wrapper(PyObject* object) {
    auto* wrapper = reinterpret_cast<PyStatement*>(object);
    if (Py_TYPE(object) == types.statement && wrapper->built.yes()) [[likely]]
        return wrapper;
    return checked_statement_wrapper(object);
}

}  // namespace velmo
