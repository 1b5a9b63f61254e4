#pragma once
// Values crossing between Python and Quarn. PyValue is the image of a Quarn
// value on the Python side: a Python object becomes a value by trying the
// variants Null, Boolean, String, I64, F64 and Vector in that order, and a
// value becomes a new Python object. PyIdentifier does the same for names,
// trying U, then S.
//
// The exact built-in types (None, bool, int, float, str, list, tuple) take a
// short path whose outcome is the one the ordered attempts would reach; no
// exception is made on the way. Everything else goes through the attempts,
// whose failures make up the error text when no variant fits.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pyref.hpp"
#include "quarn/identifier.hpp"
#include "quarn/value.hpp"

namespace velmo {

struct PyValue {
    // Raises the enum TypeError (or RecursionError for data nested deeper
    // than conversion may go) and throws PyErrOccurred when nothing fits.
    static quarn::Value extract_bound(PyObject* object);
    // A new object. A Function value raises TypeError; a Function inside a
    // vector is a fatal error, and so is a failure to make an object.
    static Ref arc_quarnvalue_to_py(const quarn::Value& value) {
        return value.is_int() ? int_to_py(value.as_int()) : other_to_py(value);
    }

private:
    // Ints, the values read back most, skip the dispatch on the kind.
    static Ref int_to_py(std::int64_t n);
    static Ref other_to_py(const quarn::Value& value);
};

struct PyIdentifier {
    static quarn::Identifier extract_bound(PyObject* object);
    // The same name as a view, for a lookup: of an exact str's own text, or
    // else of `storage`, which then holds what extract_bound made.
    static quarn::IdentifierView extract_view(PyObject* object, quarn::Identifier& storage);
};

// How many items to reserve for a sequence about to be iterated. Its length
// is only a hint, since any class can lie about it: trusted for a list or a
// tuple, capped for anything else; a failure to read it is ignored.
std::size_t capacity_hint(PyObject* sequence);

// The UTF-8 text of a str (or subclass): in the str itself, or in a bytes
// object held by `keep`, valid while both live. Nothing, with the encoding
// error set, for a str without a UTF-8 form.
std::optional<std::string_view> utf8_text(PyObject* str, Ref& keep);

// The same for an argument that must be a str: the 'PyString' mismatch for
// anything else; the encoding error raised.
std::string_view utf8_view(PyObject* object, Ref& keep);

}  // namespace velmo
