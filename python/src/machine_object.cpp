#include "machine_object.hpp"

#include "boundary.hpp"
#include "convert.hpp"
#include "quarn/eval.hpp"

namespace velmo::machine_object {

PyObject* create(PyTypeObject* type) { return wrap(quarn::Machine::create(), type).release(); }

// Every item is checked before the first statement runs. The trees are run
// in place: they never change, and the Statement objects holding them are
// held until the run ends. The lock stays held for the whole run.
PyObject* run(const Signature& sig, PyQuarn* self, PyObject* const* args) {
    std::vector<Ref> program = argument(sig, args, 0, statement_objects_arg);
    std::vector<const quarn::Statement*> statements(program.size());
    for (std::size_t i = 0; i < program.size(); ++i)
        statements[i] = &reinterpret_cast<PyStatement*>(program[i].get())->statement;
    quarn::run(self->machine, statements);
    Py_RETURN_NONE;
}

namespace {

const quarn::Binding& binding_of(PyQuarn* self, PyObject* name, quarn::IdentifierView id) {
    if (const quarn::Binding* known = self->names.find(name, id)) return *known;
    const quarn::Binding& found = self->machine.binding(id);
    self->names.remember(name, id, &found);
    return found;
}

}  // namespace

PyObject* get(const Signature& sig, PyQuarn* self, PyObject* const* args) {
    quarn::Identifier storage;
    quarn::IdentifierView id =
        argument(sig, args, 0, [&](PyObject* o) { return PyIdentifier::extract_view(o, storage); });
    return PyValue::arc_quarnvalue_to_py(self->machine.vars.read(binding_of(self, args[0], id))).release();
}

PyObject* repr(PyQuarn* self) {
    std::string text = self->machine.debug();
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace velmo::machine_object
