// The types of what a table run gives back, Columns and Column: their
// method tables and slots, each body in tables/result_objects.cpp. Neither
// is made from Python; the instances come from Quarn.run_columns.

#include "boundary.hpp"
#include "classes.hpp"
#include "result_objects.hpp"

namespace velmo {

namespace {

using namespace tables;

constexpr Signature column_to_pylist{"Column.to_pylist()", nullptr, 0, 0};
constexpr const char* requested_params[] = {"requested_schema"};
constexpr Signature column_arrow_array{"Column.__arrow_c_array__()", requested_params, 1, 1, 1};
constexpr Signature columns_keys{"Columns.keys()", nullptr, 0, 0};
constexpr Signature columns_values{"Columns.values()", nullptr, 0, 0};
constexpr Signature columns_items{"Columns.items()", nullptr, 0, 0};
constexpr const char* get_params[] = {"key", "default"};
constexpr Signature columns_get{"Columns.get()", get_params, 2, 2, 1};
constexpr Signature columns_arrow_stream{"Columns.__arrow_c_stream__()", requested_params, 1, 1, 1};
constexpr Signature columns_arrow_schema{"Columns.__arrow_c_schema__()", nullptr, 0, 0};
constexpr Signature columns_arrow_array{"Columns.__arrow_c_array__()", requested_params, 1, 1, 1};

template <class F>
PyCFunction fast(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}
constexpr int kMethod = METH_FASTCALL | METH_KEYWORDS;

// A method of a Column (or Columns) whose body takes its bound arguments.
template <class Self, Self* (*Of)(PyObject*), const Signature& S, Ref (*Body)(Self*, PyObject* const*)>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[kMaxParams];
        bind(S, args, nargs, kwnames, bound);
        return Body(Of(self), bound).release();
    });
}

// A requested schema is a wish that a producer may pass over, as this one does.
Ref to_pylist(PyColumn* self, PyObject* const*) { return column::to_pylist(self); }
Ref column_capsules(PyColumn* self, PyObject* const*) { return column::arrow_array(self); }
Ref keys(PyColumns* self, PyObject* const*) { return columns::view(self, "keys"); }
Ref values(PyColumns* self, PyObject* const*) { return columns::view(self, "values"); }
Ref items(PyColumns* self, PyObject* const*) { return columns::view(self, "items"); }
Ref get(PyColumns* self, PyObject* const* args) { return columns::get(self, args[0], args[1]); }
Ref stream(PyColumns* self, PyObject* const*) { return columns::arrow_stream(self); }
Ref schema(PyColumns* self, PyObject* const*) { return columns::arrow_schema(self); }
Ref table_capsules(PyColumns* self, PyObject* const*) { return columns::arrow_array(self); }

template <const Signature& S, Ref (*Body)(PyColumn*, PyObject* const*)>
constexpr auto on_column = method<PyColumn, column_of, S, Body>;
template <const Signature& S, Ref (*Body)(PyColumns*, PyObject* const*)>
constexpr auto on_columns = method<PyColumns, columns_of, S, Body>;

PyMethodDef column_methods[] = {
    {"to_pylist", fast(on_column<column_to_pylist, to_pylist>), kMethod, "to_pylist($self)\n--\n\n"},
    {"__arrow_c_array__", fast(on_column<column_arrow_array, column_capsules>), kMethod,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef columns_methods[] = {
    {"keys", fast(on_columns<columns_keys, keys>), kMethod, "keys($self)\n--\n\n"},
    {"values", fast(on_columns<columns_values, values>), kMethod, "values($self)\n--\n\n"},
    {"items", fast(on_columns<columns_items, items>), kMethod, "items($self)\n--\n\n"},
    {"get", fast(on_columns<columns_get, get>), kMethod, "get($self, key, default=None, /)\n--\n\n"},
    {"__arrow_c_stream__", fast(on_columns<columns_arrow_stream, stream>), kMethod,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"},
    {"__arrow_c_schema__", fast(on_columns<columns_arrow_schema, schema>), kMethod, "__arrow_c_schema__($self)\n--\n\n"},
    {"__arrow_c_array__", fast(on_columns<columns_arrow_array, table_capsules>), kMethod,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------------------ slots

PyObject* null_count_get(PyObject* self, void*) {
    return guarded([&] { return column::null_count(column_of(self)).release(); });
}
PyObject* num_rows_get(PyObject* self, void*) {
    return guarded([&] { return columns::num_rows(columns_of(self)).release(); });
}
PyObject* failures_get(PyObject* self, void*) {
    return guarded([&] { return columns::failures(columns_of(self)).release(); });
}

PyGetSetDef column_getset[] = {
    {"null_count", null_count_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef columns_getset[] = {
    {"num_rows", num_rows_get, nullptr, nullptr, nullptr},
    {"failures", failures_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

Py_ssize_t column_length(PyObject* self) {
    return guarded_as<Py_ssize_t>(-1, [&] { return column::length(column_of(self)); });
}
PyObject* column_item(PyObject* self, PyObject* index) {
    return guarded([&] { return column::item(column_of(self), index).release(); });
}
PyObject* column_iter(PyObject* self) {
    return guarded([&] { return column::iterate(column_of(self)).release(); });
}
int column_buffer(PyObject* self, Py_buffer* view, int flags) {
    return guarded_as(-1, [&] { return column::get_buffer(column_of(self), view, flags); });
}

Py_ssize_t columns_length(PyObject* self) {
    return guarded_as<Py_ssize_t>(-1, [&] { return columns::length(columns_of(self)); });
}
PyObject* columns_item(PyObject* self, PyObject* key) {
    return guarded([&] { return columns::item(columns_of(self), key).release(); });
}
int columns_contains(PyObject* self, PyObject* key) {
    return guarded_as(-1, [&] { return columns::contains(columns_of(self), key) ? 1 : 0; });
}
PyObject* columns_iter(PyObject* self) {
    return guarded([&] { return columns::iterate(columns_of(self)).release(); });
}
int columns_traverse(PyObject* self, visitproc visit, void* arg) {
    return columns::traverse(reinterpret_cast<PyColumns*>(self), visit, arg);
}
int columns_clear(PyObject* self) { return columns::clear(reinterpret_cast<PyColumns*>(self)); }

void column_dealloc(PyObject* self) {
    auto* column = reinterpret_cast<PyColumn*>(self);
    if (column->built.yes()) column::destroy(column);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The collector stops looking at the object first: dropping what it holds
// may run Python code that starts a collection.
void columns_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* columns = reinterpret_cast<PyColumns*>(self);
    if (columns->built.yes()) columns::destroy(columns);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <const char* Message>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, Message);
    return nullptr;
}
constexpr char kNoColumn[] = "No constructor defined for Column: a column comes from Quarn.run_columns";
constexpr char kNoColumns[] = "No constructor defined for Columns: they come from Quarn.run_columns";

template <class F>
PyType_Slot slot(int id, F f) {
    return {id, reinterpret_cast<void*>(f)};
}

PyType_Slot column_slots[] = {
    slot(Py_tp_base, &PyBaseObject_Type),
    slot(Py_tp_methods, column_methods),
    slot(Py_tp_getset, column_getset),
    slot(Py_tp_new, no_constructor<kNoColumn>),
    slot(Py_tp_dealloc, column_dealloc),
    slot(Py_mp_length, column_length),
    slot(Py_sq_length, column_length),
    slot(Py_mp_subscript, column_item),
    slot(Py_tp_iter, column_iter),
    slot(Py_bf_getbuffer, column_buffer),
    {0, nullptr},
};

PyType_Slot columns_slots[] = {
    slot(Py_tp_base, &PyBaseObject_Type),
    slot(Py_tp_methods, columns_methods),
    slot(Py_tp_getset, columns_getset),
    slot(Py_tp_new, no_constructor<kNoColumns>),
    slot(Py_tp_dealloc, columns_dealloc),
    slot(Py_tp_traverse, columns_traverse),
    slot(Py_tp_clear, columns_clear),
    slot(Py_mp_length, columns_length),
    slot(Py_mp_subscript, columns_item),
    slot(Py_sq_contains, columns_contains),
    slot(Py_tp_iter, columns_iter),
    {0, nullptr},
};

PyType_Spec column_spec{"builtins.Column", sizeof(PyColumn), 0, Py_TPFLAGS_DEFAULT, column_slots};
PyType_Spec columns_spec{"builtins.Columns", sizeof(PyColumns), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                         columns_slots};

// A Columns is a Mapping to isinstance(), as the dict it reads like.
bool register_mapping(PyTypeObject* type) {
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    Ref mapping = abc ? Ref::steal(PyObject_GetAttrString(abc.get(), "Mapping")) : Ref();
    Ref done = mapping ? Ref::steal(PyObject_CallMethod(mapping.get(), "register", "O", type)) : Ref();
    return static_cast<bool>(done);
}

}  // namespace

bool make_result_types(TypeMaker make) {
    bool first = types.columns == nullptr;
    return make(column_spec, types.column) && make(columns_spec, types.columns) &&
           (!first || register_mapping(types.columns));
}

}  // namespace velmo
