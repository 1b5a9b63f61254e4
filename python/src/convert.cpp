#include "convert.hpp"

#include <cstring>
#include <optional>

#include "errors.hpp"
#include "gil.hpp"
#include "stack_limit.hpp"

namespace velmo {
namespace {

// Why one variant did not fit. Texts are only built once every variant has
// failed, so the common successful conversions stay cheap. A mismatch keeps
// the object's type as the attempt saw it: a later attempt's Python code may
// assign the object's __class__.
struct Miss {
    const char* target = nullptr;   // a type mismatch against this target
    Ref type;                       // of the object, for the mismatch text
    const char* message = nullptr;  // a fixed TypeError text
    Ref raised;                     // or an error the attempt raised

    // Against the object's type now, or against a type the caller took.
    static Miss mismatch(PyObject* o, const char* target) {
        return {target, Ref::steal(host::type_of(o)), nullptr, {}};
    }
    static Miss mismatch_of(PyObject* type, const char* target) { return {target, Ref::own(type), nullptr, {}}; }
    static Miss text(const char* message) { return {nullptr, {}, message, {}}; }
    static Miss pending() { return {nullptr, {}, nullptr, fetch_error()}; }

    std::string chain() const {
        if (raised) return chain_form(raised.get());
        if (!target) return std::string("TypeError: ") + message;
        return "TypeError: " + mismatch_text(reinterpret_cast<PyTypeObject*>(type.get()), target);
    }
};

// Raised when input nests deeper than conversion may recurse: it ends the
// whole conversion instead of counting as one variant's failure.
struct TooDeep : PyErrOccurred {};

[[noreturn]] void raise_enum(const char* type, const char* joined, const char* const* labels,
                             const Miss* misses, std::size_t n) {
    std::string text = std::string("failed to extract enum ") + type + " ('" + joined + "')";
    for (std::size_t i = 0; i < n; ++i) {
        text += std::string("\n- variant ") + labels[i] + " (" + labels[i] +
                "): TypeError: failed to extract field " + type + "::" + labels[i] +
                ".0, caused by " + misses[i].chain();
    }
    raise_type_error(text);
}

// Brackets one level of recursion into nested data.
class NestingGuard {
public:
    NestingGuard() {
        if (stack_exhausted()) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while converting a value");
            throw TooDeep{};
        }
        if (Py_EnterRecursiveCall(" while converting a value")) throw TooDeep{};
    }
    ~NestingGuard() { Py_LeaveRecursiveCall(); }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;
};

bool is_text(PyObject* text, const char* expected) {
    return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// numpy's boolean: a type whose __module__ is "numpy" and whose __name__ is
// "bool_" or "bool". The last dotted part of tp_name is the __name__ on both
// hosts (PyPy's as it was when the type was first seen from C), so any other
// type is passed over without a lookup. For a type made in C, tp_name also
// carries the module; a class made in Python is asked for both.
bool is_numpy_bool(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    const char* dot = std::strrchr(type->tp_name, '.');
    const char* name = dot ? dot + 1 : type->tp_name;
    if (std::strcmp(name, "bool_") != 0 && std::strcmp(name, "bool") != 0) return false;
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return name - type->tp_name == 6 && std::strncmp(type->tp_name, "numpy.", 6) == 0;
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    Ref module = Ref::steal(PyObject_GetAttrString(cls, "__module__"));
    Ref type_name = module ? Ref::steal(PyObject_GetAttrString(cls, "__name__")) : Ref();
    if (!type_name) {
        discard_error();
        return false;
    }
    return is_text(module.get(), "numpy") && (is_text(type_name.get(), "bool_") || is_text(type_name.get(), "bool"));
}

// numpy's booleans convert through their type's __bool__.
bool numpy_bool(PyObject* o, Miss& miss) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    Ref method = Ref::steal(PyObject_GetAttrString(type, "__bool__"));
    if (!method) {
        discard_error();
        Ref type_str = Ref::steal(PyObject_Str(type));
        if (!type_str) discard_error();
        std::string name = type_str ? utf8(type_str.get()) : "";
        miss.raised = type_error("object of type '" + name + "' does not define a '__bool__' conversion");
        return false;
    }
    Ref result = Ref::steal(PyObject_CallOneArg(method.get(), o));
    if (!result) {
        miss = Miss::pending();
        return false;
    }
    if (!PyBool_Check(result.get())) {
        miss = Miss::mismatch(o, "PyBool");
        return false;
    }
    return result.get() == Py_True;
}

PyValue extract_vector(PyObject* o, Miss& miss, bool& ok);

// The text attempt of both values and identifiers: a str (or subclass) with a
// UTF-8 form. `seen` is the object's type if the caller already took it.
std::optional<std::string> string_attempt(PyObject* o, Miss& miss, PyObject* seen = nullptr) {
    if (!PyUnicode_Check(o)) {
        miss = seen ? Miss::mismatch_of(seen, "PyString") : Miss::mismatch(o, "PyString");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (!data) {
        miss = Miss::pending();
        return std::nullopt;
    }
    return std::string(data, size);
}

constexpr const char* kValueLabels[] = {"Null", "Boolean", "String", "I64", "F64", "Vector"};
constexpr const char* kIdentifierLabels[] = {"U", "S"};

PyValue extract_value(PyObject* o) {
    if (o == Py_None) return PyValue{PyNull()};
    if (PyBool_Check(o)) return PyValue{o == Py_True};
    Miss misses[6];
    // Until the I64 attempt only numpy's __bool__ may run Python code, so the
    // Null, Boolean and String attempts otherwise see the type in the object's
    // header, as the checks of the C API do.
    PyObject* seen = reinterpret_cast<PyObject*>(Py_TYPE(o));
    misses[0] = Miss::mismatch_of(seen, "NoneType");
    if (is_numpy_bool(o)) {
        bool b = numpy_bool(o, misses[1]);
        if (!misses[1].raised && !misses[1].target) return PyValue{b};
        seen = nullptr;
    } else {
        misses[1] = Miss::mismatch_of(seen, "PyBool");
    }

    if (auto text = string_attempt(o, misses[2], seen)) return PyValue{std::move(*text)};

    long n = host::as_int64(o);
    if (!(n == -1 && PyErr_Occurred())) return PyValue{std::int64_t(n)};
    misses[3] = Miss::pending();

    if (PyFloat_CheckExact(o)) return PyValue{PyFloat_AS_DOUBLE(o)};
    double x = PyFloat_AsDouble(o);
    if (!(x == -1.0 && PyErr_Occurred())) return PyValue{x};
    misses[4] = Miss::pending();

    if (PyUnicode_Check(o)) {
        misses[5] = Miss::text("Can't extract `str` to `Vec`");
    } else if (!PySequence_Check(o)) {
        misses[5] = Miss::mismatch(o, "Sequence");
    } else {
        bool ok = false;
        PyValue v = extract_vector(o, misses[5], ok);
        if (ok) return v;
    }
    raise_enum("PyValue", "Null | Boolean | String | I64 | F64 | Vector", kValueLabels, misses, 6);
}

PyValue extract_vector(PyObject* o, Miss& miss, bool& ok) {
    NestingGuard nesting;
    PyVector items;
    items.reserve(capacity_hint(o));
    Ref iter = Ref::steal(PyObject_GetIter(o));
    if (!iter) {
        miss = Miss::pending();
        return {};
    }
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        try {
            items.push_back(extract_value(item.get()));
        } catch (const TooDeep&) {
            throw;
        } catch (const PyErrOccurred&) {
            miss = Miss::pending();
            return {};
        }
    }
    if (PyErr_Occurred()) {
        miss = Miss::pending();
        return {};
    }
    ok = true;
    return PyValue{std::move(items)};
}

// ---------------------------------------------------------------- outward

[[noreturn]] void raise_function_error() { raise_type_error("Cannot convert a Rust trait to Python"); }

PyValue to_py(const quarn::Value& value, bool nested) {
    switch (value.kind()) {
    case quarn::Kind::Null: return PyValue{PyNull()};
    case quarn::Kind::Boolean: return PyValue{value.as_bool()};
    case quarn::Kind::String: return PyValue{std::string(value.as_string())};
    case quarn::Kind::Number: {
        quarn::Number n = value.as_number();
        return n.is_int ? PyValue{std::int64_t(n.i)} : PyValue{n.f};
    }
    case quarn::Kind::Vector: {
        NestingGuard nesting;
        auto elements = value.as_vector();
        PyVector items;
        items.reserve(elements.size());
        for (const quarn::Value& element : elements) items.push_back(to_py(element, true));
        return PyValue{std::move(items)};
    }
    case quarn::Kind::Function:
        if (!nested) raise_function_error();
        quarn::fail("called `Result::unwrap()` on an `Err` value: " +
                    debug_form(type_error("Cannot convert a Rust trait to Python").get()));
    }
    return {};
}

}  // namespace

PyNull::PyNull() noexcept : none_(Py_None) { Py_INCREF(Py_None); }
PyNull::~PyNull() { release_ref(none_); }

PyValue PyValue::extract_bound(PyObject* object) { return extract_value(object); }

PyValue PyValue::arc_quarnvalue_to_py(quarn::Value value) {
    quarn::Value held = std::move(value);
    return to_py(held, false);
}

Ref PyValue::into_pyobject() && {
    struct Make {
        PyObject* operator()(PyNull& n) const { return n.take(); }
        PyObject* operator()(bool b) const {
            PyObject* o = b ? Py_True : Py_False;
            Py_INCREF(o);
            return o;
        }
        PyObject* operator()(const std::string& s) const {
            return PyUnicode_FromStringAndSize(s.data(), s.size());
        }
        PyObject* operator()(std::int64_t n) const { return PyLong_FromLongLong(n); }
        PyObject* operator()(double x) const { return PyFloat_FromDouble(x); }
        PyObject* operator()(PyVector& items) const {
            NestingGuard nesting;
            Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
            if (!list) fail_api_call();
            for (std::size_t i = 0; i < items.size(); ++i)
                PyList_SET_ITEM(list.get(), i, std::move(items[i]).into_pyobject().release());
            return list.release();
        }
    };
    PyObject* made = std::visit(Make{}, v);
    if (!made) fail_api_call();
    return Ref::steal(made);
}

quarn::Value PyValue::into_quarnvalue() && {
    struct Make {
        quarn::Value operator()(PyNull&) const { return quarn::Value(); }
        quarn::Value operator()(bool b) const { return quarn::Value::boolean(b); }
        quarn::Value operator()(std::string& s) const { return quarn::Value::string(s); }
        quarn::Value operator()(std::int64_t n) const { return quarn::Value::integer(n); }
        quarn::Value operator()(double x) const { return quarn::Value::real(x); }
        quarn::Value operator()(PyVector& items) const {
            std::vector<quarn::Value> elements;
            elements.reserve(items.size());
            for (PyValue& item : items) elements.push_back(std::move(item).into_quarnvalue());
            return quarn::Value::vector(elements);
        }
    };
    return std::visit(Make{}, v);
}

std::size_t capacity_hint(PyObject* sequence) {
    if (PyList_CheckExact(sequence)) return static_cast<std::size_t>(PyList_GET_SIZE(sequence));
    if (PyTuple_CheckExact(sequence)) return static_cast<std::size_t>(PyTuple_GET_SIZE(sequence));
    Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0) {
        discard_error();
        return 0;
    }
    return static_cast<std::size_t>(std::min<Py_ssize_t>(length, 64));
}

std::string extract_string(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_type_error(mismatch_text(object, "PyString"));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (!data) throw PyErrOccurred{};
    return std::string(data, size);
}

PyIdentifier PyIdentifier::extract_bound(PyObject* o) {
    Miss misses[2];
    Ref index = PyLong_Check(o) ? Ref::own(o) : Ref::steal(PyNumber_Index(o));
    if (index) {
        unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
        if (!(n == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return PyIdentifier{std::uint64_t(n)};
    }
    misses[0] = Miss::pending();
    if (auto text = string_attempt(o, misses[1])) return PyIdentifier{std::move(*text)};
    raise_enum("PyIdentifier", "U | S", kIdentifierLabels, misses, 2);
}

}  // namespace velmo
