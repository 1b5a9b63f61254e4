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

HeldStatements statements_arg(PyObject* object) {
    HeldStatements held;
    auto tree = [](PyObject* item) { return &statement_wrapper(item)->statement; };
    if (PyTuple_CheckExact(object) || (host::kListCopiedAtOnce && PyList_CheckExact(object))) {
        held.tuple = PyTuple_CheckExact(object) ? Ref::own(object) : Ref::checked(PyList_AsTuple(object));
        held.trees = list_arg<const quarn::Statement*>(held.tuple.get(), tree);
        return held;
    }
    held.items = list_arg<Ref>(object, [](PyObject* item) {
        statement_wrapper(item);
        return Ref::own(item);
    });
    for (const Ref& item : held.items) held.trees.push_back(tree(item.get()));
    return held;
}

}  // namespace velmo
