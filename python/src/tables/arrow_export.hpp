#pragma once
// Output columns handed to other libraries through the Arrow C Data
// Interface, without copying their values: each exported array holds a
// share of its columns' memory, let go by its release callback, which the
// consumer may call on any thread. A table goes as a struct array of its
// columns, and as a stream of that one batch.

#include <memory>
#include <string>
#include <vector>

#include "arrow_abi.hpp"
#include "column_data.hpp"

namespace velmo::tables {

struct NamedColumn {
    std::string name;
    std::shared_ptr<const ColumnData> data;
};

void export_schema(const NamedColumn& column, ArrowSchema* out);
void export_array(const NamedColumn& column, ArrowArray* out);

// The columns as one record batch of `rows` rows.
void export_table_schema(const std::vector<NamedColumn>& columns, ArrowSchema* out);
void export_table_array(const std::vector<NamedColumn>& columns, std::int64_t rows, ArrowArray* out);
void export_table_stream(std::vector<NamedColumn> columns, std::int64_t rows, ArrowArrayStream* out);

}  // namespace velmo::tables
