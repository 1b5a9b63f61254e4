#include "arrow_type.hpp"

#include <cstring>
#include <string_view>

namespace velmo::tables {
namespace {

struct Named {
    const char* format;
    ArrowKind kind;
    const char* name;
};

// The formats of the types that bind, with the names messages give them.
constexpr Named kBound[] = {
    {"n", ArrowKind::Null, "null"},         {"b", ArrowKind::Boolean, "bool"},
    {"c", ArrowKind::Int8, "int8"},         {"s", ArrowKind::Int16, "int16"},
    {"i", ArrowKind::Int32, "int32"},       {"l", ArrowKind::Int64, "int64"},
    {"C", ArrowKind::UInt8, "uint8"},       {"S", ArrowKind::UInt16, "uint16"},
    {"I", ArrowKind::UInt32, "uint32"},     {"L", ArrowKind::UInt64, "uint64"},
    {"e", ArrowKind::Float16, "float16"},   {"f", ArrowKind::Float32, "float32"},
    {"g", ArrowKind::Float64, "float64"},   {"u", ArrowKind::Utf8, "utf8"},
    {"U", ArrowKind::LargeUtf8, "large_utf8"}, {"vu", ArrowKind::Utf8View, "utf8_view"},
    {"+l", ArrowKind::List, "list"},        {"+L", ArrowKind::LargeList, "large_list"},
    {"+s", ArrowKind::Struct, "struct"},
};

// Names of the other types, by their format or its prefix; the rest are
// named by their format.
constexpr std::pair<const char*, const char*> kOthers[] = {
    {"z", "binary"}, {"Z", "large_binary"}, {"vz", "binary_view"}, {"tdD", "date32"}, {"tdm", "date64"},
    {"tts", "time32[s]"}, {"ttm", "time32[ms]"}, {"ttu", "time64[us]"}, {"ttn", "time64[ns]"},
    {"tDs", "duration[s]"}, {"tDm", "duration[ms]"}, {"tDu", "duration[us]"}, {"tDn", "duration[ns]"},
    {"tiM", "month_interval"}, {"tiD", "day_time_interval"}, {"tin", "month_day_nano_interval"},
    {"+m", "map"}, {"+r", "run_end_encoded"}, {"+vl", "list_view"}, {"+vL", "large_list_view"},
};
constexpr std::pair<const char*, const char*> kOtherPrefixes[] = {
    {"tss:", "timestamp[s]"}, {"tsm:", "timestamp[ms]"}, {"tsu:", "timestamp[us]"}, {"tsn:", "timestamp[ns]"},
    {"+ud:", "dense_union"}, {"+us:", "sparse_union"},
};

std::string other_name(std::string_view format) {
    for (const auto& [f, name] : kOthers)
        if (format == f) return name;
    for (const auto& [prefix, name] : kOtherPrefixes)
        if (format.starts_with(prefix)) return name;
    if (format.starts_with("w:")) return "fixed_size_binary[" + std::string(format.substr(2)) + "]";
    if (format.starts_with("+w:")) return "fixed_size_list[" + std::string(format.substr(3)) + "]";
    if (format.starts_with("d:")) {
        std::string_view rest = format.substr(2);
        std::size_t comma = rest.find(',');
        std::size_t bits = comma == std::string_view::npos ? comma : rest.find(',', comma + 1);
        std::string width = bits == std::string_view::npos ? "128" : std::string(rest.substr(bits + 1));
        std::string scale = comma == std::string_view::npos ? "" : std::string(rest.substr(comma + 1, bits - comma - 1));
        return "decimal" + width + "(" + std::string(rest.substr(0, comma)) + ", " + scale + ")";
    }
    return "format '" + std::string(format) + "'";
}

[[noreturn]] void bad(const std::string& why) { throw BadArrow("the schema " + why); }

// The schema's own format, of at most a few hundred bytes: a producer's
// text is read only up to its terminator, which the format must have.
std::string_view format_of(const ArrowSchema& schema) {
    if (!schema.format) bad("has no format");
    return std::string_view(schema.format, ::strnlen(schema.format, 256));
}

void check_children(const ArrowSchema& schema) {
    if (schema.n_children < 0) bad("has a negative number of children");
    if (schema.n_children > 0 && !schema.children) bad("has no children where it counts " + std::to_string(schema.n_children));
    for (std::int64_t i = 0; i < schema.n_children; ++i)
        if (!schema.children[i]) bad("has a null child");
}

ArrowType read(const ArrowSchema& schema, int depth);

void read_kind(ArrowType& type, const ArrowSchema& schema, std::string_view format, int depth) {
    type.kind = ArrowKind::Other;
    type.name = other_name(format);
    for (const Named& named : kBound) {
        if (format != named.format) continue;
        type.kind = named.kind;
        type.name = named.name;
    }
    bool nested = type.kind == ArrowKind::List || type.kind == ArrowKind::LargeList || type.kind == ArrowKind::Struct;
    if (type.kind == ArrowKind::Other) return;
    if (!nested && schema.n_children != 0) bad("of a " + type.name + " has children");
    if ((type.kind == ArrowKind::List || type.kind == ArrowKind::LargeList) && schema.n_children != 1)
        bad("of a list has " + std::to_string(schema.n_children) + " children, not 1");
    for (std::int64_t i = 0; nested && i < schema.n_children; ++i) type.children.push_back(read(*schema.children[i], depth + 1));
    if (type.kind != ArrowKind::Struct && nested) type.name += "<" + type.children[0].name + ">";
}

ArrowType read(const ArrowSchema& schema, int depth) {
    if (depth > kMaxDepth) bad("is nested more than " + std::to_string(kMaxDepth) + " levels deep");
    std::string_view format = format_of(schema);
    check_children(schema);
    ArrowType type;
    if (schema.name) type.field.assign(schema.name, ::strnlen(schema.name, 1 << 16));
    read_kind(type, schema, format, depth);
    if (!schema.dictionary) return type;
    if (!is_integer(type.kind)) bad("of a dictionary has indices of type " + type.name);
    type.dictionary = std::make_unique<ArrowType>(read(*schema.dictionary, depth + 1));
    type.name = "dictionary<" + type.dictionary->name + ">";
    return type;
}

}  // namespace

bool ArrowType::bindable() const noexcept {
    if (dictionary) return !dictionary->dictionary && dictionary->bindable();
    switch (kind) {
    case ArrowKind::Other:
    case ArrowKind::Struct: return false;
    case ArrowKind::List:
    case ArrowKind::LargeList: return children[0].bindable();
    default: return true;
    }
}

ArrowType read_type(const ArrowSchema& schema) { return read(schema, 0); }

}  // namespace velmo::tables
