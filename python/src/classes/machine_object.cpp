#include "machine_object.hpp"

#include "batch.hpp"
#include "boundary.hpp"
#include "fields.hpp"
#include "run_failure.hpp"
#include "site_notes.hpp"
#include "convert.hpp"
#include "tree_args.hpp"
#include "table_run.hpp"
#include "quarn/eval.hpp"

namespace velmo::machine_object {

namespace {

// A limit is a positive int (a bool is not) or None, which is no limit, as
// is 0 inside. One past what a machine could ever count is as good as none.
std::uint64_t limit_arg(PyObject* value, const char* name) {
    if (!value || value == Py_None) return 0;
    auto refuse = [&](PyObject* type) {
        PyErr_Format(type, "%s must be a positive integer or None", name);
        throw PyErrOccurred{};
    };
    if (!PyLong_Check(value) || PyBool_Check(value)) refuse(PyExc_TypeError);
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) throw PyErrOccurred{};
    if (overflow > 0) return UINT64_MAX;
    if (overflow < 0 || n < 1) refuse(PyExc_ValueError);
    return static_cast<std::uint64_t>(n);
}

}  // namespace

Ref create(PyTypeObject* type, PyObject* const* limits) {
    std::uint64_t operations = limit_arg(limits[0], "max_operations");
    std::uint64_t size = limit_arg(limits[1], "max_value_size");
    return wrap(quarn::Machine::create({operations, size}, kMachineWriters), type);
}

namespace {

Ref run_trees(PyQuarn* self, std::span<const quarn::Statement* const> trees) {
    quarn::FailureSite site;
    ProgramRun running;
    try {
        quarn::run(self->machine, trees, &site);
    } catch (...) {
        raise_failure({&site});
    }
    return Ref::own(Py_None);
}

// The program the machine kept goes back once it has run, however it ends.
Ref run_kept(PyQuarn* self, std::unique_ptr<KeptProgram> kept) {
    struct PutBack {
        PyQuarn* self;
        std::unique_ptr<KeptProgram>& kept;
        ~PutBack() { self->recent_program.put_back(std::move(kept)); }
    } put_back{self, kept};
    return run_trees(self, kept->trees());
}

}  // namespace

// Every item is checked before the first statement runs. The trees are run
// in place: they never change, and the Statement objects holding them are
// held until the run ends, or the machine holds the trees themselves
// (recent_program.hpp). The lock stays held for the whole run.
Ref run(const Signature& sig, PyQuarn* self, PyObject* const* args) {
    if (std::unique_ptr<KeptProgram> kept = self->recent_program.take_if_ran(args[0]))
        return run_kept(self, std::move(kept));
    HeldStatements program = argument(sig, args, 0, [](PyObject* o) { return HeldStatements(o); });
    self->recent_program.ran(program.trees());
    return run_trees(self, program.trees());
}

Ref update(const Signature& sig, PyQuarn* self, PyObject* const* args) {
    Fields fields(self->recent_texts);
    argument(sig, args, 0, [&](PyObject* o) {
        fields.take_pairs(o, "argument 'bindings': ");
        return true;
    });
    fields.bind(*self);
    return Ref::own(Py_None);
}

Ref run_many(const Signature& sig, PyQuarn* self, PyObject* const* args) {
    HeldStatements program = argument(sig, args, 0, [](PyObject* o) { return HeldStatements(o); });
    RowSource rows = argument(sig, args, 1, [](PyObject* o) { return RowSource(o); });
    BatchOptions options;
    if (args[2] && args[2] != Py_None) options.inputs = argument(sig, args, 2, batch_names_arg);
    if (args[3]) options.outputs = argument(sig, args, 3, batch_names_arg);
    options.keep_going = keep_going_arg(args[4]);
    return velmo::run_many(*self, program, rows, options);
}

// The columns are taken by the run itself: what they are decides how.
Ref run_columns(const Signature& sig, PyQuarn* self, PyObject* const* args) {
    HeldStatements program = argument(sig, args, 0, [](PyObject* o) { return HeldStatements(o); });
    BatchOptions options;
    options.outputs = argument(sig, args, 2, batch_names_arg);
    if (args[3] && args[3] != Py_None) options.inputs = argument(sig, args, 3, batch_names_arg);
    options.keep_going = keep_going_arg(args[4]);
    return tables::run_columns(*self, program, args[1], options);
}

namespace {

// `ident in q` converts its name as get does, and names it so in errors.
constexpr const char* kIdentParams[] = {"ident"};
constexpr Signature kIdent{"Quarn.__contains__()", kIdentParams, 1, 1};

const quarn::Binding& binding_of(PyQuarn* self, PyObject* name, quarn::IdentifierView id) {
    if (const quarn::Binding* known = self->recent_names.find(name, id)) return *known;
    const quarn::Binding& found = self->machine.binding(id);
    self->recent_names.remember(name, id, &found);
    return found;
}

}  // namespace

Ref get(const Signature& sig, PyQuarn* self, PyObject* const* args) {
    quarn::Identifier storage;
    quarn::IdentifierView id =
        argument(sig, args, 0, [&](PyObject* o) { return extract_identifier_view(o, storage); });
    return to_python(self->machine.vars.read(binding_of(self, args[0], id)));
}

Ref names(const Signature&, PyQuarn* self, PyObject* const*) {
    std::vector<const quarn::Binding*> bindings = self->machine.vars.bindings();
    Ref list = Ref::checked(PyList_New(0));
    for (const quarn::Binding* binding : bindings) {
        Ref name = identifier_to_python(binding->id);
        if (PyList_Append(list.get(), name.get()) < 0) throw PyErrOccurred{};
    }
    return list;
}

bool contains(PyQuarn* self, PyObject* name) {
    quarn::Identifier storage;
    quarn::IdentifierView id = argument(kIdent, &name, 0, [&](PyObject* o) { return extract_identifier_view(o, storage); });
    return self->machine.vars.find(id) != nullptr;
}

Py_ssize_t length(PyQuarn* self) { return static_cast<Py_ssize_t>(self->machine.vars.size()); }

Ref repr(PyQuarn* self) {
    std::string text = self->machine.debug();
    return Ref::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace velmo::machine_object
