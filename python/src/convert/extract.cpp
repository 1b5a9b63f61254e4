// Python objects to Quarn values and names (see convert.hpp).

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "convert.hpp"
#include "error_text.hpp"
#include "errors.hpp"
#include "recursion_guard.hpp"
#include "sequence.hpp"
#include "utf8.hpp"

namespace velmo {
namespace {

constexpr const char* kWhileConverting = " while converting a value";

// A value that fits no variant, its text not made yet. The Vector attempt
// comes last, so the text of a vector whose item fits nothing ends with
// "caused by TypeError: " and the item's whole text. Made level by level,
// the text of a vector nested N deep, whose innermost item fits nothing,
// would cost N² bytes copied, every level copying all the text below it:
// here each level adds only its own part, innermost first, and the caller
// of the conversion joins them once (extract_value).
struct NoVariant {
    std::vector<std::string> parts;

    std::string text() const {
        std::size_t size = 0;
        for (const std::string& part : parts) size += part.size();
        std::string out;
        out.reserve(size);
        for (auto part = parts.rbegin(); part != parts.rend(); ++part) out += *part;
        return out;
    }
};

// Why one variant did not fit. Texts are only built once every variant has
// failed. A mismatch keeps the type of the object as the attempt saw it: a
// later attempt's Python code may assign the object's __class__.
struct Miss {
    const char* target = nullptr;  // a type mismatch against this target
    Ref type;                      // of the object, for the mismatch text
    Ref raised;                    // or an error the attempt raised
    Ref too_large;                 // or an int too large for a C long
    std::unique_ptr<NoVariant> item;  // or an item that fit no variant (the Vector attempt)

    // Against the object's type now, or against a type the caller took.
    static Miss mismatch(PyObject* o, const char* target) { return {target, host::type_of(o), {}, {}, {}}; }
    static Miss mismatch_of(PyObject* type, const char* target) { return {target, Ref::own(type), {}, {}, {}}; }
    static Miss pending() { return {nullptr, {}, fetch_error(), {}, {}}; }
    // The host's error for the int is made with the text: the int never
    // changes, and the attempt took its value without making one.
    static Miss int_too_large(PyObject* o) { return {nullptr, {}, {}, Ref::own(o), {}}; }

    std::string chain() const {
        if (too_large) {
            PyLong_AsLong(too_large.get());
            return chain_form(fetch_error_or_system_error().get());
        }
        if (raised) return chain_form(raised.get());
        return "TypeError: " + mismatch_text(reinterpret_cast<PyTypeObject*>(type.get()), target);
    }
};

// The variants of a value and of a name, in the order they are tried, and
// the type their error texts name.
enum class ValueVariant { Null, Boolean, String, I64, F64, Vector };
enum class NameVariant { U, S };

template <std::size_t N>
struct EnumText {
    const char* type;
    std::array<const char*, N> labels;
};
constexpr EnumText<6> kValueEnum{"PyValue", {"Null", "Boolean", "String", "I64", "F64", "Vector"}};
constexpr EnumText<2> kNameEnum{"PyIdentifier", {"U", "S"}};

// Why each variant did not fit, by variant; raised as one TypeError.
template <class Variant, std::size_t N>
class Misses {
public:
    explicit Misses(const EnumText<N>& text) : text_(text) {}
    Miss& operator[](Variant v) { return slots_[static_cast<std::size_t>(v)]; }

    // The text as NoVariant; an item's that the last attempt failed on ends it.
    NoVariant failure() {
        std::string joined;
        for (const char* label : text_.labels) joined += (joined.empty() ? "" : " | ") + std::string(label);
        std::string text = std::string("failed to extract enum ") + text_.type + " ('" + joined + "')";
        for (std::size_t i = 0; i < N; ++i) {
            const char* label = text_.labels[i];
            text += std::string("\n- variant ") + label + " (" + label + "): TypeError: failed to extract field " +
                    text_.type + "::" + label + ".0, caused by ";
            if (!slots_[i].item) {
                text += slots_[i].chain();
                continue;
            }
            NoVariant failed = std::move(*slots_[i].item);
            failed.parts.push_back(std::move(text) + "TypeError: ");
            return failed;
        }
        return {{std::move(text)}};
    }

    [[noreturn]] void raise() { raise_type_error(failure().text()); }

private:
    const EnumText<N>& text_;
    std::array<Miss, N> slots_;
};
using ValueMisses = Misses<ValueVariant, 6>;
using NameMisses = Misses<NameVariant, 2>;

// A read of an object's attribute, which may run Python code; null with the
// error set on failure.
Ref attribute(PyObject* object, const char* name) {
    return python_call([&] { return Ref::steal(PyObject_GetAttrString(object, name)); }, Ref());
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
    Ref module = attribute(cls, "__module__");
    Ref type_name = module ? attribute(cls, "__name__") : Ref();
    if (!type_name) {
        discard_error();
        return false;
    }
    return is_text(module.get(), "numpy") && (is_text(type_name.get(), "bool_") || is_text(type_name.get(), "bool"));
}

// numpy's booleans convert through their type's __bool__.
std::optional<bool> numpy_bool(PyObject* o, Miss& miss) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    Ref method = attribute(type, "__bool__");
    if (!method) {
        discard_error();
        Ref type_str = python_call([&] { return Ref::steal(PyObject_Str(type)); }, Ref());
        if (!type_str) discard_error();
        std::string name = type_str ? utf8(type_str.get()) : "";
        miss.raised = type_error("object of type '" + name + "' does not define a '__bool__' conversion");
        return std::nullopt;
    }
    Ref result = python_call([&] { return Ref::steal(PyObject_CallOneArg(method.get(), o)); }, Ref());
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

// An exact str's own UTF-8 text, read in place as the String and S attempts
// read it (see utf8_text); nothing for anything else, or for a str without a
// UTF-8 form, which the attempts then refuse.
std::optional<std::string_view> exact_str_text(PyObject* o) {
    if (!PyUnicode_CheckExact(o)) return std::nullopt;
    Py_ssize_t size = 0;
    if (const char* data = host::utf8_chars(o, &size)) return std::string_view(data, static_cast<std::size_t>(size));
    PyErr_Clear();
    return std::nullopt;
}

// The I64 attempt's reading of an exact int, made without an exception;
// nothing for an int too large for I64.
std::optional<long> exact_int64(PyObject* o) {
    int overflow = 0;
    long n = PyLong_AsLongAndOverflow(o, &overflow);
    if (overflow) return std::nullopt;
    return n;
}

// The text attempt of both values and names: a str (or subclass) with a
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

std::optional<quarn::Value> int64_attempt(PyObject* o, Miss& miss) {
    if (PyLong_CheckExact(o)) {
        if (std::optional<long> n = exact_int64(o)) return quarn::Value::integer(*n);
        miss = Miss::int_too_large(o);
        return std::nullopt;
    }
    // An int subclass is read without running Python code.
    long n = PyLong_Check(o) ? host::as_int64(o) : python_call([&] { return host::as_int64(o); }, -1L);
    if (!(n == -1 && PyErr_Occurred())) return quarn::Value::integer(n);
    miss = Miss::pending();
    return std::nullopt;
}

std::optional<quarn::Value> float_attempt(PyObject* o, Miss& miss) {
    if (PyFloat_CheckExact(o)) return quarn::Value::real(PyFloat_AS_DOUBLE(o));
    double x = PyLong_CheckExact(o) ? host::as_double(o)
                                    : python_call([&] { return host::as_double(o); }, -1.0);
    if (!(x == -1.0 && PyErr_Occurred())) return quarn::Value::real(x);
    miss = Miss::pending();
    return std::nullopt;
}

// The Null, Boolean, String, I64 and F64 attempts, in order: the value of
// the first that fits, or nothing with each failure in `misses`.
std::optional<quarn::Value> scalar_attempts(PyObject* o, ValueMisses& misses) {
    if (o == Py_None) return quarn::Value();
    // Until the I64 attempt only numpy's __bool__ may run Python code, so the
    // Null, Boolean and String attempts otherwise see the type in the object's
    // header, as the checks of the C API do.
    PyObject* seen = reinterpret_cast<PyObject*>(Py_TYPE(o));
    misses[ValueVariant::Null] = Miss::mismatch_of(seen, "NoneType");
    if (auto value = boolean_attempt(o, misses[ValueVariant::Boolean], seen)) return value;
    Ref keep;
    if (auto text = string_attempt(o, misses[ValueVariant::String], keep, seen)) return quarn::Value::string(*text);
    if (auto value = int64_attempt(o, misses[ValueVariant::I64])) return value;
    return float_attempt(o, misses[ValueVariant::F64]);
}

std::optional<quarn::Value> vector_attempt(PyObject* o, Miss& miss);

// Throws NoVariant when no variant fits.
quarn::Value ordered_attempts(PyObject* o) {
    ValueMisses misses(kValueEnum);
    if (auto value = scalar_attempts(o, misses)) return std::move(*value);
    if (auto value = vector_attempt(o, misses[ValueVariant::Vector])) return std::move(*value);
    throw misses.failure();
}

// An exact list or tuple fails the first five attempts by its type alone,
// and none of them runs Python code: the Vector attempt goes first, and the
// others' failures are made only if it fails too.
quarn::Value exact_sequence(PyObject* o) {
    Miss vector;
    if (auto value = vector_attempt(o, vector)) return std::move(*value);
    ValueMisses misses(kValueEnum);
    misses[ValueVariant::Vector] = std::move(vector);
    scalar_attempts(o, misses);
    throw misses.failure();
}

// An exact int as the I64 attempt reads it, or, too large for that, as the
// F64 attempt does; nothing, with no error left, if it is too large for both.
std::optional<quarn::Value> exact_int(PyObject* o) {
    if (std::optional<long> n = exact_int64(o)) return quarn::Value::integer(*n);
    double x = host::as_double(o);
    if (!(x == -1.0 && PyErr_Occurred())) return quarn::Value::real(x);
    PyErr_Clear();
    return std::nullopt;
}

// In front of the attempts: an exact None, bool, int, float or str read as
// its own attempt reads it. Every attempt before that one fails for such a
// type by its type alone, running no Python code. Nothing for anything else,
// or where that read fails too: the attempts then decide.
std::optional<quarn::Value> exact_scalar(PyObject* o) {
    if (o == Py_None) return quarn::Value();
    if (PyBool_Check(o)) return quarn::Value::boolean(o == Py_True);
    if (PyLong_CheckExact(o)) return exact_int(o);
    if (PyFloat_CheckExact(o)) return quarn::Value::real(PyFloat_AS_DOUBLE(o));
    if (auto text = exact_str_text(o)) return quarn::Value::string(*text);
    return std::nullopt;
}

quarn::Value extract(PyObject* o) {
    if (auto value = exact_scalar(o)) return std::move(*value);
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return exact_sequence(o);
    return ordered_attempts(o);
}

// The Vector attempt: any sequence but a str, each item converted by the
// same rules. A RecursionError ends the whole conversion.
std::optional<quarn::Value> vector_attempt(PyObject* o, Miss& miss) {
    try {
        check_sequence(o);
        RecursionGuard nesting(kWhileConverting);
        std::vector<quarn::Value> items = convert_items<quarn::Value, ItemCode::MayRun>(o, extract);
        return quarn::Value::vector(items);
    } catch (const TooDeep&) {
        throw;
    } catch (NoVariant& item) {
        miss.item = std::make_unique<NoVariant>(std::move(item));
        return std::nullopt;
    } catch (const PyErrOccurred&) {
        miss = Miss::pending();
        return std::nullopt;
    }
}

std::optional<quarn::Identifier> unsigned_attempt(PyObject* o, Miss& miss) {
    Ref index = PyLong_Check(o) ? Ref::own(o)
                                : python_call([&] { return Ref::steal(PyNumber_Index(o)); }, Ref());
    if (index) {
        unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
        if (!(n == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return quarn::Identifier::U(n);
    }
    miss = Miss::pending();
    return std::nullopt;
}

}  // namespace

quarn::Value extract_value(PyObject* object) {
    try {
        return extract(object);
    } catch (const NoVariant& failed) {
        raise_type_error(failed.text());
    }
}

namespace {

// An exact int from 0 to 2**63 - 1, the numbered name programs use, read
// without the attempts: what the U attempt would make of it.
std::optional<std::uint64_t> exact_name_number(PyObject* o) {
    if (!PyLong_CheckExact(o)) return std::nullopt;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || n < 0) return std::nullopt;
    return static_cast<std::uint64_t>(n);
}

}  // namespace

quarn::IdentifierView extract_identifier_view(PyObject* o, quarn::Identifier& storage) {
    if (auto text = exact_str_text(o)) return quarn::IdentifierView::S(*text);
    if (auto number = exact_name_number(o)) return quarn::IdentifierView::U(*number);
    storage = extract_identifier(o);
    return storage;
}

quarn::IdentifierView extract_identifier_view(PyObject* o, std::forward_list<quarn::Identifier>& kept) {
    if (auto text = exact_str_text(o)) return quarn::IdentifierView::S(*text);
    if (auto number = exact_name_number(o)) return quarn::IdentifierView::U(*number);
    kept.push_front(extract_identifier(o));
    return kept.front();
}

quarn::Identifier extract_identifier(PyObject* o) {
    if (auto text = exact_str_text(o)) return quarn::Identifier::S(std::string(*text));
    if (auto number = exact_name_number(o)) return quarn::Identifier::U(*number);
    NameMisses misses(kNameEnum);
    if (auto id = unsigned_attempt(o, misses[NameVariant::U])) return std::move(*id);
    Ref keep;
    if (auto text = string_attempt(o, misses[NameVariant::S], keep)) return quarn::Identifier::S(std::string(*text));
    misses.raise();
}

std::string_view extract_text(PyObject* object, Ref& keep) {
    if (!PyUnicode_Check(object)) raise_type_error(mismatch_text(object, "PyString"));
    std::optional<std::string_view> text = utf8_text(object, keep);
    if (!text) throw PyErrOccurred{};
    return *text;
}

}  // namespace velmo
