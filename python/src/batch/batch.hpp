#pragma once
// Quarn.run_many: one program run over many rows. The program is converted,
// and the names of the inputs and outputs resolved to their bindings, once
// for all rows; then each row is bound, run and read back as update, run and
// get would do it, without a return to Python code in between.

#include <optional>
#include <vector>

#include "pyref.hpp"
#include "row_source.hpp"
#include "tree_args.hpp"
#include "wrappers.hpp"
#include "quarn/assign.hpp"

namespace velmo {

// Names given once for every row, each with its binding once known (a
// binding stays put for as long as its machine).
struct BatchNames {
    std::vector<quarn::Identifier> ids;
    std::vector<const quarn::Binding*> bindings;
};
BatchNames batch_names_arg(PyObject* names);

struct BatchOptions {
    std::optional<BatchNames> inputs;  // none: each row a mapping or pairs
    BatchNames outputs;
    bool keep_going;  // errors="return"
};
bool keep_going_arg(PyObject* errors);

// The list of results, one per row: a tuple of the outputs, or with
// keep_going, the exception of a row that failed.
Ref run_many(PyQuarn& self, HeldStatements& program, RowSource& rows, BatchOptions& options);

}  // namespace velmo
