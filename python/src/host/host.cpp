#include "host.hpp"

#include <cstring>
#include <string>

namespace velmo::host {

#ifdef PYPY_VERSION
namespace {

// The types made by this module (Quarn, Statement, Expr, Columns, Column), which PyPy names
// without their module.
PyTypeObject* finished[5] = {};

void remember(PyTypeObject* type) {
    for (PyTypeObject*& slot : finished) {
        if (slot == nullptr || slot == type) {
            slot = type;
            return;
        }
    }
}

// A type's name as CPython's tp_name reads.
std::string cpython_tp_name(PyTypeObject* type) {
    for (PyTypeObject* own : finished)
        if (own == type) return std::string("builtins.") + type->tp_name;
    return type->tp_name;
}

// CPython's __new__ of a type made in C, with its texts: PyPy's passes its
// first argument to tp_new unchecked, so that Quarn.__new__(Expr) would build
// a machine inside an Expr.
PyObject* checked_new(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!room_for_call()) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(self);
    std::string name = cpython_tp_name(type);
    if (PyTuple_GET_SIZE(args) < 1) {
        PyErr_Format(PyExc_TypeError, "%s.__new__(): not enough arguments", name.c_str());
        return nullptr;
    }
    PyObject* first = PyTuple_GET_ITEM(args, 0);
    if (!PyType_Check(first)) {
        PyErr_Format(PyExc_TypeError, "%s.__new__(X): X is not a type object (%s)", name.c_str(),
                     cpython_tp_name(Py_TYPE(first)).c_str());
        return nullptr;
    }
    auto* subtype = reinterpret_cast<PyTypeObject*>(first);
    if (!PyType_IsSubtype(subtype, type)) {
        std::string sub = cpython_tp_name(subtype);
        PyErr_Format(PyExc_TypeError, "%s.__new__(%s): %s is not a subtype of %s", name.c_str(), sub.c_str(),
                     sub.c_str(), name.c_str());
        return nullptr;
    }
    Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
    return rest ? type->tp_new(subtype, rest.get(), kwargs) : nullptr;
}

PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) {
    // Called on the new subclass; the refusing class is its base. PyPy's
    // tp_name is the bare class name.
    PyErr_Format(PyExc_TypeError, "type 'builtins.%s' is not an acceptable base type",
                 reinterpret_cast<PyTypeObject*>(cls)->tp_base->tp_name);
    return nullptr;
}

PyObject* refuse_attribute(PyObject* self, PyObject* args) {
    PyObject* name = PyTuple_Size(args) > 0 ? PyTuple_GetItem(args, 0) : nullptr;
    if (!name) return nullptr;
    PyErr_Format(PyExc_AttributeError, "'builtins.%s' object has no attribute '%U'", Py_TYPE(self)->tp_name, name);
    return nullptr;
}

PyMethodDef init_subclass_def = {"__init_subclass__",
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(refuse_subclass)),
                                 METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr};
PyMethodDef new_def = {"__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(checked_new)),
                        METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef setattr_def = {"__setattr__", refuse_attribute, METH_VARARGS, nullptr};
PyMethodDef delattr_def = {"__delattr__", refuse_attribute, METH_VARARGS, nullptr};

bool install(PyTypeObject* type, Ref descriptor, const char* name) {
    return descriptor && PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, descriptor.get()) == 0;
}

}  // namespace

bool finish_type(PyTypeObject* type) {
    remember(type);
    auto* self = reinterpret_cast<PyObject*>(type);
    return install(type, Ref::steal(PyDescr_NewClassMethod(type, &init_subclass_def)), "__init_subclass__") &&
           install(type, Ref::steal(PyDescr_NewMethod(type, &setattr_def)), "__setattr__") &&
           install(type, Ref::steal(PyDescr_NewMethod(type, &delattr_def)), "__delattr__") &&
           install(type, Ref::steal(PyCFunction_NewEx(&new_def, self, nullptr)), "__new__");
}

bool finish_module(PyObject* module) {
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    return empty && PyObject_SetAttrString(module, "__doc__", empty.get()) == 0;
}

namespace {

// Kept for the life of the process, like the types.
PyObject* signal_poll = nullptr;

}  // namespace

bool prepare_signal_checks() {
    if (signal_poll) return true;
    Ref globals = Ref::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return false;
    Ref made = Ref::steal(PyRun_String("def poll():\n"
                                       "    pending = True\n"
                                       "    while pending:\n"
                                       "        pending = False\n",
                                       Py_file_input, globals.get(), globals.get()));
    if (!made) return false;
    signal_poll = PyDict_GetItemString(globals.get(), "poll");
    Py_XINCREF(signal_poll);
    return signal_poll != nullptr;
}

int check_signals() {
    Ref done = Ref::steal(PyObject_CallNoArgs(signal_poll));
    return done ? 0 : -1;
}

// A frame of 32 kB between the caller and PyPy's check (see host.hpp).
__attribute__((noinline)) int enter_recursive_call(const char* where) {
    constexpr std::size_t kMargin = 32 * 1024;
    volatile char* pad = static_cast<volatile char*>(__builtin_alloca(kMargin));
    pad[0] = 0;
    return Py_EnterRecursiveCall(where);
}

bool dict_items(PyObject* dict, std::vector<Ref>& items) {
    Ref iterator = Ref::steal(PyObject_GetIter(dict));
    if (!iterator) return false;
    bool plain = true;
    while (Ref key = Ref::steal(PyIter_Next(iterator.get()))) {
        plain = plain && (PyUnicode_CheckExact(key.get()) || PyLong_CheckExact(key.get()));
        items.push_back(std::move(key));
        items.emplace_back();
    }
    if (PyErr_Occurred()) return false;
    Ref values = plain ? Ref() : Ref::steal(PyDict_Values(dict));
    if (!plain && !values) return false;
    for (std::size_t i = 0; i < items.size(); i += 2) {
        PyObject* value = plain ? PyDict_GetItemWithError(dict, items[i].get())
                                : PyList_GetItem(values.get(), static_cast<Py_ssize_t>(i / 2));
        if (!value) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a call of the C API failed without a reason");
            return false;
        }
        items[i + 1] = Ref::own(value);
    }
    return true;
}

namespace detail {

thread_local std::uintptr_t roomy_frame = 0;

bool room_for_call_slow(std::uintptr_t frame) noexcept {
    if (Py_EnterRecursiveCall("") != 0) return false;
    Py_LeaveRecursiveCall();
    roomy_frame = frame;
    return true;
}

}  // namespace detail

#else

namespace {

std::string cpython_tp_name(PyTypeObject* type) { return type->tp_name; }

}  // namespace

bool finish_type(PyTypeObject*) { return true; }
bool finish_module(PyObject*) { return true; }
bool prepare_signal_checks() { return true; }
int check_signals() { return PyErr_CheckSignals(); }

#endif

#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030A0000
bool keep_text_signature(PyTypeObject* type, const PyType_Spec& spec) {
    for (const PyType_Slot* slot = spec.slots; slot->slot != 0; ++slot) {
        if (slot->slot != Py_tp_doc || slot->pfunc == nullptr) continue;
        std::size_t size = std::strlen(static_cast<const char*>(slot->pfunc)) + 1;
        auto* doc = static_cast<char*>(PyObject_Malloc(size));
        if (!doc) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(doc, slot->pfunc, size);
        PyObject_Free(const_cast<char*>(type->tp_doc));  // the type frees the new copy as it would have this one
        type->tp_doc = doc;
    }
    return true;
}
#else
bool keep_text_signature(PyTypeObject*, const PyType_Spec&) { return true; }
#endif

void refuse_object_new(PyTypeObject* type) {
    std::string name = cpython_tp_name(type);
    PyErr_Format(PyExc_TypeError, "object.__new__(%s) is not safe, use %s.__new__()", name.c_str(), name.c_str());
}

}  // namespace velmo::host
