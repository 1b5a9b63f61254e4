#include "collector.hpp"

#include <utility>
#include <vector>

#include "callable.hpp"
#include "gil.hpp"
#include "quarn/owned_functions.hpp"
#include "wrappers.hpp"

namespace velmo {
namespace {

struct Visitor {
    visitproc visit;
    void* arg;
};

int visit_function(quarn::QuarnFunction& function, void* context) {
    auto* bound = dynamic_cast<PyQuarnFn*>(&function);
    auto* visitor = static_cast<Visitor*>(context);
    return bound ? visitor->visit(bound->callable(), visitor->arg) : 0;
}

// An instance holds its heap type, which the collector must be shown too.
template <class Wrapper, class Show>
int traverse(PyObject* self, visitproc visit, void* arg, Show&& show) {
    Py_VISIT(Py_TYPE(self));
    auto* wrapper = reinterpret_cast<Wrapper*>(self);
    if (!wrapper->built.yes()) return 0;
    Visitor visitor{visit, arg};
    return show(*wrapper, &visitor);
}

// A tree that holds nothing, put in place of a cleared one.
template <class Tree>
Tree empty_tree();
template <>
quarn::Statement empty_tree() {
    static const quarn::Statement* empty =
        new quarn::Statement(quarn::Statement::if_(quarn::Expr::literal(quarn::Value::boolean(true)), {}, {}));
    return *empty;
}
template <>
quarn::Expr empty_tree() {
    static const quarn::Expr* empty = new quarn::Expr(quarn::Expr::literal(quarn::Value()));
    return *empty;
}

// The old tree goes after the new one is in place; the functions it held
// are released at once (the entry marks this thread as holding the lock).
template <class Tree>
int clear_tree(Tree& tree) {
    ModuleEntry entry;
    Tree old = std::exchange(tree, empty_tree<Tree>());
    return 0;
}

}  // namespace

int traverse_quarn(PyObject* self, visitproc visit, void* arg) {
    return traverse<PyQuarn>(self, visit, arg, [](PyQuarn& w, Visitor* v) {
        return w.machine.vars.visit_owned_functions(visit_function, v);
    });
}

// Most trees hold no function at all, which the tree tells at once: each
// young object is shown to the collector at every collection.
int traverse_statement(PyObject* self, visitproc visit, void* arg) {
    return traverse<PyStatement>(self, visit, arg, [](PyStatement& w, Visitor* v) {
        return w.statement.reaches_function() ? quarn::visit_owned_functions(w.statement, visit_function, v) : 0;
    });
}

int traverse_expr(PyObject* self, visitproc visit, void* arg) {
    return traverse<PyExpr>(self, visit, arg, [](PyExpr& w, Visitor* v) {
        return w.expr.reaches_function() ? quarn::visit_owned_functions(w.expr, visit_function, v) : 0;
    });
}

int clear_quarn(PyObject* self) {
    auto* wrapper = reinterpret_cast<PyQuarn*>(self);
    if (!wrapper->built.yes()) return 0;
    ModuleEntry entry;
    std::vector<quarn::Value> taken = wrapper->machine.vars.take_functions();
    return 0;
}

int clear_statement(PyObject* self) {
    auto* wrapper = reinterpret_cast<PyStatement*>(self);
    return wrapper->built.yes() ? clear_tree(wrapper->statement) : 0;
}

int clear_expr(PyObject* self) {
    auto* wrapper = reinterpret_cast<PyExpr*>(self);
    return wrapper->built.yes() ? clear_tree(wrapper->expr) : 0;
}

}  // namespace velmo
