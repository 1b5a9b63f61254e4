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

std::vector<Ref> statement_objects_arg(PyObject* object) {
    return list_arg<Ref>(object, [](PyObject* item) {
        statement_wrapper(item);
        return Ref::own(item);
    });
}

}  // namespace velmo
