// Python objects to Quarn values and names (see convert.hpp).

#include <cstring>
#include <optional>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "recursion_guard.hpp"

namespace velmo {
namespace {

constexpr const char* kWhileConverting = " while converting a value";

// Why one variant did not fit. Texts are only built once every variant has
// failed. A mismatch keeps the object's type as the attempt saw it: a later
// attempt's Python code may assign the object's __class__.
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

constexpr const char* kValueLabels[] = {"Null", "Boolean", "String", "I64", "F64", "Vector"};
constexpr const char* kIdentifierLabels[] = {"U", "S"};

[[noreturn]] void raise_value_enum(const Miss* misses) {
    raise_enum("PyValue", "Null | Boolean | String | I64 | F64 | Vector", kValueLabels, misses, 6);
}

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
std::optional<bool> numpy_bool(PyObject* o, Miss& miss) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    Ref method = Ref::steal(PyObject_GetAttrString(type, "__bool__"));
    if (!method) {
        discard_error();
        Ref type_str = Ref::steal(PyObject_Str(type));
        if (!type_str) discard_error();
        std::string name = type_str ? utf8(type_str.get()) : "";
        miss.raised = type_error("object of type '" + name + "' does not define a '__bool__' conversion");
        return std::nullopt;
    }
    Ref result = Ref::steal(PyObject_CallOneArg(method.get(), o));
    if (!result) {
        miss = Miss::pending();
        return std::nullopt;
    }
    if (!PyBool_Check(result.get())) {
        miss = Miss::mismatch(result.get(), "PyBool");
        return std::nullopt;
    }
    return result.get() == Py_True;
}

// The text attempt of both values and identifiers: a str (or subclass) with a
// UTF-8 form. `seen` is the object's type if the caller already took it.
std::optional<std::string_view> string_attempt(PyObject* o, Miss& miss, Ref& keep, PyObject* seen = nullptr) {
    if (!PyUnicode_Check(o)) {
        miss = seen ? Miss::mismatch_of(seen, "PyString") : Miss::mismatch(o, "PyString");
        return std::nullopt;
    }
    std::optional<std::string_view> text = utf8_text(o, keep);
    if (!text) miss = Miss::pending();
    return text;
}

std::optional<quarn::Value> boolean_attempt(PyObject* o, Miss& miss, PyObject*& seen) {
    if (PyBool_Check(o)) return quarn::Value::boolean(o == Py_True);
    if (!is_numpy_bool(o)) {
        miss = Miss::mismatch_of(seen, "PyBool");
        return std::nullopt;
    }
    seen = nullptr;  // __bool__ ran Python code: the type must be read anew
    if (std::optional<bool> b = numpy_bool(o, miss)) return quarn::Value::boolean(*b);
    return std::nullopt;
}

std::optional<quarn::Value> number_attempts(PyObject* o, Miss* misses) {
    long n = host::as_int64(o);
    if (!(n == -1 && PyErr_Occurred())) return quarn::Value::integer(n);
    misses[0] = Miss::pending();
    if (PyFloat_CheckExact(o)) return quarn::Value::real(PyFloat_AS_DOUBLE(o));
    double x = host::as_double(o);
    if (!(x == -1.0 && PyErr_Occurred())) return quarn::Value::real(x);
    misses[1] = Miss::pending();
    return std::nullopt;
}

// The Null, Boolean, String, I64 and F64 attempts, in order: the value of
// the first that fits, or nothing with each failure in `misses`.
std::optional<quarn::Value> scalar_attempts(PyObject* o, Miss* misses) {
    if (o == Py_None) return quarn::Value();
    // Until the I64 attempt only numpy's __bool__ may run Python code, so the
    // Null, Boolean and String attempts otherwise see the type in the object's
    // header, as the checks of the C API do.
    PyObject* seen = reinterpret_cast<PyObject*>(Py_TYPE(o));
    misses[0] = Miss::mismatch_of(seen, "NoneType");
    if (auto value = boolean_attempt(o, misses[1], seen)) return value;
    Ref keep;
    if (auto text = string_attempt(o, misses[2], keep, seen)) return quarn::Value::string(*text);
    return number_attempts(o, misses + 3);
}

std::optional<quarn::Value> vector_attempt(PyObject* o, Miss& miss);

quarn::Value ordered_attempts(PyObject* o) {
    Miss misses[6];
    if (auto value = scalar_attempts(o, misses)) return std::move(*value);
    if (auto value = vector_attempt(o, misses[5])) return std::move(*value);
    raise_value_enum(misses);
}

// An exact list or tuple fails the first five attempts by its type alone,
// and none of them runs Python code: the Vector attempt goes first, and the
// others' failures are made only if it fails too.
quarn::Value exact_sequence(PyObject* o) {
    Miss misses[6];
    if (auto value = vector_attempt(o, misses[5])) return std::move(*value);
    scalar_attempts(o, misses);
    raise_value_enum(misses);
}

// What the attempts give for an exact None, bool, int, float or str, found
// without them; nothing for anything else, or where they would fail.
std::optional<quarn::Value> exact_scalar(PyObject* o) {
    if (o == Py_None) return quarn::Value();
    if (PyBool_Check(o)) return quarn::Value::boolean(o == Py_True);
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long n = PyLong_AsLongAndOverflow(o, &overflow);
        if (!overflow) return quarn::Value::integer(n);
        double x = PyLong_AsDouble(o);  // the F64 attempt of an int too large for I64
        if (x == -1.0 && PyErr_Occurred()) return PyErr_Clear(), std::nullopt;
        return quarn::Value::real(x);
    }
    if (PyFloat_CheckExact(o)) return quarn::Value::real(PyFloat_AS_DOUBLE(o));
    if (PyUnicode_CheckExact(o)) {
        Py_ssize_t size = 0;
        const char* data = host::utf8_chars(o, &size);
        if (!data) return PyErr_Clear(), std::nullopt;
        return quarn::Value::string({data, static_cast<std::size_t>(size)});
    }
    return std::nullopt;
}

bool is_exact_scalar(PyObject* o) {
    return o == Py_None || PyBool_Check(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) ||
           PyUnicode_CheckExact(o);
}

quarn::Value extract(PyObject* o) {
    if (auto value = exact_scalar(o)) return std::move(*value);
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return exact_sequence(o);
    return ordered_attempts(o);
}

// An exact list or tuple read in place, as its iterator would read it:
// converting an item that is not a plain scalar may run Python code that
// changes the list, so its length and items are read again after such an item.
std::vector<quarn::Value> items_in_place(PyObject* o) {
    std::vector<quarn::Value> items;
    items.reserve(capacity_hint(o));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
        PyObject** found = host::items_in_place(o);
        if (!found) throw_pending_or_system_error();
        PyObject* item = found[i];
        if (is_exact_scalar(item)) {
            items.push_back(extract(item));
        } else {
            Ref held = Ref::own(item);
            items.push_back(extract(held.get()));
        }
    }
    return items;
}

std::vector<quarn::Value> items_iterated(PyObject* o) {
    std::vector<quarn::Value> items;
    items.reserve(capacity_hint(o));
    Ref iter = Ref::checked(PyObject_GetIter(o));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) items.push_back(extract(item.get()));
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return items;
}

// The Vector attempt: any sequence but a str, iterated, each item converted
// by the same rules. A RecursionError ends the whole conversion.
std::optional<quarn::Value> vector_attempt(PyObject* o, Miss& miss) {
    if (PyUnicode_Check(o)) {
        miss = Miss::text("Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    if (!PySequence_Check(o)) {
        miss = Miss::mismatch(o, "Sequence");
        return std::nullopt;
    }
    RecursionGuard nesting(kWhileConverting);
    try {
        std::vector<quarn::Value> items =
            PyList_CheckExact(o) || PyTuple_CheckExact(o) ? items_in_place(o) : items_iterated(o);
        return quarn::Value::vector(items);
    } catch (const TooDeep&) {
        throw;
    } catch (const PyErrOccurred&) {
        miss = Miss::pending();
        return std::nullopt;
    }
}

std::optional<quarn::Identifier> unsigned_attempt(PyObject* o, Miss& miss) {
    Ref index = PyLong_Check(o) ? Ref::own(o) : Ref::steal(PyNumber_Index(o));
    if (index) {
        unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
        if (!(n == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return quarn::Identifier::U(n);
    }
    miss = Miss::pending();
    return std::nullopt;
}

}  // namespace

quarn::Value PyValue::extract_bound(PyObject* object) { return extract(object); }

namespace {

// An exact str fails U by its type alone: its text is the name. Nothing for
// anything else, or for a str without a UTF-8 form.
std::optional<std::string_view> exact_str_name(PyObject* o) {
    if (!PyUnicode_CheckExact(o)) return std::nullopt;
    Py_ssize_t size = 0;
    if (const char* data = host::utf8_chars(o, &size)) return std::string_view(data, std::size_t(size));
    PyErr_Clear();
    return std::nullopt;
}

}  // namespace

quarn::IdentifierView PyIdentifier::extract_view(PyObject* o, quarn::Identifier& storage) {
    if (auto text = exact_str_name(o)) return quarn::IdentifierView::S(*text);
    storage = extract_bound(o);
    return storage;
}

quarn::Identifier PyIdentifier::extract_bound(PyObject* o) {
    if (auto text = exact_str_name(o)) return quarn::Identifier::S(std::string(*text));
    Miss misses[2];
    if (auto id = unsigned_attempt(o, misses[0])) return std::move(*id);
    Ref keep;
    if (auto text = string_attempt(o, misses[1], keep)) return quarn::Identifier::S(std::string(*text));
    raise_enum("PyIdentifier", "U | S", kIdentifierLabels, misses, 2);
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

std::optional<std::string_view> utf8_text(PyObject* str, Ref& keep) {
    if (!host::utf8_in_place(str)) {
        keep = Ref::steal(host::utf8_bytes(str));
        if (!keep) return std::nullopt;
        return std::string_view(PyBytes_AS_STRING(keep.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(keep.get())));
    }
    Py_ssize_t size = 0;
    const char* data = host::utf8_chars(str, &size);
    if (!data) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::string_view utf8_view(PyObject* object, Ref& keep) {
    if (!PyUnicode_Check(object)) raise_type_error(mismatch_text(object, "PyString"));
    std::optional<std::string_view> text = utf8_text(object, keep);
    if (!text) throw PyErrOccurred{};
    return *text;
}

}  // namespace velmo
