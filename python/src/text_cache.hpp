#pragma once
// Texts that cross the boundary row after row in one column of a batch. A
// column of a few distinct texts (a category, a state, a label) holds the
// same str objects in row after row, and a rule that labels a record binds
// one of a few literal texts: each is converted once, for as long as it
// repeats. Both caches hold what they compare by identity, so that no other
// object can take its address meanwhile; a str and a value never change.

#include "convert.hpp"
#include "pyref.hpp"

namespace velmo {

// Python to Quarn: the value of the last exact str converted.
class TextIn {
public:
    quarn::Value convert(PyObject* object) {
        if (object == text_.get()) return value_;
        quarn::Value value = extract_value(object);
        if (PyUnicode_CheckExact(object)) {
            text_ = Ref::own(object);
            value_ = value;
        }
        return value;
    }

private:
    Ref text_;
    quarn::Value value_;
};

// Quarn to Python: the str made for the last text value read.
class TextOut {
public:
    Ref convert(const quarn::Value& value) {
        if (value.same_cell(value_)) return text_;
        Ref made = to_python(value);
        if (value.kind() == quarn::Kind::String) {
            value_ = value;
            text_ = made;
        }
        return made;
    }

private:
    quarn::Value value_;
    Ref text_;
};

}  // namespace velmo
