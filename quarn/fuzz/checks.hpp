#pragma once
// The properties the harness checks beyond "no crash": debug forms and
// messages stay UTF-8 when every input text is; two values with one debug
// form are equal; a fresh machine running the same program ends the same way.
// A broken property aborts, which the fuzzer reports like a crash.

#include <string>
#include <string_view>

#include "fuzz_context.hpp"
#include "quarn/value.hpp"

namespace quarn::fuzz {

[[noreturn]] void finding(const std::string& what);

void expect_utf8(const Context& context, std::string_view text, const char* where);

// Values x and y with debug forms dx and dy. When the forms are the same,
// every input text is UTF-8 and there is no NaN and no function, equals must
// say true (and not fail).
void expect_equal_when_alike(const Context& context, const Value& x, const Value& y, const std::string& dx,
                             const std::string& dy, const char* where);

}  // namespace quarn::fuzz
