#pragma once
// Values handed to a machine by name from outside any program: the bindings
// of Quarn.update and the rows of Quarn.run_many. All the values of one call
// (or one row) are converted before any is bound, so one that does not
// convert binds nothing; then they are bound as a run of `let` statements of
// their literals would bind them.

#include <forward_list>
#include <span>

#include "pyref.hpp"
#include "text_cache.hpp"
#include "quarn/assign.hpp"
#include "quarn/small_stack.hpp"
#include "wrappers.hpp"

namespace velmo {

class Fields {
public:
    // Texts are converted through `texts`, which remembers the last few.
    explicit Fields(TextIn& texts) noexcept : texts_(texts) {}

    // The pairs of a mapping (a dict, or anything with keys()) or of an
    // iterable of (name, value) pairs, in their order. Raises the TypeError
    // of a name or value that does not convert, or ValueError for a pair of
    // another length (its text begins with `where`, "argument 'bindings': "),
    // and throws PyErrOccurred.
    void take_pairs(PyObject* pairs, const char* where);

    // Binds them on the machine, as one run or within the budget of one.
    void bind(PyQuarn& self);
    void bind(PyQuarn& self, quarn::Budget& budget);

private:
    void take_dict(PyObject* dict);
    void take_mapping(PyObject* mapping);
    void take_iterable(PyObject* pairs, const char* where);
    void take_pair(PyObject* pair, std::size_t index, const char* where);
    void hold_and_add(PyObject* name, PyObject* value);
    void add(PyObject* name, PyObject* value);

    TextIn& texts_;
    quarn::SmallStack<Ref, 16> held_;  // each name object, then its value's, kept alive
    quarn::SmallStack<quarn::Assignment, 8> assignments_;
    std::forward_list<quarn::Identifier> names_;  // the names that are no str or int of their own
};

}  // namespace velmo
