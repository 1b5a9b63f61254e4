#include "wrappers.hpp"

#include <memory>

#include "error_text.hpp"
#include "errors.hpp"

namespace velmo {

Types types;
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

}  // namespace

Ref wrap(quarn::Machine value, PyTypeObject* type) {
    return wrap_in<PyQuarn>(type, [&](PyQuarn& w) {
        std::construct_at(&w.machine, std::move(value));
        std::construct_at(&w.recent_names);
        std::construct_at(&w.recent_texts);
        std::construct_at(&w.recent_program);
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
    std::destroy_at(&wrapper.recent_program);
    std::destroy_at(&wrapper.recent_texts);
    std::destroy_at(&wrapper.recent_names);
    std::destroy_at(&wrapper.machine);
}
void unwrap(PyExpr& wrapper) noexcept { std::destroy_at(&wrapper.expr); }
void unwrap(PyStatement& wrapper) noexcept { std::destroy_at(&wrapper.statement); }

PyQuarn* quarn_wrapper(PyObject* object) { return as_wrapper<PyQuarn>(object, types.quarn, "Quarn"); }
PyExpr* expr_wrapper(PyObject* object) { return as_wrapper<PyExpr>(object, types.expr, "Expr"); }
PyStatement* checked_statement_wrapper(PyObject* object) {
    return as_wrapper<PyStatement>(object, types.statement, "Statement");
}

}  // namespace velmo
