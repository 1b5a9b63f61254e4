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
#include "panic.hpp"
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
const std::string kNone;

// Rows between two looks for a signal, which on PyPy means running a little
// Python code: a row that runs long looks for one itself, as every run does.
constexpr std::size_t kRowsBetweenChecks = 64;

class Batch {
public:
    Batch(PyQuarn& self, HeldStatements& program, BatchOptions& options)
        : self_(self), program_(program), options_(options), texts_out_(options.outputs.ids.size()) {
        if (!options_.inputs) return;
        for (const quarn::Identifier& id : options_.inputs->ids) inputs_.push_back({id, nullptr, {}});
        texts_in_.resize(inputs_.size());
    }

    Ref run(RowSource& rows);

private:
    Ref run_columns(PyObject* rows);
    std::size_t run_chunk(PyObject* chunk, std::size_t start, PyObject* results);
    static std::size_t length_of(PyObject* rows);
    template <class Work>
    Ref attempt(std::size_t index, Work&& work);
    void run_program();
    void read_into(OutputColumns& outputs);
    const quarn::Binding& output(std::size_t i);
    void bind_columns(InputColumns& columns, std::size_t row);

    // What `work` gives; an exception it raises leaves with the row's note.
    template <class Work>
    static auto noted(std::size_t row, Work&& work) {
        try {
            return work();
        } catch (const PyErrOccurred&) {
            note_pending(row_note(row));
            throw;
        }
    }

    static std::string row_note(std::size_t row) { return "in row " + std::to_string(row); }

    Ref outcome(PyObject* row, std::size_t index);
    Ref fail(std::size_t index, const quarn::Fatal* fatal, bool resumed);
    Ref result(PyObject* row);
    void bind(PyObject* row);
    void bind_inputs(PyObject* row);
    void convert_inputs(PyObject* row);
    Ref read_outputs();

    PyQuarn& self_;
    HeldStatements& program_;
    BatchOptions& options_;
    std::vector<quarn::Assignment> inputs_;  // the names' views are of options_.inputs
    std::vector<TextIn> texts_in_;           // one per input
    std::vector<TextOut> texts_out_;         // one per output
    quarn::FailureSite site_;                // where the row's run stopped
    bool running_ = false;                   // while the row's program runs
};

Ref Batch::run(RowSource& rows) {
    if (host::kRowsAsColumns && options_.inputs && rows.in_place()) return run_columns(rows.in_place());
    Ref results = Ref::checked(PyList_New(0));
    for (std::size_t row = 0;; ++row) {
        if (row % kRowsBetweenChecks == kRowsBetweenChecks - 1) noted(row, [] { check_interrupt(); });
        Ref item = noted(row, [&] { return rows.next(); });
        if (!item) return results;
        Ref result = outcome(item.get(), row);
        if (PyList_Append(results.get(), result.get()) < 0) throw PyErrOccurred{};
    }
}

// Rows as columns, a chunk at a time, each row bound, run and read back as
// run() does it. A row that is no exact tuple or list of the inputs' width
// ends a chunk and goes on its own. The Python code that packs and unpacks
// each chunk is where the host runs signal handlers, between chunks; a row
// that runs long looks for signals itself, as every run does.
Ref Batch::run_columns(PyObject* rows) {
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
        Ref result = outcome(row.get(), start++);
        if (PyList_Append(results.get(), result.get()) < 0) throw PyErrOccurred{};
    }
}

// The rows' length, asked as len() asks it: the C-API's own view of a list
// would make a C object of every row on PyPy, which columns are there to avoid.
std::size_t Batch::length_of(PyObject* rows) {
    Py_ssize_t size = PySequence_Size(rows);
    if (size < 0) throw PyErrOccurred{};
    return static_cast<std::size_t>(size);
}

// The chunk's leading rows of the inputs' width; how many.
std::size_t Batch::run_chunk(PyObject* chunk, std::size_t start, PyObject* results) {
    std::optional<InputColumns> columns;
    noted(start, [&] { columns.emplace(chunk, inputs_.size()); });
    OutputColumns outputs(options_.outputs.ids.size(), columns->count());
    Ref failures = Ref::checked(PyList_New(0));
    for (std::size_t row = 0; row < columns->count(); ++row) {
        std::size_t index = start + row;
        Ref failure = attempt(index, [&] {
            bind_columns(*columns, row);
            run_program();
            read_into(outputs);
            return Ref();
        });
        if (!failure) {
            outputs.end_row();
            continue;
        }
        outputs.skip();
        Ref pair = Ref::checked(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(row), failure.get()));
        if (PyList_Append(failures.get(), pair.get()) < 0) throw PyErrOccurred{};
    }
    noted(start + columns->count(), [&] { unpack_rows(results, outputs.packed().get(), failures.get(), columns->count()); });
    return columns->count();
}

// The row's tuple; or, when the row fails, its exception with its note,
// raised, or given back in its place with keep_going.
Ref Batch::outcome(PyObject* row, std::size_t index) {
    return attempt(index, [&] { return result(row); });
}

// What `work` gives for the row; or when it fails, the failure, raised, or
// given back with keep_going.
template <class Work>
Ref Batch::attempt(std::size_t index, Work&& work) {
    unsigned long stopped = stopped_functions();
    try {
        return work();
    } catch (const PyErrOccurred&) {
        return fail(index, nullptr, false);
    } catch (const ResumedFatal& fatal) {
        return fail(index, &fatal, true);
    } catch (const quarn::Fatal& fatal) {
        if (stopped != stopped_functions()) options_.keep_going = false;  // a stop, not a failed row
        return fail(index, &fatal, false);
    }
}

// Either a fatal error, or a Python error that is pending. Its notes name
// the statement where the row's run stopped, if it stopped in the run, and
// the row.
Ref Batch::fail(std::size_t index, const quarn::Fatal* fatal, bool resumed) {
    bool returned = options_.keep_going && !(fatal == nullptr && interruption_pending());
    const std::string& inner = resumed ? static_cast<const ResumedFatal*>(fatal)->inner_site() : kNone;
    if (!returned) {
        if (fatal) raise_panic(*fatal, !resumed);
        if (running_) note_site_pending(site_, inner);
        note_pending(row_note(index));
        throw PyErrOccurred{};
    }
    Ref exception = fatal ? panic_exception(*fatal) : take_exception();
    if (!exception) throw PyErrOccurred{};
    if (running_) note_site(exception.get(), site_, inner);
    add_note(exception.get(), row_note(index));
    return exception;
}

Ref Batch::result(PyObject* row) {
    running_ = false;
    bind(row);
    run_program();
    return read_outputs();
}

void Batch::run_program() {
    site_.steps.clear();
    running_ = true;
    quarn::run(self_.machine, program_.trees(), &site_);
    running_ = false;
}

void Batch::bind_columns(InputColumns& columns, std::size_t row) {
    running_ = false;
    try {
        for (std::size_t i = 0; i < inputs_.size(); ++i) inputs_[i].value = columns.value(i, row);
    } catch (const PyErrOccurred&) {
        prefix_argument_error("rows");
        throw;
    }
    quarn::assign(self_.machine, inputs_);
}

const quarn::Binding& Batch::output(std::size_t i) {
    BatchNames& outputs = options_.outputs;
    if (!outputs.bindings[i]) outputs.bindings[i] = &self_.machine.binding(outputs.ids[i]);
    return *outputs.bindings[i];
}

void Batch::read_into(OutputColumns& outputs) {
    for (std::size_t i = 0; i < options_.outputs.ids.size(); ++i) outputs.put(i, self_.machine.vars.read(output(i)));
}

void Batch::bind(PyObject* row) {
    if (options_.inputs) return bind_inputs(row);
    Fields fields(self_.recent_texts);
    try {
        fields.take_pairs(row, kRows);
    } catch (const PyErrOccurred&) {
        prefix_argument_error("rows");
        throw;
    }
    fields.bind(self_);
}

void Batch::bind_inputs(PyObject* row) {
    try {
        convert_inputs(row);
    } catch (const PyErrOccurred&) {
        prefix_argument_error("rows");
        throw;
    }
    quarn::assign(self_.machine, inputs_);
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

Ref Batch::read_outputs() {
    BatchNames& outputs = options_.outputs;
    Ref tuple = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(outputs.ids.size())));
    for (std::size_t i = 0; i < outputs.ids.size(); ++i) {
        Ref value = texts_out_[i].convert(self_.machine.vars.read(output(i)));
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value.release());
    }
    return tuple;
}

}  // namespace

Ref run_many(PyQuarn& self, HeldStatements& program, RowSource& rows, BatchOptions& options) {
    return Batch(self, program, options).run(rows);
}

}  // namespace velmo
