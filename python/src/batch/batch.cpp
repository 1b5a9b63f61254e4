#include "batch.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "boundary.hpp"
#include "columns.hpp"
#include "convert.hpp"
#include "fields.hpp"
#include "interrupts.hpp"
#include "notes.hpp"
#include "run_failure.hpp"
#include "sequence.hpp"
#include "site_notes.hpp"
#include "text_cache.hpp"
#include "quarn/eval.hpp"

namespace velmo {

BatchNames batch_names_arg(PyObject* names) {
    check_sequence(names);
    BatchNames converted{convert_items<quarn::Identifier, ItemCode::MayRun>(names, extract_identifier), {}};
    converted.bindings.assign(converted.ids.size(), nullptr);
    return converted;
}

bool keep_going_arg(PyObject* errors) {
    if (!errors) return false;
    if (PyUnicode_Check(errors)) {
        if (PyUnicode_CompareWithASCIIString(errors, "raise") == 0) return false;
        if (PyUnicode_CompareWithASCIIString(errors, "return") == 0) return true;
    }
    PyErr_SetString(PyExc_ValueError, "errors must be 'raise' or 'return'");
    throw PyErrOccurred{};
}

namespace {

constexpr const char* kRows = "argument 'rows': ";

// Rows between two looks for a signal, which on PyPy means running a little
// Python code: a row that runs long looks for one itself, as every run does.
constexpr std::size_t kRowsBetweenChecks = 64;

// What `work` gives; an exception it raises leaves with the row's note.
template <class Work>
auto noted(std::size_t row, Work&& work) {
    try {
        return work();
    } catch (const PyErrOccurred&) {
        note_pending("in row " + std::to_string(row));
        throw;
    }
}

// What `work` gives; the TypeError of a row's value it raises names `rows`.
template <class Work>
auto as_rows_argument(Work&& work) {
    try {
        return work();
    } catch (const PyErrOccurred&) {
        prefix_argument_error("rows");
        throw;
    }
}

bool calls_functions(std::span<const quarn::Statement* const> program) {
    return std::any_of(program.begin(), program.end(), [](const quarn::Statement* s) { return s->reaches_call(); });
}

class Batch {
public:
    Batch(PyQuarn& self, HeldStatements& program, BatchOptions& options)
        : self_(self),
          program_(program),
          prepared_(self.machine, program.trees()),
          options_(options),
          texts_out_(options.outputs.ids.size()) {
        if (!options_.inputs) return;
        for (const quarn::Identifier& id : options_.inputs->ids) inputs_.push_back({id, nullptr, {}});
        texts_in_.resize(inputs_.size());
    }

    Ref run(RowSource& rows);

private:
    // ------------------------------------------------------ row by row
    template <class Work>
    Ref result_or_failure(std::size_t index, Work&& work);
    Ref run_row(PyObject* row);
    void bind(PyObject* row, quarn::Budget& budget);
    void convert_inputs(PyObject* row);
    void run_program(quarn::Budget& budget);
    template <class Put>
    void read_outputs(Put&& put);
    Ref output_tuple();
    void append(PyObject* results, const Ref& result);

    // ------------------------------------------- rows as columns (PyPy)
    Ref run_as_columns(PyObject* rows);
    std::size_t run_chunk(PyObject* chunk, std::size_t start, PyObject* results);
    static std::size_t length_of(PyObject* rows);

    PyQuarn& self_;
    HeldStatements& program_;
    quarn::PreparedProgram prepared_;  // the program as every row runs it
    BatchOptions& options_;
    std::vector<quarn::Assignment> inputs_;  // the names' views are of options_.inputs
    std::vector<TextIn> texts_in_;           // one per input
    std::vector<TextOut> texts_out_;         // one per output
    quarn::FailureSite site_;                // where the row's run stopped, if it failed there
};

// A chunk read ahead of its rows' runs must not be seen to be: rows go as
// columns only when the program calls no function, which could change the
// rows or what a later row holds.
Ref Batch::run(RowSource& rows) {
    if (host::kRowsAsColumns && options_.inputs && rows.in_place() && !calls_functions(program_.trees()))
        return run_as_columns(rows.in_place());
    Ref results = Ref::checked(PyList_New(0));
    for (std::size_t row = 0;; ++row) {
        if (row % kRowsBetweenChecks == kRowsBetweenChecks - 1) noted(row, [] { check_interrupt(); });
        Ref item = noted(row, [&] { return rows.next(); });
        if (!item) return results;
        append(results.get(), result_or_failure(row, [&] { return run_row(item.get()); }));
    }
}

void Batch::append(PyObject* results, const Ref& result) {
    if (PyList_Append(results, result.get()) < 0) throw PyErrOccurred{};
}

// What `work` gives for the row; or when it fails, its failure, raised, or
// given back in its place with errors="return" (run_failure.hpp).
template <class Work>
Ref Batch::result_or_failure(std::size_t index, Work&& work) {
    ProgramRun running;
    site_.steps.clear();
    try {
        return work();
    } catch (...) {
        FailurePlace place{site_.steps.empty() ? nullptr : &site_, index};
        if (!options_.keep_going) raise_failure(place);
        return returned_failure(place);
    }
}

// The row bound, run and read back, its binding and its run within one
// budget of operations; raises when any of it fails.
Ref Batch::run_row(PyObject* row) {
    quarn::Budget budget(self_.machine);
    bind(row, budget);
    run_program(budget);
    return output_tuple();
}

void Batch::bind(PyObject* row, quarn::Budget& budget) {
    if (options_.inputs) {
        as_rows_argument([&] { convert_inputs(row); });
        return quarn::assign(self_.machine, inputs_, budget);
    }
    Fields fields(self_.recent_texts);
    as_rows_argument([&] { fields.take_pairs(row, kRows); });
    fields.bind(self_, budget);
}

// A row of any sequence but a str, of as many values as inputs. An exact
// tuple, the common row, is read as it is; anything else is copied into
// one first, as the row may change while its values are converted.
void Batch::convert_inputs(PyObject* row) {
    if (!PyTuple_CheckExact(row)) check_sequence(row);
    Py_ssize_t size;
    Ref items = counted_items(row, inputs_.size(), size);
    if (size < 0) {
        PyErr_Format(PyExc_ValueError, "%sexpected a row of %zu values, got more", kRows, inputs_.size());
        throw PyErrOccurred{};
    }
    if (static_cast<std::size_t>(size) != inputs_.size()) {
        PyErr_Format(PyExc_ValueError, "%sexpected a row of %zu values, got %zd", kRows, inputs_.size(), size);
        throw PyErrOccurred{};
    }
    for (std::size_t i = 0; i < inputs_.size(); ++i)
        inputs_[i].value = texts_in_[i].convert(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)));
}

void Batch::run_program(quarn::Budget& budget) { prepared_.run(&site_, budget); }

// Each output as `get` reads it, handed to `put` with its index.
template <class Put>
void Batch::read_outputs(Put&& put) {
    BatchNames& outputs = options_.outputs;
    for (std::size_t i = 0; i < outputs.ids.size(); ++i) {
        if (!outputs.bindings[i]) outputs.bindings[i] = &self_.machine.binding(outputs.ids[i]);
        put(i, self_.machine.vars.read(*outputs.bindings[i]));
    }
}

Ref Batch::output_tuple() {
    Ref tuple = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(options_.outputs.ids.size())));
    read_outputs([&](std::size_t i, const quarn::Value& value) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), texts_out_[i].convert(value).release());
    });
    return tuple;
}

// Rows as columns, a chunk at a time, each row bound, run and read back as
// run_row() does it. A row that is no exact tuple or list of the inputs'
// width, or holds a value of another type than None, bool, int, float or
// str, ends a chunk and goes on its own. The Python code that packs and
// unpacks each chunk is where the host runs signal handlers, between
// chunks; a row that runs long looks for signals itself, as every run does.
Ref Batch::run_as_columns(PyObject* rows) {
    constexpr std::size_t kChunk = 256;
    Ref results = Ref::checked(PyList_New(0));
    for (std::size_t start = 0;;) {
        std::size_t size = length_of(rows);  // a list may grow meanwhile
        if (start >= size) return results;
        std::size_t end = std::min(size, start + kChunk);
        Ref chunk = Ref::checked(PySequence_GetSlice(rows, static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end)));
        start += run_chunk(chunk.get(), start, results.get());
        if (start >= end || start >= length_of(rows)) continue;
        Ref row = Ref::checked(PySequence_GetItem(rows, static_cast<Py_ssize_t>(start)));
        append(results.get(), result_or_failure(start++, [&] { return run_row(row.get()); }));
    }
}

// The rows' length, asked as len() asks it: the C-API's own view of a list
// would make a C object of every row on PyPy, which columns are there to avoid.
std::size_t Batch::length_of(PyObject* rows) {
    Py_ssize_t size = PySequence_Size(rows);
    if (size < 0) throw PyErrOccurred{};
    return static_cast<std::size_t>(size);
}

// The chunk's leading rows that go as columns; how many.
std::size_t Batch::run_chunk(PyObject* chunk, std::size_t start, PyObject* results) {
    std::optional<InputColumns> columns;
    noted(start, [&] { columns.emplace(chunk, inputs_.size()); });
    OutputColumns outputs(options_.outputs.ids.size(), columns->count());
    Ref failures = Ref::checked(PyList_New(0));
    for (std::size_t row = 0; row < columns->count(); ++row) {
        Ref failure = result_or_failure(start + row, [&] {
            quarn::Budget budget(self_.machine);
            as_rows_argument([&] {
                for (std::size_t i = 0; i < inputs_.size(); ++i) inputs_[i].value = columns->value(i, row);
            });
            quarn::assign(self_.machine, inputs_, budget);
            run_program(budget);
            read_outputs([&](std::size_t i, const quarn::Value& value) { outputs.put(i, value); });
            return Ref();
        });
        if (!failure) {
            outputs.end_row();
            continue;
        }
        outputs.skip();
        append(failures.get(), Ref::checked(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(row), failure.get())));
    }
    noted(start + columns->count(), [&] { unpack_rows(results, outputs.packed().get(), failures.get(), columns->count()); });
    return columns->count();
}

}  // namespace

Ref run_many(PyQuarn& self, HeldStatements& program, RowSource& rows, BatchOptions& options) {
    return Batch(self, program, options).run(rows);
}

}  // namespace velmo
