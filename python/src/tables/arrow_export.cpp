#include "arrow_export.hpp"

#include <cerrno>

namespace velmo::tables {
namespace {

// What an exported schema owns: its texts and its children.
struct SchemaParts {
    std::string format;
    std::string name;
    std::vector<ArrowSchema> child_structs;
    std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* schema) {
    auto* parts = static_cast<SchemaParts*>(schema->private_data);
    for (ArrowSchema& child : parts->child_structs)
        if (child.release) child.release(&child);
    delete parts;
    schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, SchemaParts* parts) {
    *out = ArrowSchema{parts->format.c_str(), parts->name.c_str(), nullptr, ARROW_FLAG_NULLABLE,
                       static_cast<std::int64_t>(parts->children.size()),
                       parts->children.empty() ? nullptr : parts->children.data(), nullptr, release_schema, parts};
}

// What an exported array owns: a share of the columns, its buffer pointers
// and its children.
struct ArrayParts {
    std::vector<std::shared_ptr<const ColumnData>> data;
    const void* buffers[3] = {};
    std::vector<ArrowArray> child_structs;
    std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* array) {
    auto* parts = static_cast<ArrayParts*>(array->private_data);
    for (ArrowArray& child : parts->child_structs)
        if (child.release) child.release(&child);
    delete parts;
    array->release = nullptr;
}

const char* format_of(const ColumnData& data) {
    switch (data.kind) {
    case ColumnKind::Null: return "n";
    case ColumnKind::Int: return "l";
    case ColumnKind::Float: return "g";
    case ColumnKind::Bool: return "b";
    default: return data.large ? "U" : "u";
    }
}

std::int64_t buffers_of(const ColumnData& data, ArrayParts& parts) {
    parts.buffers[0] = data.validity.empty() ? nullptr : data.validity.data();
    switch (data.kind) {
    case ColumnKind::Null: return 0;
    case ColumnKind::Bool: parts.buffers[1] = data.bits.data(); return 2;
    case ColumnKind::Text:
        parts.buffers[1] = data.offsets.data();
        parts.buffers[2] = data.text.data();
        return 3;
    default: parts.buffers[1] = data.values.data(); return 2;
    }
}

}  // namespace

void export_schema(const NamedColumn& column, ArrowSchema* out) {
    auto* parts = new SchemaParts{format_of(*column.data), column.name, {}, {}};
    fill_schema(out, parts);
}

void export_array(const NamedColumn& column, ArrowArray* out) {
    auto parts = std::make_unique<ArrayParts>();
    parts->data.push_back(column.data);
    const ColumnData& data = *column.data;
    std::int64_t buffers = buffers_of(data, *parts);
    *out = ArrowArray{data.length, data.null_count, 0, buffers, 0, parts->buffers, nullptr, nullptr, release_array,
                      parts.get()};
    parts.release();
}

void export_table_schema(const std::vector<NamedColumn>& columns, ArrowSchema* out) {
    auto* parts = new SchemaParts{"+s", "", std::vector<ArrowSchema>(columns.size()), {}};
    for (std::size_t i = 0; i < columns.size(); ++i) {
        export_schema(columns[i], &parts->child_structs[i]);
        parts->children.push_back(&parts->child_structs[i]);
    }
    fill_schema(out, parts);
}

void export_table_array(const std::vector<NamedColumn>& columns, std::int64_t rows, ArrowArray* out) {
    auto parts = std::make_unique<ArrayParts>();
    parts->child_structs.resize(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        export_array(columns[i], &parts->child_structs[i]);
        parts->children.push_back(&parts->child_structs[i]);
    }
    *out = ArrowArray{rows, 0, 0, 1, static_cast<std::int64_t>(columns.size()), parts->buffers,
                      parts->children.empty() ? nullptr : parts->children.data(), nullptr, release_array, parts.get()};
    parts.release();
}

namespace {

struct StreamParts {
    std::vector<NamedColumn> columns;
    std::int64_t rows;
    bool given = false;  // the one batch
};

// A callback of the stream returns an error code, never an exception.
template <class Work>
int as_code(Work&& work) noexcept {
    try {
        work();
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    return as_code([&] { export_table_schema(static_cast<StreamParts*>(stream->private_data)->columns, out); });
}

// The batch once, then the end of the stream.
int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* parts = static_cast<StreamParts*>(stream->private_data);
    if (parts->given) {
        out->release = nullptr;
        return 0;
    }
    return as_code([&] {
        export_table_array(parts->columns, parts->rows, out);
        parts->given = true;
    });
}

const char* stream_error(ArrowArrayStream*) { return nullptr; }

void release_stream(ArrowArrayStream* stream) {
    delete static_cast<StreamParts*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

void export_table_stream(std::vector<NamedColumn> columns, std::int64_t rows, ArrowArrayStream* out) {
    auto* parts = new StreamParts{std::move(columns), rows};
    *out = ArrowArrayStream{stream_schema, stream_next, stream_error, release_stream, parts};
}

}  // namespace velmo::tables
