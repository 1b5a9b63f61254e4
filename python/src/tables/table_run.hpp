#pragma once
// Quarn.run_columns: one program run over the rows of a table (table_input.hpp),
// each row's values bound from its columns and each output written into a
// column of its own (output_column.hpp), with no Python object per value.
// Each row is bound, run and read back as run_many does it, within one
// budget of operations; a row that fails fails as a row of run_many does,
// and with errors="return", its outputs are null.

#include "batch.hpp"
#include "pyref.hpp"
#include "tree_args.hpp"
#include "wrappers.hpp"

namespace velmo::tables {

// The Columns object of the outputs (result_objects.hpp).
Ref run_columns(PyQuarn& self, HeldStatements& program, PyObject* columns, BatchOptions& options);

}  // namespace velmo::tables
