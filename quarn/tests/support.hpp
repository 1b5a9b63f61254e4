#pragma once
// Helpers shared by the core tests.

#include <string>

#include "quarn/error.hpp"

namespace quarn::test_support {

// The message of the fatal error that `f` stops with.
template <class F>
std::string fatal_message(F&& f) {
    try {
        f();
    } catch (const Fatal& e) {
        return e.message();
    }
    return "<no fatal error>";
}

}  // namespace quarn::test_support
