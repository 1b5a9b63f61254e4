#include "pickling.hpp"

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "boundary.hpp"
#include "callable.hpp"
#include "error_text.hpp"
#include "wrappers.hpp"
#include "quarn/payload.hpp"

namespace velmo::pickling {
namespace {

constexpr const char* kInvalid = "invalid payload: ";  // as the core's messages start

[[noreturn]] void raise_value_error(const std::string& text) {
    PyErr_SetString(PyExc_ValueError, text.c_str());
    throw PyErrOccurred{};
}

// Held for the life of the process, as the module is.
PyObject* tree_loader = nullptr;
PyObject* machine_loader = nullptr;

// The Python functions a payload names, in the order of their numbers.
void add_function(const quarn::QuarnFunction& f, void* context) {
    auto* callable = dynamic_cast<const PyQuarnFn*>(&f);
    if (!callable) quarn::fail("a function that is not a Python function cannot be pickled");
    static_cast<std::vector<Ref>*>(context)->push_back(Ref::own(callable->callable()));
}

// (loader, (payload, functions))
Ref reduction(PyObject* loader, const std::string& payload, std::vector<Ref>& functions) {
    Ref bytes = Ref::checked(PyBytes_FromStringAndSize(payload.data(), static_cast<Py_ssize_t>(payload.size())));
    Ref tuple = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(functions.size())));
    for (std::size_t i = 0; i < functions.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), functions[i].release());
    Ref arguments = Ref::checked(PyTuple_Pack(2, bytes.get(), tuple.get()));
    return Ref::checked(PyTuple_Pack(2, loader, arguments.get()));
}

template <class Holder>
Ref reduce(PyObject* loader, const Holder& holder) {
    std::vector<Ref> functions;
    std::string payload = quarn::to_payload(holder, add_function, &functions);
    return reduction(loader, payload, functions);
}

std::string_view payload_arg(PyObject* object) {
    if (!PyBytes_Check(object)) raise_type_error(mismatch_text(object, "PyBytes"));
    return {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
}

// What the payload's numbers name: each item must be a plain function, as
// Statement.fn requires.
struct Functions {
    std::vector<std::unique_ptr<PyQuarnFn>> owned;
    std::vector<const quarn::QuarnFunction*> named;
};

Functions functions_arg(PyObject* object) {
    if (!PyTuple_Check(object)) raise_type_error(mismatch_text(object, "PyTuple"));
    Functions out;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i) {
        PyObject* item = PyTuple_GET_ITEM(object, i);
        if (!host::is_plain_function(item))
            raise_value_error(std::string(kInvalid) + "function " + std::to_string(i) + " is a '" +
                              type_name(Py_TYPE(item)) + "' object, not a Python function");
        out.named.push_back(out.owned.emplace_back(std::make_unique<PyQuarnFn>(Ref::own(item))).get());
    }
    return out;
}

// What `read` makes of the payload; BadPayload becomes ValueError.
template <class Read>
auto loaded(const Signature& sig, PyObject* const* args, Read&& read) {
    std::string_view payload = argument(sig, args, 0, payload_arg);
    Functions functions = argument(sig, args, 1, functions_arg);
    try {
        return read(payload, quarn::PayloadFunctions(functions.named));
    } catch (const quarn::BadPayload& bad) {
        raise_value_error(bad.what());
    }
}

}  // namespace

bool keep_loaders(PyObject* module) {
    if (tree_loader) return true;
    tree_loader = PyObject_GetAttrString(module, "_load_tree");
    machine_loader = PyObject_GetAttrString(module, "_load_machine");
    if (tree_loader && machine_loader) return true;
    Py_CLEAR(tree_loader);
    Py_CLEAR(machine_loader);
    return false;
}

Ref reduce_expr(const Signature&, PyObject* self, PyObject* const*) {
    return reduce(tree_loader, expr_wrapper(self)->expr);
}
Ref reduce_statement(const Signature&, PyObject* self, PyObject* const*) {
    return reduce(tree_loader, statement_wrapper(self)->statement);
}
Ref reduce_machine(const Signature&, PyObject* self, PyObject* const*) {
    return reduce(machine_loader, quarn_wrapper(self)->machine);
}

Ref same_expr(const Signature&, PyObject* self, PyObject* const*) {
    expr_wrapper(self);
    return Ref::own(self);
}
Ref same_statement(const Signature&, PyObject* self, PyObject* const*) {
    statement_wrapper(self);
    return Ref::own(self);
}
Ref copy_machine(const Signature&, PyObject* self, PyObject* const*) {
    return wrap(quarn_wrapper(self)->machine.copy(), types.quarn);
}

Ref load_tree(const Signature& sig, PyObject* const* args) {
    auto tree = loaded(sig, args, quarn::tree_from_payload);
    return std::visit([](auto& root) { return wrap(std::move(root)); }, tree);
}

Ref load_machine(const Signature& sig, PyObject* const* args) {
    auto read = [](std::string_view bytes, quarn::PayloadFunctions functions) {
        return quarn::machine_from_payload(bytes, functions, kMachineWriters);
    };
    return wrap(loaded(sig, args, read), types.quarn);
}

}  // namespace velmo::pickling
