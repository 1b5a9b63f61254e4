#pragma once
// What one fuzz input shares between the harness, the decoder and the
// functions it builds: the decoded programs and expressions, the machine a
// top-level run is using, the re-entry budget, and counters that let the
// harness check that every function object it made is gone at the end.

#include <cstdint>
#include <string>
#include <vector>

#include "quarn/machine.hpp"
#include "quarn/tree.hpp"

namespace quarn::fuzz {

constexpr int kMaxReentryDepth = 3;
constexpr int kMaxReentries = 8;  // per top-level run

struct Context {
    std::vector<Program> programs;  // programs[0] is the one the harness runs
    std::vector<Expr> results;      // expressions the harness evaluates

    Machine* machine = nullptr;  // where the current top-level run happens
    int depth = 0;               // re-entries in progress
    int reentries = 0;           // re-entries made in this top-level run

    long live_functions = 0;
    // False once any text or name in the input is not valid UTF-8; until then
    // every debug form and message must be valid UTF-8.
    bool valid_text = true;

    // Starts a top-level run on `m` with a fresh re-entry budget.
    void begin_run(Machine& m) {
        machine = &m;
        depth = 0;
        reentries = 0;
    }

    // Drops every tree, and with them the functions they hold.
    void clear() {
        programs.clear();
        results.clear();
        machine = nullptr;
    }
};

}  // namespace quarn::fuzz
