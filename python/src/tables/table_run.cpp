#include "table_run.hpp"

#include <string>
#include <vector>

#include "arrow_reader.hpp"
#include "convert.hpp"
#include "interrupts.hpp"
#include "notes.hpp"
#include "output_column.hpp"
#include "result_objects.hpp"
#include "run_failure.hpp"
#include "site_notes.hpp"
#include "table_input.hpp"
#include "quarn/eval.hpp"

namespace velmo::tables {
namespace {

// Rows between two looks for a signal, as in run_many: a row that runs long
// looks for one itself, as every run does.
constexpr std::int64_t kRowsBetweenChecks = 64;

const char* kind_name(const quarn::Value& value) {
    switch (value.kind()) {
    case quarn::Kind::Null: return "Null";
    case quarn::Kind::Boolean: return "Boolean";
    case quarn::Kind::String: return "String";
    case quarn::Kind::Number: return "Number";
    case quarn::Kind::Vector: return "Vector";
    default: return "Function";
    }
}

// What `work` gives; an exception it raises leaves with the row's note.
template <class Work>
auto noted(std::int64_t row, Work&& work) {
    try {
        return work();
    } catch (const PyErrOccurred&) {
        note_pending("in row " + std::to_string(row));
        throw;
    }
}

class TableRun {
public:
    TableRun(PyQuarn& self, HeldStatements& program, BatchOptions& options, TableInput& table)
        : self_(self),
          program_(program),
          prepared_(self.machine, program.trees()),
          options_(options),
          table_(table),
          outputs_(options.outputs.ids.size()) {
        for (const quarn::Identifier& id : table.names()) inputs_.push_back({id, nullptr, {}});
        if (options.keep_going) failures_ = Ref::checked(PyDict_New());
    }

    Ref run();

private:
    void open_segment(std::int64_t rows);
    void run_row(std::int64_t at);
    void bind_and_run(std::int64_t at);
    quarn::Value input(std::size_t i, std::int64_t at);
    void read_outputs();
    void write_outputs();
    [[noreturn]] void refuse_output(std::size_t i, const quarn::Value& value);
    void failed(Ref exception);
    Ref result();

    PyQuarn& self_;
    HeldStatements& program_;
    quarn::PreparedProgram prepared_;  // the program as every row runs it
    BatchOptions& options_;
    TableInput& table_;
    std::vector<quarn::Assignment> inputs_;  // the names' views are of the table's
    // How each input is read through the segment: plain numbers in place,
    // plain texts through their reader, else through the table.
    struct SegmentInput {
        PlainNumbers numbers;
        ArrowReader* texts = nullptr;
        std::int64_t from = 0;  // the texts' index of the segment's first row
    };
    std::vector<SegmentInput> segment_;
    std::vector<OutputColumn> outputs_;
    Ref failures_;
    std::int64_t row_ = 0;     // counted across every batch
    quarn::FailureSite site_;  // where the row's run stopped, if it failed there
};

Ref TableRun::run() {
    while (noted(row_, [&] { return table_.next_segment(); })) {
        std::int64_t rows = table_.segment_rows();
        open_segment(rows);
        for (std::int64_t at = 0; at < rows; ++at, ++row_) {
            if (row_ % kRowsBetweenChecks == kRowsBetweenChecks - 1) noted(row_, [] { check_interrupt(); });
            run_row(at);
        }
    }
    return result();
}

void TableRun::open_segment(std::int64_t rows) {
    for (OutputColumn& output : outputs_) output.reserve(rows);
    segment_.clear();
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
        SegmentInput& input = segment_.emplace_back();
        input.numbers = table_.plain(i);
        if (!input.numbers) input.texts = table_.plain_texts(i, input.from);
    }
}

// The row's outputs are written only once all of them are bound and fit:
// a row that fails leaves a null in each.
void TableRun::run_row(std::int64_t at) {
    ProgramRun running;
    site_.steps.clear();
    try {
        bind_and_run(at);
        read_outputs();
    } catch (...) {
        FailurePlace place{site_.steps.empty() ? nullptr : &site_, static_cast<std::size_t>(row_)};
        if (!options_.keep_going) raise_failure(place);
        return failed(returned_failure(place));
    }
    write_outputs();
}

void TableRun::bind_and_run(std::int64_t at) {
    quarn::Budget budget(self_.machine);
    quarn::Assignment* inputs = inputs_.data();
    const SegmentInput* segment = segment_.data();
    for (std::size_t i = 0, n = inputs_.size(); i < n; ++i)
        inputs[i].value = segment[i].numbers ? segment[i].numbers.value(at) : input(i, at);
    quarn::assign(self_.machine, inputs_, budget);
    prepared_.run(&site_, budget);
}

// A text that is not UTF-8 fails its row with the error Python's own
// decoding gives.
quarn::Value TableRun::input(std::size_t i, std::int64_t at) {
    try {
        const SegmentInput& input = segment_[i];
        return input.texts ? input.texts->utf8(input.from + at) : table_.value(i, at);
    } catch (const BadText& bad) {
        Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(bad.bytes.data(), static_cast<Py_ssize_t>(bad.bytes.size()), nullptr));
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "velmo: a text refused as not UTF-8 decodes");
        throw PyErrOccurred{};
    }
}

// Each output is looked at where it is bound, with no counted copy: nothing
// runs between this look and the one that writes it (write_outputs).
void TableRun::read_outputs() {
    BatchNames& outputs = options_.outputs;
    const quarn::Binding** bindings = outputs.bindings.data();
    OutputColumn* columns = outputs_.data();
    for (std::size_t i = 0, n = outputs_.size(); i < n; ++i) {
        if (!bindings[i]) bindings[i] = &self_.machine.binding(outputs.ids[i]);
        OutputColumn& output = columns[i];
        if (!bindings[i]->peek([&](const quarn::Value& value) { return output.fits(value); }))
            refuse_output(i, self_.machine.vars.read(*bindings[i]));
    }
}

void TableRun::write_outputs() {
    const quarn::Binding* const* bindings = options_.outputs.bindings.data();
    OutputColumn* columns = outputs_.data();
    for (std::size_t i = 0, n = outputs_.size(); i < n; ++i) {
        OutputColumn& output = columns[i];
        bindings[i]->peek([&](const quarn::Value& value) {
            output.append(value);
            return true;
        });
    }
}

void TableRun::refuse_output(std::size_t i, const quarn::Value& value) {
    std::string name = column_label(options_.outputs.ids[i]);
    const char* holds = outputs_[i].kind_name();
    if (value.kind() == quarn::Kind::Vector || value.kind() == quarn::Kind::Function || !holds)
        PyErr_Format(PyExc_TypeError, "output %s: row %lld gives a %s, which no column holds", name.c_str(),
                     static_cast<long long>(row_), kind_name(value));
    else
        PyErr_Format(PyExc_TypeError, "output %s: row %lld gives a %s, but its column holds %s values", name.c_str(),
                     static_cast<long long>(row_), kind_name(value), holds);
    throw PyErrOccurred{};
}

void TableRun::failed(Ref exception) {
    for (OutputColumn& output : outputs_) output.append_null();
    Ref row = Ref::checked(PyLong_FromLongLong(row_));
    if (PyDict_SetItem(failures_.get(), row.get(), exception.get()) < 0) throw PyErrOccurred{};
}

// An output's column is named by its text, or a number name by its digits.
Ref TableRun::result() {
    std::vector<NamedColumn> named;
    std::vector<Ref> keys;
    for (std::size_t i = 0; i < outputs_.size(); ++i) {
        const quarn::Identifier& id = options_.outputs.ids[i];
        named.push_back({id.is_u() ? std::to_string(id.u()) : id.s(), outputs_[i].finish()});
        keys.push_back(identifier_to_python(id));
    }
    Ref failures = failures_ ? failures_ : Ref::checked(PyDict_New());
    return make_columns(std::move(named), std::move(keys), std::move(failures), row_);
}

}  // namespace

// One column per output: a name given twice is refused before any row.
Ref run_columns(PyQuarn& self, HeldStatements& program, PyObject* columns, BatchOptions& options) {
    const std::vector<quarn::Identifier>& outputs = options.outputs.ids;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (outputs[i] != outputs[j]) continue;
            PyErr_Format(PyExc_ValueError, "output %s is named twice", column_label(outputs[i]).c_str());
            throw PyErrOccurred{};
        }
    }
    TableInput table(columns, options.inputs);
    return TableRun(self, program, options, table).run();
}

}  // namespace velmo::tables
