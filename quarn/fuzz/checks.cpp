#include "checks.hpp"

#include <cstdio>
#include <cstdlib>

#include "edge_cases.hpp"
#include "quarn/debug.hpp"
#include "quarn/error.hpp"

namespace quarn::fuzz {

void finding(const std::string& what) {
    std::fprintf(stderr, "==quarn-fuzz== FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void expect_utf8(const Context& context, std::string_view text, const char* where) {
    if (context.valid_text && !is_utf8(text)) {
        std::string shown;
        debug_quoted(shown, text.substr(0, 400));
        finding(std::string(where) + " is not UTF-8 though every input text is: " + shown);
    }
}

void expect_equal_when_alike(const Context& context, const Value& x, const Value& y, const std::string& dx,
                             const std::string& dy, const char* where) {
    if (!context.valid_text) return;
    if (dx != dy || dx.find("NaN") != std::string::npos || dx.find("Function(") != std::string::npos) return;
    bool same = false;
    try {
        same = equals(x, y);
    } catch (const Fatal& error) {
        finding(std::string(where) + ": equals failed on two values printed alike: " + error.message() +
                "; value: " + dx.substr(0, 400));
    }
    if (!same) finding(std::string(where) + ": equals is false for two values printed alike: " + dx.substr(0, 400));
}

}  // namespace quarn::fuzz
