#pragma once
// Values crossing between Python and Quarn. A Python object becomes a value
// by trying the variants Null, Boolean, String, I64, F64 and Vector in that
// order (the attempts of PyValue, the name its error texts give it), and a
// value becomes a new Python object. A name tries U, then S (PyIdentifier).
//
// The exact built-in types (None, bool, int, float, str, list, tuple) take a
// short path in front of the attempts: it makes the same decisions, reading
// what the attempts read, but skips the attempts that such a type fails by
// its type alone, so that no exception is made on the way. Everything else
// goes through the attempts, whose failures make up the error text when no
// variant fits.

#include <cstdint>
#include <forward_list>
#include <string_view>

#include "pyref.hpp"
#include "quarn/identifier.hpp"
#include "quarn/value.hpp"

namespace velmo {

// Raises the enum TypeError (or RecursionError for data nested deeper than
// conversion may go) and throws PyErrOccurred when nothing fits.
quarn::Value extract_value(PyObject* object);
quarn::Identifier extract_identifier(PyObject* object);

// The same name as a view, for a lookup: of an exact str's own text, or else
// of `storage`, which then holds what extract_identifier made.
quarn::IdentifierView extract_identifier_view(PyObject* object, quarn::Identifier& storage);
// The same for names kept together: what extract_identifier made goes into
// `kept`, whose items never move.
quarn::IdentifierView extract_identifier_view(PyObject* object, std::forward_list<quarn::Identifier>& kept);

// The text of an argument that must be a str, valid while it and `keep`
// live: the 'PyString' mismatch for anything else; the encoding error raised.
std::string_view extract_text(PyObject* object, Ref& keep);

// A name as Python code gives it: an int, or a str.
Ref identifier_to_python(const quarn::Identifier& id);

// Ints, the values read back most, skip the dispatch on the kind.
Ref int_to_python(std::int64_t n);
Ref other_to_python(const quarn::Value& value);

// A new object. A Function value raises TypeError, and a vector too large
// for memory MemoryError; a Function inside a vector is a fatal error, and
// so is a failure to make an object.
inline Ref to_python(const quarn::Value& value) {
    return value.is_int() ? int_to_python(value.as_int()) : other_to_python(value);
}

}  // namespace velmo
