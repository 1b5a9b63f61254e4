// The libFuzzer target on the module's reader of Arrow's C Data Interface
// (python/src/tables): each input is decoded into a producer's schema and
// array, as a hostile producer might hand them over, and read as run_columns
// reads a column or a record batch: the schema read, the array checked, and
// if it passes, every value read. Refusal (BadArrow, BadText) is a normal
// outcome; a crash, a sanitizer report, a leak, a text value that is not
// UTF-8, or a struct whose release is not called exactly once is a finding.
//
// What no consumer can check is kept honest here: every buffer holds the
// bytes that the array's claims (its length, offset, last offset, the sizes
// of its text buffers) imply. Everything else a producer says is the input's
// to choose: lengths and offsets (within what the harness can back, or far
// past it), null counts, offsets' values, dictionary indices, text views,
// buffer and child counts, null buffers, formats.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "arrow_owned.hpp"
#include "arrow_reader.hpp"
#include "arrow_type.hpp"
#include "arrow_view.hpp"
#include "utf8_check.hpp"

using namespace velmo::tables;

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "==arrow-fuzz== FINDING: %s\n", what);
    std::abort();
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    bool chance(int in) { return byte() % in == 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Everything the structs point to, and how often each top struct was released.
struct Producer {
    std::vector<std::unique_ptr<std::vector<char>>> memory;
    std::vector<std::unique_ptr<ArrowSchema>> schemas;
    std::vector<std::unique_ptr<ArrowArray>> arrays;
    std::vector<std::unique_ptr<std::vector<const void*>>> pointer_lists;
    int schema_releases = 0;
    int array_releases = 0;

    char* bytes(std::size_t n, Input& in) {
        memory.push_back(std::make_unique<std::vector<char>>(n + 1));
        for (std::size_t i = 0; i < n; ++i) (*memory.back())[i] = static_cast<char>(in.byte());
        return memory.back()->data();
    }
};

void release_top_schema(ArrowSchema* schema) {
    ++static_cast<Producer*>(schema->private_data)->schema_releases;
    schema->release = nullptr;
}
void release_top_array(ArrowArray* array) {
    ++static_cast<Producer*>(array->private_data)->array_releases;
    array->release = nullptr;
}
void release_child_schema(ArrowSchema* schema) { schema->release = nullptr; }
void release_child_array(ArrowArray* array) { array->release = nullptr; }

constexpr const char* kFormats[] = {"n", "b", "c", "C", "s", "S", "i", "I", "l", "L", "e", "f", "g", "u", "U", "vu",
                                    "+l", "+L", "+s", "tdD", "z", "+w:2", "d:5,2"};
constexpr std::int64_t kHuge[] = {-1, INT64_MIN, std::int64_t{1} << 47, std::int64_t{1} << 62, INT64_MAX};

std::int64_t claim(Input& in, int small) {
    if (in.chance(16)) return kHuge[in.byte() % std::size(kHuge)];
    return in.byte() % small;
}

std::int64_t width_of(const std::string& format) {
    static const std::string widths[] = {"cC", "sSe", "iIf", "lLg"};
    for (int i = 0; i < 4; ++i)
        if (format.size() == 1 && widths[i].find(format[0]) != std::string::npos) return std::int64_t{1} << i;
    return 0;
}

struct Made {
    ArrowSchema* schema;
    ArrowArray* array;
};

// `wanted`, when not negative, is the length the array should mostly have.
Made make(Producer& p, Input& in, int depth, std::int64_t wanted = -1);

char* zeros(Producer& p, std::size_t n) {
    p.memory.push_back(std::make_unique<std::vector<char>>(n + 1));
    return p.memory.back()->data();
}

// Offsets mostly growing by a little, now and then falling back or going
// negative; `most` is the largest, what the data (or child) must hold.
template <class Offset>
const void* offsets(Producer& p, Input& in, std::int64_t count, std::int64_t& most) {
    char* out = zeros(p, static_cast<std::size_t>(count) * sizeof(Offset));
    Offset at = 0;
    most = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        int step = in.byte();
        at = step == 255 ? static_cast<Offset>(-at - 1) : step > 240 ? static_cast<Offset>(at - (step - 240)) : static_cast<Offset>(at + step % 16);
        std::memcpy(out + i * sizeof(Offset), &at, sizeof(Offset));
        if (at > most) most = at;
    }
    return out;
}

// Text views: each either inline or naming a buffer, its fields the input's.
void text_views(Producer& p, Input& in, std::int64_t rows, std::vector<const void*>& buffers) {
    char* views = p.bytes(static_cast<std::size_t>(rows) * 16, in);
    buffers.push_back(views);
    int count = in.byte() % 3;
    auto* sizes = reinterpret_cast<std::int64_t*>(zeros(p, static_cast<std::size_t>(count) * 8 + 8));
    for (int i = 0; i < count; ++i) {
        sizes[i] = in.byte();
        buffers.push_back(p.bytes(static_cast<std::size_t>(sizes[i]), in));
    }
    for (std::int64_t row = 0; row < rows; ++row) {
        std::int32_t fields[3] = {in.byte() % 40, in.byte() % 4, in.byte() % 200};
        if (!in.chance(8)) std::memcpy(views + row * 16, &fields[0], 4);
        if (fields[0] > 12 && !in.chance(8)) std::memcpy(views + row * 16 + 8, &fields[1], 8);
    }
    buffers.push_back(sizes);
}

void buffers_of(Producer& p, Input& in, const std::string& format, std::int64_t rows, std::vector<const void*>& buffers,
                std::int64_t& child_rows) {
    std::int64_t most = 0;
    if (std::int64_t width = width_of(format)) {
        buffers.push_back(p.bytes(static_cast<std::size_t>(rows * width), in));
    } else if (format == "b") {
        buffers.push_back(p.bytes(static_cast<std::size_t>((rows + 7) / 8), in));
    } else if (format == "u" || format == "+l") {
        buffers.push_back(offsets<std::int32_t>(p, in, rows + 1, most));
    } else if (format == "U" || format == "+L") {
        buffers.push_back(offsets<std::int64_t>(p, in, rows + 1, most));
    } else if (format == "vu") {
        text_views(p, in, rows, buffers);
    }
    if (format == "u" || format == "U") buffers.push_back(p.bytes(static_cast<std::size_t>(most), in));
    child_rows = most;
}

void children_of(Producer& p, Input& in, const std::string& format, int depth, std::int64_t child_rows, Made& made) {
    int count = format == "+s" ? 1 + in.byte() % 2 : format[0] == '+' ? 1 : 0;
    if (in.chance(32)) count = in.byte() % 3;
    auto schemas = std::make_unique<std::vector<const void*>>(), arrays = std::make_unique<std::vector<const void*>>();
    for (int i = 0; i < count; ++i) {
        // mostly a child that holds what the offsets point to
        Made child = make(p, in, depth + 1, format[0] == '+' && format != "+s" ? child_rows : -1);
        schemas->push_back(child.schema);
        arrays->push_back(child.array);
    }
    made.schema->n_children = made.array->n_children = count;
    made.schema->children = reinterpret_cast<ArrowSchema**>(const_cast<void**>(schemas->data()));
    made.array->children = reinterpret_cast<ArrowArray**>(const_cast<void**>(arrays->data()));
    p.pointer_lists.push_back(std::move(schemas));
    p.pointer_lists.push_back(std::move(arrays));
}

std::string format_of(Input& in, int depth) {
    std::string format = kFormats[in.byte() % (depth < 3 ? std::size(kFormats) : 16)];
    if (!in.chance(32)) return format;
    format.clear();
    for (int n = in.byte() % 4; n > 0; --n) format += static_cast<char>(in.byte() | 1);
    return format;
}

Made make(Producer& p, Input& in, int depth, std::int64_t wanted) {
    p.schemas.push_back(std::make_unique<ArrowSchema>());
    p.arrays.push_back(std::make_unique<ArrowArray>());
    Made made{p.schemas.back().get(), p.arrays.back().get()};
    std::string format = format_of(in, depth);
    made.schema->format = std::strcpy(zeros(p, format.size()), format.c_str());
    made.schema->name = "x";
    ArrowArray& array = *made.array;
    array.length = wanted >= 0 && !in.chance(8) ? wanted : claim(in, 20);
    array.offset = in.chance(4) ? claim(in, 5) : 0;
    bool backed = array.length >= 0 && array.offset >= 0 && array.length <= 1 << 16 && array.offset <= 256;
    std::int64_t rows = backed ? array.length + array.offset : 4;  // what the buffers hold
    array.null_count = in.chance(3) ? 0 : in.chance(2) ? -1 : claim(in, 8);
    auto buffers = std::make_unique<std::vector<const void*>>();
    buffers->push_back(in.chance(4) ? nullptr : p.bytes(static_cast<std::size_t>((rows + 7) / 8), in));
    std::int64_t child_rows = 0;
    bool dictionary = depth < 3 && width_of(format) > 0 && std::string("efg").find(format) == std::string::npos && in.chance(6);
    if (format != "n") buffers_of(p, in, format, rows, *buffers, child_rows);
    if (format == "n") buffers->clear();
    for (const void*& buffer : *buffers)
        if (in.chance(64)) buffer = nullptr;
    // A count off by one, but the list of pointers as long as it says; not
    // for text views, whose count decides which buffer is read as sizes.
    bool lie = format != "vu" && in.chance(32);
    array.n_buffers = static_cast<std::int64_t>(buffers->size()) + (lie ? in.byte() % 3 - 1 : 0);
    if (array.n_buffers > static_cast<std::int64_t>(buffers->size())) buffers->push_back(nullptr);
    array.buffers = buffers->data();
    p.pointer_lists.push_back(std::move(buffers));
    children_of(p, in, format, depth, child_rows, made);
    if (dictionary) {
        Made values = make(p, in, depth + 1);
        made.schema->dictionary = values.schema;
        made.array->dictionary = values.array;
    }
    made.schema->release = release_child_schema;
    made.array->release = release_child_array;
    return made;
}

// Every value of the array read, and each text checked as UTF-8: but for
// an array of nulls, which needs no memory for any length, at most as many
// as the harness backs.
void read_all(const ArrayView& view) {
    ArrowReader reader(view);
    for (std::int64_t i = 0; i < view.length && i <= 1 << 16; ++i) {
        try {
            quarn::Value value = reader.value(i);
            if (value.kind() == quarn::Kind::String && !is_utf8(value.as_string())) finding("a text read is not UTF-8");
        } catch (const BadText&) {
        }
    }
}

void read(const ArrowSchema& schema, const ArrowArray& array) {
    try {
        ArrowType type = read_type(schema);
        if (type.kind == ArrowKind::Struct && !type.dictionary) {
            std::vector<std::size_t> fields;
            for (std::size_t i = 0; i < type.children.size(); ++i)
                if (type.children[i].bindable()) fields.push_back(i);
            ArrayView batch = view_batch(array, type, fields);
            for (const ArrayView& field : batch.children) read_all(field);
        } else if (type.bindable()) {
            read_all(view_array(array, type));
        }
    } catch (const BadArrow&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Producer producer;
    Made made = make(producer, in, 0);
    made.schema->release = release_top_schema;
    made.schema->private_data = &producer;
    made.array->release = release_top_array;
    made.array->private_data = &producer;
    {
        OwnedSchema schema = OwnedSchema::take(made.schema);
        OwnedArray array = OwnedArray::take(made.array);
        read(*schema, *array);
    }
    if (producer.schema_releases != 1 || producer.array_releases != 1) finding("a struct was not released exactly once");
    return 0;
}
