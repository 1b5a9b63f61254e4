#pragma once
// Texts that cross the boundary row after row in one column of a batch. A
// column of a few distinct texts (a category, a state, a label) holds the
// same str objects in row after row, and a rule that labels a record binds
// one of a few literal texts: each is converted once, for as long as it
// keeps coming back. Both caches hold what they compare by identity, so that
// no other object can take its address meanwhile; a str and a value never
// change.

#include <array>
#include <cstddef>
#include <cstdint>

#include "convert.hpp"
#include "pyref.hpp"

namespace velmo {

// The last few entries of a column, the oldest replaced first.
template <class Key, class Converted>
struct RecentTexts {
    static constexpr std::size_t kEntries = 4;
    struct Entry {
        Key key;
        Converted converted;
    };
    std::array<Entry, kEntries> entries;
    std::size_t next = 0;

    void keep(Key key, Converted converted) {
        entries[next] = {std::move(key), std::move(converted)};
        next = (next + 1) % kEntries;
    }
};

// Python to Quarn: the values of the last exact str objects converted, of
// short texts only, so that what it keeps alive stays small.
class TextIn {
public:
    quarn::Value convert(PyObject* object) {
        for (const auto& entry : recent_.entries)
            if (entry.key.get() == object) return entry.converted;
        quarn::Value value = extract_value(object);
        if (PyUnicode_CheckExact(object) && value.size() <= kLongest) recent_.keep(Ref::own(object), value);
        return value;
    }

    static constexpr std::uint64_t kLongest = 256;  // bytes

private:
    RecentTexts<Ref, quarn::Value> recent_;
};

// Quarn to Python: the str objects made for the last text values read.
class TextOut {
public:
    Ref convert(const quarn::Value& value) {
        if (value.is_shared()) {
            for (const auto& entry : recent_.entries)
                if (value.same_cell(entry.key)) return entry.converted;
        }
        Ref made = to_python(value);
        if (value.kind() == quarn::Kind::String) recent_.keep(value, made);
        return made;
    }

private:
    RecentTexts<quarn::Value, Ref> recent_;
};

}  // namespace velmo
