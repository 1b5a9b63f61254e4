#pragma once
// Binds the arguments of a call to a method's parameters. Every method and
// constructor goes through here, so every binding message is made here.

#include <cstddef>
#include <initializer_list>
#include <iterator>

#include "host.hpp"

namespace velmo {

// The first `positional` parameters may come by position or by keyword, and
// are required but for the last `optional` of them; the rest may come by
// keyword only, and may be left out but for the first `keywords_required`.
struct Signature {
    const char* full_name;  // "Expr.binary_op()"
    const char* const* params;
    std::size_t count;
    std::size_t positional;
    std::size_t optional = 0;
    std::size_t keywords_required = 0;
};

// The most parameters any method has; the binder fills an array this long.
inline constexpr std::size_t kMaxParams = 5;

// A signature whose first `positional` parameters are required and the rest
// keyword-only; VELMO_SIGNATURE makes them all required.
#define VELMO_SIGNATURE_KEYWORDS(name, full, positional, ...)                                     \
    constexpr const char* name##_params[] = {__VA_ARGS__};                                        \
    static_assert(std::size(name##_params) <= kMaxParams, "more parameters than the binder holds"); \
    constexpr Signature name{full, name##_params, std::size(name##_params), positional}
// One whose first `required` keyword-only parameters must be given.
#define VELMO_SIGNATURE_REQUIRED_KEYWORDS(name, full, positional, required, ...)                  \
    constexpr const char* name##_params[] = {__VA_ARGS__};                                        \
    static_assert(std::size(name##_params) <= kMaxParams, "more parameters than the binder holds"); \
    constexpr Signature name{full, name##_params, std::size(name##_params), positional, 0, required}
#define VELMO_SIGNATURE(name, full, ...) \
    VELMO_SIGNATURE_KEYWORDS(name, full, std::size(std::initializer_list<const char*>{__VA_ARGS__}), __VA_ARGS__)

// The vectorcall form: positional arguments in an array, keyword names in a
// tuple whose values follow the positional ones. Fills `out` (borrowed
// references, one per parameter, null for one left out) or raises TypeError
// and throws. Nothing is allocated and no text is made unless the binding
// fails.
void bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject** out);

// Most calls pass every argument by position, which needs no checking.
[[gnu::always_inline]] inline void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
    if (kwnames || static_cast<std::size_t>(nargs) != sig.count || sig.count != sig.positional)
        return bind_any(sig, args, nargs, kwnames, out);
    for (std::size_t i = 0; i < sig.count; ++i) out[i] = args[i];
}

// The constructor form: a tuple and a dictionary (possibly null).
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace velmo
