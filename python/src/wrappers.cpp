#include "wrappers.hpp"

#include <memory>

#include "convert.hpp"
#include "errors.hpp"

namespace velmo {
namespace {

// An instance made through the base type's allocator, owned until its
// parts are in it.
template <class Wrapper, class Fill>
Ref wrap_in(PyTypeObject* type, Fill&& fill) {
    Ref object = Ref::checked(PyBaseObject_Type.tp_alloc(type, 0));
    auto* wrapper = reinterpret_cast<Wrapper*>(object.get());
    fill(*wrapper);
    wrapper->built.mark();
    return object;
}

template <class Wrapper>
Wrapper* as_wrapper(PyObject* object, PyTypeObject* type, const char* name) {
    if (!PyObject_TypeCheck(object, type)) raise_type_error(mismatch_text(object, name));
    auto* wrapper = reinterpret_cast<Wrapper*>(object);
    if (!host::check_built(object, wrapper->built)) throw PyErrOccurred{};
    return wrapper;
}

// A sequence of items, each converted; a str and non-sequences are refused
// before anything is iterated.
template <class T, class Convert>
std::vector<T> list_arg(PyObject* object, Convert convert) {
    std::vector<T> items;
    // Reading an exact list or tuple in place is what iterating it would do,
    // and taking a wrapper's tree runs no Python code that could change it.
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
        PyObject** found = host::items_in_place(object);
        if (!found && size > 0) throw_pending_or_system_error();
        items.reserve(size);
        for (Py_ssize_t i = 0; i < size; ++i) items.push_back(convert(found[i]));
        return items;
    }
    if (PyUnicode_Check(object)) raise_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) raise_type_error(mismatch_text(object, "Sequence"));
    items.reserve(capacity_hint(object));
    Ref iter = Ref::checked(PyObject_GetIter(object));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) items.push_back(convert(item.get()));
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return items;
}

}  // namespace

Ref wrap(quarn::Machine value, PyTypeObject* type) {
    return wrap_in<PyQuarn>(type, [&](PyQuarn& w) {
        std::construct_at(&w.machine, std::move(value));
        std::construct_at(&w.names);
    });
}
Ref wrap(quarn::Expr value) {
    return wrap_in<PyExpr>(types.expr, [&](PyExpr& w) { std::construct_at(&w.expr, std::move(value)); });
}
Ref wrap(quarn::Statement value) {
    return wrap_in<PyStatement>(types.statement,
                                [&](PyStatement& w) { std::construct_at(&w.statement, std::move(value)); });
}

void unwrap(PyQuarn& wrapper) noexcept {
    std::destroy_at(&wrapper.names);
    std::destroy_at(&wrapper.machine);
}
void unwrap(PyExpr& wrapper) noexcept { std::destroy_at(&wrapper.expr); }
void unwrap(PyStatement& wrapper) noexcept { std::destroy_at(&wrapper.statement); }

PyQuarn* quarn_wrapper(PyObject* object) { return as_wrapper<PyQuarn>(object, types.quarn, "Quarn"); }
PyExpr* expr_wrapper(PyObject* object) { return as_wrapper<PyExpr>(object, types.expr, "Expr"); }
PyStatement* statement_wrapper(PyObject* object) {
    return as_wrapper<PyStatement>(object, types.statement, "Statement");
}

std::vector<quarn::Expr> expr_list_arg(PyObject* object) { return list_arg<quarn::Expr>(object, expr_arg); }

quarn::Program statement_list_arg(PyObject* object) {
    return list_arg<quarn::Statement>(object, statement_arg);
}

std::vector<Ref> statement_objects_arg(PyObject* object) {
    return list_arg<Ref>(object, [](PyObject* item) {
        statement_wrapper(item);
        return Ref::own(item);
    });
}

}  // namespace velmo
