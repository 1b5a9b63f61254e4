// Quarn values to new Python objects (see convert.hpp). Vectors of any depth
// become nested lists without recursion: a stack of the lists still being
// filled, each with the vector it mirrors.

#include <span>

#include "convert.hpp"
#include "error_text.hpp"
#include "errors.hpp"
#include "interrupts.hpp"
#include "host.hpp"
#include "panic.hpp"
#include "quarn/memory.hpp"
#include "quarn/small_stack.hpp"

namespace velmo {
namespace {

constexpr const char* kNoFunctions = "Cannot convert a Rust trait to Python";

[[noreturn, gnu::cold]] void fail_nested_function() {
    quarn::fail("called `Result::unwrap()` on an `Err` value: " + debug_form(type_error(kNoFunctions).get()));
}

// A new object for a value that is not a vector (a function is refused by
// the callers); fails fatally if the interpreter cannot make it.
Ref scalar(const quarn::Value& value) {
    Ref made;
    switch (value.kind()) {
    case quarn::Kind::Null: return Ref::own(Py_None);
    case quarn::Kind::Boolean: return Ref::own(value.as_bool() ? Py_True : Py_False);
    case quarn::Kind::String: {
        std::string_view text = value.as_string();
        made = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        break;
    }
    case quarn::Kind::Number:
        made = Ref::steal(value.is_int() ? PyLong_FromLong(value.as_int()) : PyFloat_FromDouble(value.as_number().f));
        break;
    default: break;
    }
    if (!made) fail_api_call();
    return made;
}

// A list being filled from a vector.
struct Open {
    std::span<const quarn::Value> items;
    std::size_t next;
    Ref list;
};

Ref new_list(std::size_t size) {
    Ref list = Ref::steal(PyList_New(host::kListFilledInPlace ? static_cast<Py_ssize_t>(size) : 0));
    if (!list) fail_api_call();
    return list;
}

// Stores the new object as the list's item `index`, its next one. The list
// takes the reference; `item` gives it up only after the store, so that the
// compiler sees it empty when it goes (a store into the list might otherwise
// have changed it) and drops the check of its release.
void put(Open& open, std::size_t index, Ref&& item) {
    if (host::kListFilledInPlace) {
        PyList_SET_ITEM(open.list.get(), static_cast<Py_ssize_t>(index), item.get());
        item.release();
        return;
    }
    if (PyList_Append(open.list.get(), item.get()) < 0) fail_api_call();
}

Ref new_int(std::int64_t n) {
    Ref made = Ref::steal(PyLong_FromLong(n));
    if (!made) fail_api_call();
    return made;
}

// Fills the list from `next` on, up to its first vector item or its end.
// Ints, the common items, skip the dispatch on the kind.
void fill_scalars(Open& list) {
    for (; list.next < list.items.size(); ++list.next) {
        const quarn::Value& item = list.items[list.next];
        if (item.is_int()) {
            put(list, list.next, new_int(item.as_int()));
            continue;
        }
        if (item.kind() == quarn::Kind::Vector) return;
        if (item.kind() == quarn::Kind::Function) fail_nested_function();
        put(list, list.next, scalar(item));
    }
}

// A vector whose items share one another can stand for more items than
// memory holds: the lists being filled look for an interruption every so
// many of them.
constexpr unsigned kListsBetweenChecks = 1u << 14;

// A vector's size counts an item shared by several places at each, and
// each unit of it takes a byte at least (a text's own, a list's slot of
// 8): one too large for memory is refused before its first list is made.
Ref vector(const quarn::Value& top) {
    if (top.size() > quarn::memory_ceiling()) {
        PyErr_NoMemory();
        throw PyErrOccurred{};
    }
    quarn::SmallStack<Open, 8> open;  // lists nested deeper than most values are held on the heap
    open.push({top.as_vector(), 0, new_list(top.as_vector().size())});
    for (unsigned filled = 0;; ++filled) {
        if (filled == kListsBetweenChecks) {
            check_interrupt();
            filled = 0;
        }
        Open& list = open.top();
        fill_scalars(list);
        if (list.next == list.items.size()) {
            Ref done = open.pop().list;
            if (open.empty()) return done;
            put(open.top(), open.top().next - 1, std::move(done));
            continue;
        }
        const quarn::Value& inner = list.items[list.next++];
        open.push({inner.as_vector(), 0, new_list(inner.as_vector().size())});
    }
}

}  // namespace

Ref int_to_python(std::int64_t n) { return new_int(n); }

Ref identifier_to_python(const quarn::Identifier& id) {
    if (id.is_u()) return Ref::checked(PyLong_FromUnsignedLongLong(id.u()));
    const std::string& text = id.s();
    return Ref::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

Ref other_to_python(const quarn::Value& value) {
    switch (value.kind()) {
    case quarn::Kind::Function: raise_type_error(kNoFunctions);
    case quarn::Kind::Vector: return vector(value);
    default: return scalar(value);
    }
}

}  // namespace velmo
