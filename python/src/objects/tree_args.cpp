#include "tree_args.hpp"

#include "sequence.hpp"

namespace velmo {
namespace {

// Taking a tree out of its object runs no Python code that could change the
// list being read.
template <class T, class Convert>
std::vector<T> list_arg(PyObject* object, Convert convert) {
    check_sequence(object);
    return convert_items<T, ItemCode::None>(object, convert);
}

}  // namespace

std::vector<quarn::Expr> expr_list_arg(PyObject* object) { return list_arg<quarn::Expr>(object, expr_arg); }

quarn::Program statement_list_arg(PyObject* object) { return list_arg<quarn::Statement>(object, statement_arg); }

// An exact list or tuple is read in place: checking an item's type runs no
// Python code that could change the list meanwhile. Any other sequence goes
// through the one sequence walker.
HeldStatements::HeldStatements(PyObject* object) {
    check_sequence(object);
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
        PyObject** items = size > 0 ? host::fast_items(object) : nullptr;
        if (size > 0 && !items) throw_pending_or_system_error();
        trees_.reserve(static_cast<std::size_t>(size));
        held_.reserve(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) hold(items[i]);
        return;
    }
    auto checked = [](PyObject* item) {
        statement_wrapper(item);
        return Ref::own(item);
    };
    std::vector<Ref> items = convert_items<Ref, ItemCode::None>(object, checked);
    trees_.reserve(items.size());
    held_.reserve(items.size());
    for (const Ref& item : items) hold(item.get());
}

}  // namespace velmo
