#include "machine_object.hpp"

#include "boundary.hpp"
#include "convert.hpp"
#include "quarn/eval.hpp"

namespace velmo::machine_object {

PyQuarn* as_quarn(PyObject* self) {
    PyTypeObject* type = quarn_type();
    if (!type) throw PyErrOccurred{};
    if (!self || !PyObject_TypeCheck(self, type)) {
        raise_type_error(mismatch_text(self ? self : Py_None, "Quarn"));
    }
    auto* quarn = reinterpret_cast<PyQuarn*>(self);
    if (!host::check_built(self, quarn->built)) throw PyErrOccurred{};
    return quarn;
}

PyObject* create(PyTypeObject* type) {
    quarn::Machine machine = quarn::Machine::create();
    PyObject* object = check(PyBaseObject_Type.tp_alloc(type, 0));
    auto* quarn = reinterpret_cast<PyQuarn*>(object);
    std::construct_at(&quarn->machine, std::move(machine));
    quarn->built.mark();
    return object;
}

// Every item is checked before the first statement runs. The trees are run
// in place: they never change, and the Statement objects holding them are
// held until the run ends. The lock stays held for the whole run.
PyObject* run(const Signature& sig, PyQuarn* self, PyObject** args) {
    std::vector<Ref> program = argument(sig.params[0], [&] { return statement_objects_arg(args[0]); });
    for (const Ref& statement : program)
        quarn::deduce(self->machine, reinterpret_cast<PyStatement*>(statement.get())->statement);
    Py_RETURN_NONE;
}

PyObject* get(const Signature& sig, PyQuarn* self, PyObject** args) {
    quarn::Identifier id =
        argument(sig.params[0], [&] { return PyIdentifier::extract_bound(args[0]).into_identifier(); });
    quarn::Value value = self->machine.get(id);
    return PyValue::arc_quarnvalue_to_py(std::move(value)).into_pyobject().release();
}

PyObject* repr(PyQuarn* self) {
    std::string text = self->machine.debug();
    return check(PyUnicode_DecodeUTF8(text.data(), text.size(), "replace"));
}

}  // namespace velmo::machine_object
