#include "table_input.hpp"

#include <algorithm>

#include "boundary.hpp"
#include "capsules.hpp"
#include "column_source.hpp"
#include "convert.hpp"
#include "recursion_guard.hpp"
#include "error_text.hpp"
#include "errors.hpp"
#include "host.hpp"

namespace velmo::tables {

std::string column_label(const quarn::IdentifierView& name) {
    return name.is_u() ? std::to_string(name.u()) : "'" + std::string(name.s()) + "'";
}

// The record batches of a table: a stream's, each taken when the rows
// before it are done, or the one of an object with __arrow_c_array__.
class Batches {
public:
    Batches(PyObject* table, bool stream) {
        if (stream) {
            stream_ = stream_of(table);
            if (int code = stream_->get_schema(stream_.get(), schema_.out())) raise_stream_error(*stream_, code);
        } else {
            SchemaAndArray given = array_of(table);
            schema_ = std::move(given.schema);
            single_ = std::move(given.array);
        }
        try {
            type_ = read_type(*schema_);
        } catch (const BadArrow& bad) {
            refuse_arrow("the table's schema", bad);
        }
    }

    const ArrowType& type() const noexcept { return type_; }
    std::vector<std::size_t> fields;  // read, one per input

    // The next batch that has rows, checked; false at the end.
    bool next() {
        do {
            readers_.clear();
            if (!take()) return false;
            try {
                view_ = view_batch(*batch_, type_, fields);
            } catch (const BadArrow& bad) {
                refuse_arrow("a record batch", bad);
            }
        } while (view_.length == 0);
        for (const ArrayView& field : view_.children) readers_.push_back(std::make_unique<ArrowReader>(field));
        return true;
    }
    std::int64_t rows() const noexcept { return view_.length; }

    // A row that is null in the batch is null in every column.
    PlainNumbers plain(std::size_t input) const noexcept {
        return view_.validity ? PlainNumbers{} : readers_[input]->plain(view_.offset);
    }
    ArrowReader* plain_texts(std::size_t input, std::int64_t& from) const noexcept {
        if (view_.validity || !readers_[input]->plain_texts()) return nullptr;
        from = view_.offset;
        return readers_[input].get();
    }

    quarn::Value value(std::size_t input, std::int64_t row) {
        if (view_.is_null(row)) return quarn::Value();
        return readers_[input]->value(view_.offset + row);
    }

private:
    bool take() {
        batch_.reset();
        if (!stream_) {
            if (!single_) return false;
            batch_ = std::move(single_);
            return true;
        }
        if (int code = stream_->get_next(stream_.get(), batch_.out())) raise_stream_error(*stream_, code);
        return static_cast<bool>(batch_);
    }

    OwnedStream stream_;
    OwnedSchema schema_;
    OwnedArray single_;
    ArrowType type_;
    OwnedArray batch_;
    ArrayView view_;
    std::vector<std::unique_ptr<ArrowReader>> readers_;
};

namespace {

[[noreturn]] void missing(const quarn::Identifier& name) {
    Ref key = identifier_to_python(name);
    PyErr_SetObject(PyExc_KeyError, key.get());
    throw PyErrOccurred{};
}

[[noreturn]] void no_table(PyObject* columns) {
    Ref type = host::type_of(columns);
    raise_type_error("argument 'columns': '" + type_name(reinterpret_cast<PyTypeObject*>(type.get())) +
                     "' object is not a table: it has no __arrow_c_stream__ or __arrow_c_array__, and no keys()");
}

// A name of a mapping's column, as a name of `get` converts.
quarn::Identifier argument_name(PyObject* key) {
    try {
        return extract_identifier(key);
    } catch (const PyErrOccurred&) {
        prefix_argument_error("columns");
        throw;
    }
}

// A mapping's names and columns, in its order, each held.
struct Entry {
    quarn::Identifier name;
    Ref column;
};

std::vector<Entry> entries_of(PyObject* mapping) {
    std::vector<Entry> entries;
    Ref keys = Ref::checked(python_call([&] { return PyMapping_Keys(mapping); }, nullptr));
    Ref iterator = Ref::checked(python_call([&] { return PyObject_GetIter(keys.get()); }, nullptr));
    while (Ref key = Ref::steal(PyIter_Next(iterator.get()))) {
        quarn::Identifier name = argument_name(key.get());
        Ref column = Ref::checked(python_call([&] { return PyObject_GetItem(mapping, key.get()); }, nullptr));
        entries.push_back({std::move(name), std::move(column)});
    }
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return entries;
}

}  // namespace

TableInput::TableInput(PyObject* columns, const std::optional<BatchNames>& inputs) {
    if (has_method(columns, "__arrow_c_stream__") || has_method(columns, "__arrow_c_array__")) {
        from_table(columns, inputs);
        return;
    }
    if (!PyDict_Check(columns) && !has_method(columns, "keys")) no_table(columns);
    from_mapping(columns, inputs);
}

TableInput::~TableInput() = default;

void TableInput::from_table(PyObject* columns, const std::optional<BatchNames>& inputs) {
    batches_ = std::make_unique<Batches>(columns, has_method(columns, "__arrow_c_stream__"));
    const ArrowType& type = batches_->type();
    if (type.kind != ArrowKind::Struct || type.dictionary)
        raise_type_error("argument 'columns': its Arrow type is " + type.name + ", not a struct of named columns");
    auto field_of = [&](const quarn::Identifier& name) {
        for (std::size_t i = 0; i < type.children.size(); ++i)
            if (!name.is_u() && type.children[i].field == name.s()) return i;
        missing(name);
    };
    if (inputs) {
        for (const quarn::Identifier& name : inputs->ids) batches_->fields.push_back(field_of(name));
        names_ = inputs->ids;
    } else {
        for (std::size_t i = 0; i < type.children.size(); ++i) {
            batches_->fields.push_back(i);
            names_.push_back(quarn::Identifier::S(type.children[i].field));
        }
    }
    for (std::size_t field : batches_->fields)
        if (!type.children[field].bindable())
            refuse_type(column_label(quarn::IdentifierView::S(type.children[field].field)), type.children[field].name);
}

// Every bound column is taken, and checked, before any row runs.
void TableInput::from_mapping(PyObject* columns, const std::optional<BatchNames>& inputs) {
    std::vector<Entry> entries = entries_of(columns);
    std::vector<Entry*> bound;
    if (inputs) {
        for (const quarn::Identifier& name : inputs->ids) {
            auto found = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.name == name; });
            if (found == entries.end()) missing(name);
            bound.push_back(&*found);
        }
    } else {
        for (Entry& entry : entries) bound.push_back(&entry);
    }
    for (Entry* entry : bound) {
        names_.push_back(entry->name);
        sources_.push_back(std::make_unique<ColumnSource>(entry->column.get(), column_label(entry->name)));
    }
    for (const auto& source : sources_) {
        if (source->length() == sources_[0]->length()) continue;
        PyErr_Format(PyExc_ValueError, "column %s has %lld rows where column %s has %lld", source->label().c_str(),
                     static_cast<long long>(source->length()), sources_[0]->label().c_str(),
                     static_cast<long long>(sources_[0]->length()));
        throw PyErrOccurred{};
    }
    left_ = sources_.empty() ? 0 : sources_[0]->length();
    // With no column bound, the rows are still those of the table.
    if (sources_.empty() && !entries.empty())
        left_ = ColumnSource(entries[0].column.get(), column_label(entries[0].name)).length();
}

bool TableInput::next_segment() {
    if (batches_) {
        if (!batches_->next()) return false;
        rows_ = batches_->rows();
        return true;
    }
    if (started_) {
        for (auto& source : sources_) source->advance(rows_);
        left_ -= rows_;
    }
    started_ = true;
    if (left_ <= 0) return false;
    rows_ = left_;
    for (auto& source : sources_) rows_ = std::min(rows_, source->rows_in_chunk());
    return rows_ > 0;
}

PlainNumbers TableInput::plain(std::size_t input) const noexcept {
    return batches_ ? batches_->plain(input) : sources_[input]->plain(0);
}

ArrowReader* TableInput::plain_texts(std::size_t input, std::int64_t& from) const noexcept {
    return batches_ ? batches_->plain_texts(input, from) : sources_[input]->plain_texts(0, from);
}

quarn::Value TableInput::value(std::size_t input, std::int64_t row) {
    try {
        return batches_ ? batches_->value(input, row) : sources_[input]->value(row);
    } catch (const PyErrOccurred&) {
        std::string label = batches_ ? column_label(names_[input]) : sources_[input]->label();
        prefix_type_error("column " + label + ": ");
        throw;
    }
}

}  // namespace velmo::tables
