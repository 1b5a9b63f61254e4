#include "binder.hpp"

#include <string>

#include "errors.hpp"
#include "utf8.hpp"

namespace velmo {
namespace {

// The names of the parameters [from, to) left out, as CPython lists them.
std::string quoted_list(std::size_t from, std::size_t to, const Signature& sig, PyObject** out) {
    std::string names;
    std::size_t missing = 0, total = 0;
    for (std::size_t i = from; i < to; ++i) total += out[i] == nullptr;
    for (std::size_t i = from; i < to; ++i) {
        if (out[i]) continue;
        ++missing;
        if (missing > 1) names += total == 2 ? " and " : missing == total ? ", and " : ", ";
        names += std::string("'") + sig.params[i] + "'";
    }
    return names;
}

void check_positional_count(const Signature& sig, Py_ssize_t nargs) {
    if (static_cast<std::size_t>(nargs) <= sig.positional) return;
    raise_type_error(std::string(sig.full_name) + " takes " + std::to_string(sig.positional) +
                     " positional arguments but " + std::to_string(nargs) +
                     (nargs == 1 ? " was" : " were") + " given");
}

void bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, sig.params[i]) == 0) {
            if (out[i])
                raise_type_error(std::string(sig.full_name) + " got multiple values for argument '" +
                                 sig.params[i] + "'");
            out[i] = value;
            return;
        }
    }
    std::string text = PyUnicode_Check(name) ? utf8(name) : "";
    raise_type_error(std::string(sig.full_name) + " got an unexpected keyword argument '" + text + "'");
}

void check_filled(const Signature& sig, PyObject** out, std::size_t from, std::size_t to, const char* kind) {
    std::size_t missing = 0;
    for (std::size_t i = from; i < to; ++i) missing += out[i] == nullptr;
    if (missing == 0) return;
    raise_type_error(std::string(sig.full_name) + " missing " + std::to_string(missing) + " required " + kind +
                     (missing == 1 ? " argument" : " arguments") + ": " + quoted_list(from, to, sig, out));
}

void check_all_filled(const Signature& sig, PyObject** out) {
    check_filled(sig, out, 0, sig.positional - sig.optional, "positional");
    check_filled(sig, out, sig.positional, sig.positional + sig.keywords_required, "keyword-only");
}

}  // namespace

void bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject** out) {
    check_positional_count(sig, nargs);
    for (std::size_t i = 0; i < sig.count; ++i) out[i] = i < std::size_t(nargs) ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    check_all_filled(sig, out);
}

void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    check_positional_count(sig, nargs);
    for (std::size_t i = 0; i < sig.count; ++i)
        out[i] = i < std::size_t(nargs) ? PyTuple_GET_ITEM(args, i) : nullptr;
    auto bind_one = [&](PyObject* key, PyObject* value) { bind_keyword(sig, key, value, out); };
    if (kwargs && !host::for_each_item(kwargs, bind_one)) throw PyErrOccurred{};
    check_all_filled(sig, out);
}

}  // namespace velmo
