#include "result_objects.hpp"

#include <memory>
#include <unordered_map>

#include "arrow_owned.hpp"
#include "capsules.hpp"
#include "columns.hpp"
#include "errors.hpp"
#include "host.hpp"
#include "wrappers.hpp"

namespace velmo::tables {
namespace {

template <class Wrapper>
Wrapper* built_instance(PyObject* self, PyTypeObject* type) {
    if (!PyObject_TypeCheck(self, type)) {
        PyErr_BadInternalCall();
        throw PyErrOccurred{};
    }
    auto* wrapper = reinterpret_cast<Wrapper*>(self);
    if (!host::check_built(self, wrapper->built)) throw PyErrOccurred{};
    return wrapper;
}

Ref make_column(const NamedColumn& named) {
    Ref object = Ref::checked(PyBaseObject_Type.tp_alloc(types.column, 0));
    auto* column = reinterpret_cast<PyColumn*>(object.get());
    std::construct_at(&column->column, named);
    column->shape = static_cast<Py_ssize_t>(named.data->length);
    column->stride = named.data->kind == ColumnKind::Bool ? 1 : 8;
    column->built.mark();
    return object;
}

}  // namespace

PyColumn* column_of(PyObject* self) { return built_instance<PyColumn>(self, types.column); }
PyColumns* columns_of(PyObject* self) { return built_instance<PyColumns>(self, types.columns); }

Ref make_columns(std::vector<NamedColumn> named, std::vector<Ref> keys, Ref failures, std::int64_t rows) {
    Ref dict = Ref::checked(PyDict_New());
    for (std::size_t i = 0; i < named.size(); ++i)
        if (PyDict_SetItem(dict.get(), keys[i].get(), make_column(named[i]).get()) < 0) throw PyErrOccurred{};
    Ref object = Ref::checked(PyBaseObject_Type.tp_alloc(types.columns, 0));
    auto* columns = reinterpret_cast<PyColumns*>(object.get());
    std::construct_at(&columns->columns, std::move(dict));
    std::construct_at(&columns->failures, std::move(failures));
    std::construct_at(&columns->named, std::move(named));
    columns->rows = rows;
    columns->built.mark();
    return object;
}

// ---------------------------------------------------------------- Column

namespace column {
namespace {

Ref python_value(const ColumnData& data, std::int64_t i) {
    if (data.is_null(i)) return Ref::own(Py_None);
    switch (data.kind) {
    case ColumnKind::Int: return Ref::checked(PyLong_FromLongLong(data.values.at<std::int64_t>(static_cast<std::size_t>(i))));
    case ColumnKind::Float: return Ref::checked(PyFloat_FromDouble(data.values.at<double>(static_cast<std::size_t>(i))));
    case ColumnKind::Bool: return Ref::own(data.values.data()[i] ? Py_True : Py_False);
    default: {
        std::string_view text = data.text_at(i);
        return Ref::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    }
    }
}

// Every value made here, but a text that came just before is the same str.
Ref direct_list(const ColumnData& data) {
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(data.length)));
    std::string_view last;
    Ref last_text;
    for (std::int64_t i = 0; i < data.length; ++i) {
        Ref item;  // a text equal to the one before it is the same str
        if (data.kind == ColumnKind::Text && !data.is_null(i) && last_text && data.text_at(i) == last) {
            item = last_text;
        } else {
            item = python_value(data, i);
            if (data.kind == ColumnKind::Text && !data.is_null(i)) last = data.text_at(i), last_text = item;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

// Texts as codes into the table of the distinct ones, a null as the code
// of None, which ends the table.
Ref packed_texts(const ColumnData& data) {
    auto rows = static_cast<std::size_t>(data.length);
    std::unordered_map<std::string_view, std::int32_t> codes;
    std::vector<std::int32_t> coded(rows);
    Ref table = Ref::checked(PyList_New(0));
    for (std::size_t i = 0; i < rows; ++i) {
        auto row = static_cast<std::int64_t>(i);
        if (data.is_null(row)) {
            coded[i] = -1;
            continue;
        }
        std::string_view text = data.text_at(row);
        auto [at, added] = codes.try_emplace(text, static_cast<std::int32_t>(codes.size()));
        if (added) {
            Ref made = Ref::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
            if (PyList_Append(table.get(), made.get()) < 0) throw PyErrOccurred{};
        }
        coded[i] = at->second;
    }
    if (PyList_Append(table.get(), Py_None) < 0) throw PyErrOccurred{};
    for (std::int32_t& code : coded)
        if (code < 0) code = static_cast<std::int32_t>(codes.size());
    Ref bytes = Ref::checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(coded.data()),
                                                       static_cast<Py_ssize_t>(rows * sizeof(std::int32_t))));
    return unpack_column('t', bytes.get(), Py_None, table.get());
}

// The values packed as the Python side unpacks them (columns.hpp): numbers
// as their bytes, with a byte per row telling a value from a null.
Ref packed_list(const ColumnData& data) {
    if (data.kind == ColumnKind::Text) return packed_texts(data);
    auto rows = static_cast<std::size_t>(data.length);
    Ref valid = Ref::own(Py_None);
    if (data.null_count > 0 || data.kind == ColumnKind::Null) {
        std::string flags(rows, '\0');
        for (std::size_t i = 0; i < rows; ++i) flags[i] = data.is_null(static_cast<std::int64_t>(i)) ? 0 : 1;
        valid = Ref::checked(PyBytes_FromStringAndSize(flags.data(), static_cast<Py_ssize_t>(rows)));
    }
    std::size_t size = data.kind == ColumnKind::Null ? 0 : data.values.size();
    Ref bytes = Ref::checked(PyBytes_FromStringAndSize(data.values.data(), static_cast<Py_ssize_t>(size)));
    char kind = data.kind == ColumnKind::Int ? 'i' : data.kind == ColumnKind::Float ? 'f' : data.kind == ColumnKind::Bool ? 'b' : 'n';
    return unpack_column(kind, bytes.get(), valid.get(), Py_None);
}

}  // namespace

Py_ssize_t length(PyColumn* self) { return static_cast<Py_ssize_t>(self->column.data->length); }

Ref item(PyColumn* self, PyObject* index) {
    Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) throw PyErrOccurred{};
    Py_ssize_t size = length(self);
    if (i < 0) i += size;
    if (i < 0 || i >= size) {
        PyErr_SetString(PyExc_IndexError, "Column index out of range");
        throw PyErrOccurred{};
    }
    return python_value(*self->column.data, i);
}

// Where each object that crosses from C costs more than making it in
// Python code (host::kRowsAsColumns), the list is made on the Python side.
Ref to_pylist(PyColumn* self) {
    return host::kRowsAsColumns ? packed_list(*self->column.data) : direct_list(*self->column.data);
}

Ref iterate(PyColumn* self) { return Ref::checked(PyObject_GetIter(to_pylist(self).get())); }

Ref null_count(PyColumn* self) { return Ref::checked(PyLong_FromLongLong(self->column.data->null_count)); }

Ref arrow_array(PyColumn* self) {
    OwnedSchema schema;
    OwnedArray array;
    export_schema(self->column, schema.out());
    export_array(self->column, array.out());
    Ref schema_object = schema_capsule(std::move(schema));
    Ref array_object = array_capsule(std::move(array));
    return Ref::checked(PyTuple_Pack(2, schema_object.get(), array_object.get()));
}

// Numbers and booleans without a null, read-only, in place.
int get_buffer(PyColumn* self, Py_buffer* view, int flags) {
    const ColumnData& data = *self->column.data;
    bool numbers = data.kind == ColumnKind::Int || data.kind == ColumnKind::Float || data.kind == ColumnKind::Bool;
    if (!numbers || data.null_count > 0) {
        PyErr_SetString(PyExc_BufferError, "only a column of numbers or booleans without nulls is a buffer");
        return -1;
    }
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "a column is read-only");
        return -1;
    }
    view->obj = Ref::own(reinterpret_cast<PyObject*>(self)).release();
    view->buf = const_cast<char*>(data.values.data());
    view->itemsize = self->stride;
    view->len = self->shape * self->stride;
    view->readonly = 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(data.kind == ColumnKind::Int ? "q" : data.kind == ColumnKind::Float ? "d" : "?") : nullptr;
    view->shape = &self->shape;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &self->stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void destroy(PyColumn* self) noexcept { std::destroy_at(&self->column); }

}  // namespace column

// --------------------------------------------------------------- Columns

namespace columns {

// A Columns that the collector cleared holds nothing.
namespace {
PyObject* dict_of(PyColumns* self) {
    if (!self->columns) self->columns = Ref::checked(PyDict_New());
    return self->columns.get();
}
}  // namespace

Py_ssize_t length(PyColumns* self) { return PyDict_Size(dict_of(self)); }

Ref item(PyColumns* self, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict_of(self), key);
    if (found) return Ref::own(found);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    throw PyErrOccurred{};
}

bool contains(PyColumns* self, PyObject* key) {
    int found = PyDict_Contains(dict_of(self), key);
    if (found < 0) throw PyErrOccurred{};
    return found == 1;
}

Ref iterate(PyColumns* self) { return Ref::checked(PyObject_GetIter(dict_of(self))); }

Ref view(PyColumns* self, const char* method) {
    return Ref::checked(PyObject_CallMethod(dict_of(self), method, nullptr));
}

Ref get(PyColumns* self, PyObject* key, PyObject* fallback) {
    PyObject* found = PyDict_GetItemWithError(dict_of(self), key);
    if (!found && PyErr_Occurred()) throw PyErrOccurred{};
    return Ref::own(found ? found : fallback ? fallback : Py_None);
}

Ref num_rows(PyColumns* self) { return Ref::checked(PyLong_FromLongLong(self->rows)); }

Ref failures(PyColumns* self) {
    if (!self->failures) self->failures = Ref::checked(PyDict_New());
    return self->failures;
}

Ref arrow_stream(PyColumns* self) {
    OwnedStream stream;
    export_table_stream(self->named, self->rows, stream.out());
    return stream_capsule(std::move(stream));
}

Ref arrow_schema(PyColumns* self) {
    OwnedSchema schema;
    export_table_schema(self->named, schema.out());
    return schema_capsule(std::move(schema));
}

Ref arrow_array(PyColumns* self) {
    OwnedSchema schema;
    OwnedArray array;
    export_table_schema(self->named, schema.out());
    export_table_array(self->named, self->rows, array.out());
    Ref schema_object = schema_capsule(std::move(schema));
    Ref array_object = array_capsule(std::move(array));
    return Ref::checked(PyTuple_Pack(2, schema_object.get(), array_object.get()));
}

int traverse(PyColumns* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!self->built.yes()) return 0;
    Py_VISIT(self->columns.get());
    Py_VISIT(self->failures.get());
    return 0;
}

// The dicts go after the fields are emptied: dropping them may run
// finalisers that reach this object.
int clear(PyColumns* self) {
    if (!self->built.yes()) return 0;
    Ref columns = std::move(self->columns), failures = std::move(self->failures);
    return 0;
}

void destroy(PyColumns* self) noexcept {
    std::destroy_at(&self->named);
    std::destroy_at(&self->failures);
    std::destroy_at(&self->columns);
}

}  // namespace columns
}  // namespace velmo::tables
