#include "batch.hpp"

#include <string>

#include "boundary.hpp"
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
    PyErr_Clear();  // a str that cannot be compared is refused all the same
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
    Ref results = Ref::checked(PyList_New(0));
    for (std::size_t row = 0;; ++row) {
        if (row % kRowsBetweenChecks == kRowsBetweenChecks - 1) noted(row, [] { check_interrupt(); });
        Ref item = noted(row, [&] { return rows.next(); });
        if (!item) return results;
        Ref result = outcome(item.get(), row);
        if (PyList_Append(results.get(), result.get()) < 0) throw PyErrOccurred{};
    }
}

// The row's tuple; or, when the row fails, its exception with its note,
// raised, or given back in its place with keep_going.
Ref Batch::outcome(PyObject* row, std::size_t index) {
    unsigned long stopped = stopped_functions();
    try {
        return result(row);
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
    site_.steps.clear();
    running_ = true;
    quarn::run(self_.machine, program_.trees(), &site_);
    running_ = false;
    return read_outputs();
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
    Ref items;
    if (!PyTuple_CheckExact(row)) {
        check_sequence(row);
        items = Ref::checked(python_call([&] { return PySequence_Tuple(row); }, nullptr));
        row = items.get();
    }
    auto size = static_cast<std::size_t>(PyTuple_GET_SIZE(row));
    if (size != inputs_.size()) {
        PyErr_Format(PyExc_ValueError, "%sexpected a row of %zu values, got %zu", kRows, inputs_.size(), size);
        throw PyErrOccurred{};
    }
    for (std::size_t i = 0; i < size; ++i) inputs_[i].value = texts_in_[i].convert(PyTuple_GET_ITEM(row, i));
}

Ref Batch::read_outputs() {
    BatchNames& outputs = options_.outputs;
    Ref tuple = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(outputs.ids.size())));
    for (std::size_t i = 0; i < outputs.ids.size(); ++i) {
        if (!outputs.bindings[i]) outputs.bindings[i] = &self_.machine.binding(outputs.ids[i]);
        Ref value = texts_out_[i].convert(self_.machine.vars.read(*outputs.bindings[i]));
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value.release());
    }
    return tuple;
}

}  // namespace

Ref run_many(PyQuarn& self, HeldStatements& program, RowSource& rows, BatchOptions& options) {
    return Batch(self, program, options).run(rows);
}

}  // namespace velmo
