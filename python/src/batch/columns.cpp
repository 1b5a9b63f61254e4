#include "columns.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "convert.hpp"
#include "errors.hpp"
#include "host.hpp"
#include "recursion_guard.hpp"

namespace velmo {
namespace {

// The Python side. A column's kind is decided by its values' exact types
// alone, which is what the module's own conversion decides by first: a
// column of floats is all doubles, one of ints that fit 64 bits all
// integers, one of strs all texts; anything else goes as it is. A chunk
// takes only rows whose values convert with no Python code of their own
// (None, bool, int, float, str): a row read ahead then sees what the rows
// before it did, exactly as a row read in its turn would.
constexpr const char* kSource = R"(
from array import array

PLAIN = (type(None), bool, int, float, str)

def pack(chunk, width):
    count = 0
    for row in chunk:
        kind = type(row)
        if (kind is tuple or kind is list) and len(row) == width and all(type(v) in PLAIN for v in row):
            count += 1
        else:
            break
    rows = chunk if count == len(chunk) else chunk[:count]
    return count, tuple([column([row[i] for row in rows]) for i in range(width)])

def column(values):
    if all(type(v) is float for v in values):
        return "f", array("d", values).tobytes()
    if all(type(v) is int for v in values):
        try:
            return "i", array("q", values).tobytes()
        except OverflowError:
            pass
    if all(type(v) is str or v is None for v in values):
        table = {}
        return "t", array("i", [table.setdefault(v, len(table)) for v in values]).tobytes(), list(table)
    return "o", values

def pack_one(values):
    return column(values)

def unpack(results, columns, failures, count):
    values = [decode(c) for c in columns]
    rows = list(zip(*values)) if values else [()] * count
    for at, exception in failures:
        rows[at] = exception
    results.extend(rows)

def unpack_column(kind, data, valid, table):
    if kind == "t":
        codes = array("i")
        codes.frombytes(data)
        return [table[code] for code in codes]
    if kind == "n":
        return [None] * len(valid)
    if kind == "b":
        values = [byte != 0 for byte in data]
    else:
        numbers = array("q" if kind == "i" else "d")
        numbers.frombytes(data)
        values = numbers.tolist()
    if valid is None:
        return values
    return [value if ok else None for value, ok in zip(values, valid)]

def decode(column):
    kind = column[0]
    if kind == "o":
        return column[1]
    numbers = array({"f": "d", "i": "q", "t": "i"}[kind])
    numbers.frombytes(column[1])
    if kind == "t":
        table = column[2]
        return [table[code] for code in numbers]
    return list(numbers)
)";

// The two functions, kept for the life of the process, like the types.
PyObject* pack_function = nullptr;
PyObject* pack_one_function = nullptr;
PyObject* unpack_function = nullptr;
PyObject* unpack_column_function = nullptr;

[[noreturn]] void malformed() {
    PyErr_SetString(PyExc_SystemError, "velmo: a packed chunk of rows is malformed");
    throw PyErrOccurred{};
}

}  // namespace

// The source runs with a copy of the builtins as they are when the module
// loads: a program that later replaces `len` or `all` does not change what
// a batch computes.
bool prepare_columns() {
    if (!host::kRowsAsColumns || pack_function) return true;
    Ref module = Ref::steal(PyImport_ImportModule("builtins"));
    Ref builtins = module ? Ref::steal(PyDict_Copy(PyModule_GetDict(module.get()))) : Ref();
    Ref globals = Ref::steal(PyDict_New());
    if (!builtins || !globals || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) return false;
    Ref made = Ref::steal(PyRun_String(kSource, Py_file_input, globals.get(), globals.get()));
    if (!made) return false;
    pack_function = PyDict_GetItemString(globals.get(), "pack");
    pack_one_function = PyDict_GetItemString(globals.get(), "pack_one");
    unpack_function = PyDict_GetItemString(globals.get(), "unpack");
    unpack_column_function = PyDict_GetItemString(globals.get(), "unpack_column");
    Py_XINCREF(unpack_column_function);
    Py_XINCREF(pack_function);
    Py_XINCREF(pack_one_function);
    Py_XINCREF(unpack_function);
    return pack_function && pack_one_function && unpack_function && unpack_column_function;
}

// ---------------------------------------------------------------- input

InputColumns::InputColumns(PyObject* chunk, std::size_t width) {
    Ref size = Ref::checked(PyLong_FromSize_t(width));
    packed_ = Ref::checked(python_call([&] { return PyObject_CallFunctionObjArgs(pack_function, chunk, size.get(), nullptr); }, nullptr));
    PyObject* columns = PyTuple_Check(packed_.get()) && PyTuple_GET_SIZE(packed_.get()) == 2 ? PyTuple_GET_ITEM(packed_.get(), 1) : nullptr;
    if (!columns || !PyTuple_Check(columns) || static_cast<std::size_t>(PyTuple_GET_SIZE(columns)) != width) malformed();
    count_ = PyLong_AsSize_t(PyTuple_GET_ITEM(packed_.get(), 0));
    if (count_ == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PyErrOccurred{};
    columns_.reserve(width);
    for (std::size_t i = 0; i < width; ++i) columns_.emplace_back(PyTuple_GET_ITEM(columns, static_cast<Py_ssize_t>(i)), count_);
}

PackedColumn::PackedColumn(PyObject* values) {
    Ref packed = Ref::checked(python_call([&] { return PyObject_CallOneArg(pack_one_function, values); }, nullptr));
    take(packed.get(), static_cast<std::size_t>(PyList_GET_SIZE(values)));
}

PackedColumn::PackedColumn(PyObject* packed, std::size_t count) { take(packed, count); }

// A column's kind and values; the arrays are read in place, through their
// buffers, as numbers of the size their kind gives.
void PackedColumn::take(PyObject* packed, std::size_t count) {
    if (!PyTuple_Check(packed) || PyTuple_GET_SIZE(packed) < 2 || !PyUnicode_Check(PyTuple_GET_ITEM(packed, 0))) malformed();
    kind_ = static_cast<char>(PyUnicode_READ_CHAR(PyTuple_GET_ITEM(packed, 0), 0));
    values_ = Ref::own(PyTuple_GET_ITEM(packed, 1));
    if (kind_ == 'o') {
        if (!PyList_Check(values_.get()) || static_cast<std::size_t>(PyList_GET_SIZE(values_.get())) != count) malformed();
        return;
    }
    std::size_t item = kind_ == 't' ? sizeof(std::int32_t) : sizeof(std::int64_t);
    if (!PyBytes_Check(values_.get()) || static_cast<std::size_t>(PyBytes_GET_SIZE(values_.get())) != count * item)
        malformed();
    numbers_ = PyBytes_AS_STRING(values_.get());
    if (kind_ != 't') return;
    table_ = Ref::own(PyTuple_GET_SIZE(packed) == 3 ? PyTuple_GET_ITEM(packed, 2) : nullptr);
    if (!table_ || !PyList_Check(table_.get())) malformed();
    texts_.resize(static_cast<std::size_t>(PyList_GET_SIZE(table_.get())));
}

quarn::Value PackedColumn::value(std::size_t row) {
    auto number = [&](auto type) {
        decltype(type) n;
        std::memcpy(&n, numbers_ + row * sizeof n, sizeof n);
        return n;
    };
    switch (kind_) {
    case 'f': return quarn::Value::real(number(double{}));
    case 'i': return quarn::Value::integer(number(std::int64_t{}));
    case 't': {
        auto code = static_cast<std::size_t>(number(std::int32_t{}));
        if (code >= texts_.size()) malformed();
        if (!texts_[code]) texts_[code] = extract_value(Ref::own(PyList_GET_ITEM(table_.get(), code)).get());
        return *texts_[code];
    }
    default: return extract_value(Ref::own(PyList_GET_ITEM(values_.get(), static_cast<Py_ssize_t>(row))).get());
    }
}

// --------------------------------------------------------------- output

OutputColumns::OutputColumns(std::size_t outputs, std::size_t rows) : columns_(outputs) {
    for (Column& column : columns_) column.values.reserve(rows);
    failed_.reserve(rows);
}

void OutputColumns::put(std::size_t column, const quarn::Value& value) {
    Column& c = columns_[column];
    if (value.kind() == quarn::Kind::Vector || value.kind() == quarn::Kind::Function) {
        c.objects.emplace_back(failed_.size(), to_python(value));
        c.values.emplace_back();
        return;
    }
    c.values.push_back(value);
}

void OutputColumns::end_row() { failed_.push_back(false); }

void OutputColumns::skip() {
    for (Column& column : columns_) {
        column.values.resize(failed_.size());
        column.values.emplace_back();
        while (!column.objects.empty() && column.objects.back().first == failed_.size()) column.objects.pop_back();
    }
    failed_.push_back(true);
}

namespace {

// The kind that a column's values share, failed rows aside: 'f' doubles,
// 'i' integers, 't' texts, else 'o'.
char shared_kind(const std::vector<quarn::Value>& values, const std::vector<bool>& failed) {
    char kind = 0;
    for (std::size_t row = 0; row < values.size(); ++row) {
        if (failed[row]) continue;
        const quarn::Value& value = values[row];
        char own = value.is_int() ? 'i' : value.is_number() ? 'f' : value.kind() == quarn::Kind::String ? 't' : 'o';
        if (kind && own != kind) return 'o';
        kind = own;
    }
    return kind ? kind : 'f';
}

Ref packed_column(const char* kind, Ref values, Ref table = Ref()) {
    Ref tag = Ref::checked(PyUnicode_FromString(kind));
    return Ref::checked(table ? PyTuple_Pack(3, tag.get(), values.get(), table.get())
                              : PyTuple_Pack(2, tag.get(), values.get()));
}

// Doubles or integers as the bytes of their machine words; a failed row's
// is 0, which its exception stands in place of.
Ref numbers(const std::vector<quarn::Value>& values, const std::vector<bool>& failed, char kind) {
    std::vector<char> bytes(values.size() * sizeof(std::uint64_t));
    for (std::size_t row = 0; row < values.size(); ++row) {
        if (failed[row]) continue;
        std::uint64_t word = kind == 'i' ? static_cast<std::uint64_t>(values[row].as_int())
                                         : std::bit_cast<std::uint64_t>(values[row].to_double());
        std::memcpy(bytes.data() + row * sizeof word, &word, sizeof word);
    }
    Ref packed = Ref::checked(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    return packed_column(kind == 'i' ? "i" : "f", std::move(packed));
}

// Texts as codes into a table of the distinct ones, each made once.
Ref texts(const std::vector<quarn::Value>& values, const std::vector<bool>& failed) {
    std::vector<std::int32_t> codes(values.size());
    std::vector<const quarn::Value*> distinct;
    Ref table = Ref::checked(PyList_New(0));
    for (std::size_t row = 0; row < values.size(); ++row) {
        if (failed[row]) continue;
        auto known = std::find_if(distinct.begin(), distinct.end(), [&](const quarn::Value* v) { return v->same_cell(values[row]); });
        if (known == distinct.end()) {
            if (PyList_Append(table.get(), to_python(values[row]).get()) < 0) throw PyErrOccurred{};
            known = distinct.insert(distinct.end(), &values[row]);
        }
        codes[row] = static_cast<std::int32_t>(known - distinct.begin());
    }
    Ref bytes = Ref::checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(codes.data()),
                                                       static_cast<Py_ssize_t>(codes.size() * sizeof(std::int32_t))));
    return packed_column("t", std::move(bytes), std::move(table));
}

}  // namespace

// A column of anything: each value made into its object, or the object made
// when it was read; a failed row's is None.
Ref OutputColumns::pack_objects(Column& column) {
    Ref list = Ref::checked(PyList_New(0));
    auto object = column.objects.begin();
    for (std::size_t row = 0; row < column.values.size(); ++row) {
        Ref item = failed_[row] ? Ref::own(Py_None) : to_python(column.values[row]);
        if (object != column.objects.end() && object->first == row) item = std::move((object++)->second);
        if (PyList_Append(list.get(), item.get()) < 0) throw PyErrOccurred{};
    }
    return packed_column("o", std::move(list));
}

Ref OutputColumns::pack(Column& column) {
    char kind = column.objects.empty() ? shared_kind(column.values, failed_) : 'o';
    if (kind == 'f' || kind == 'i') return numbers(column.values, failed_, kind);
    if (kind == 't') return texts(column.values, failed_);
    return pack_objects(column);
}

Ref OutputColumns::packed() {
    Ref tuple = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(columns_.size())));
    for (std::size_t i = 0; i < columns_.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), pack(columns_[i]).release());
    return tuple;
}

void unpack_rows(PyObject* results, PyObject* outputs, PyObject* failures, std::size_t rows) {
    Ref count = Ref::checked(PyLong_FromSize_t(rows));
    Ref done = Ref::checked(python_call(
        [&] { return PyObject_CallFunctionObjArgs(unpack_function, results, outputs, failures, count.get(), nullptr); },
        nullptr));
}


Ref unpack_column(char kind, PyObject* data, PyObject* valid, PyObject* table) {
    Ref tag = Ref::checked(PyUnicode_FromStringAndSize(&kind, 1));
    return Ref::checked(python_call(
        [&] { return PyObject_CallFunctionObjArgs(unpack_column_function, tag.get(), data, valid, table, nullptr); },
        nullptr));
}

}  // namespace velmo
