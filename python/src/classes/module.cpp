// The module: initialisation, which makes the classes once per process and
// registers them in the order Quarn, Statement, Expr, beside the module's
// own private functions (the loaders of pickled objects).

#include "classes.hpp"
#include "capsules.hpp"
#include "columns.hpp"
#include "interrupts.hpp"
#include "panic.hpp"
#include "pickling.hpp"
#include "pyref.hpp"

namespace velmo {
namespace {

// The C-API version the module is created for.
constexpr int kApiVersion = 1013;

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "velmo", "", 0, module_functions, nullptr, nullptr, nullptr, nullptr};

PyObject* cached_module = nullptr;

bool register_class(PyObject* module, const char* name, PyTypeObject* type) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
    if (cached_module) {
        Py_INCREF(cached_module);
        return cached_module;
    }
    Ref module = Ref::steal(PyModule_Create2(&module_def, kApiVersion));
    if (!module || !host::finish_module(module.get()) || !make_types() || !make_panic_type() ||
        !install_interrupt_check() || !pickling::keep_loaders(module.get()) || !prepare_columns())
        return nullptr;
    if (!register_class(module.get(), "Quarn", types.quarn) ||
        !register_class(module.get(), "Statement", types.statement) ||
        !register_class(module.get(), "Expr", types.expr) ||
        !register_class(module.get(), "Columns", types.columns) ||
        !register_class(module.get(), "Column", types.column)) {
        return nullptr;
    }
    tables::keep_errors_around_releases();
    cached_module = module.get();
    Py_INCREF(cached_module);  // the cache's own reference
    return module.release();
}

}  // namespace
}  // namespace velmo

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velmo(void) {
    return velmo::init_module();
}
