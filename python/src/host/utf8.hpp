#pragma once
// The UTF-8 text of Python str objects, read in place where the host allows.

#include <optional>
#include <string>
#include <string_view>

#include "pyref.hpp"

namespace velmo {

// The UTF-8 text of a str (or subclass): in the str itself, or in a bytes
// object held by `keep`, valid while both live. Nothing, with the encoding
// error set, for a str without a UTF-8 form.
std::optional<std::string_view> utf8_text(PyObject* str, Ref& keep);

// A copy of the text of a str, with backslash escapes for what has no UTF-8
// form; no error is left set.
std::string utf8(PyObject* str);

}  // namespace velmo
