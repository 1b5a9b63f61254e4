#include "capsules.hpp"

#include <memory>
#include <string>

#include "errors.hpp"
#include "host.hpp"
#include "recursion_guard.hpp"

namespace velmo::tables {
namespace {

constexpr const char* schema_name = "arrow_schema";
constexpr const char* array_name = "arrow_array";
constexpr const char* stream_name = "arrow_array_stream";

Ref call_method(PyObject* object, const char* name) {
    return Ref::checked(python_call([&] { return PyObject_CallMethod(object, name, nullptr); }, nullptr));
}

// The struct in a capsule of that name, moved out of it.
template <class Struct>
Owned<Struct> taken(PyObject* capsule, const char* name, const char* method) {
    if (!PyCapsule_IsValid(capsule, name)) {
        PyErr_Format(PyExc_TypeError, "%s() gave no PyCapsule named '%s'", method, name);
        throw PyErrOccurred{};
    }
    auto* held = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
    if (!held) throw PyErrOccurred{};
    if (!held->release) {
        PyErr_Format(PyExc_ValueError, "%s() gave a capsule whose %s was already taken", method, name);
        throw PyErrOccurred{};
    }
    return Owned<Struct>::take(held);
}

template <class Struct>
void release_capsule(PyObject* capsule, const char* name) {
    auto* held = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
    if (!held) {
        PyErr_Clear();
        return;
    }
    if (held->release) held->release(held);
    delete held;
}

void release_schema_capsule(PyObject* capsule) { release_capsule<ArrowSchema>(capsule, schema_name); }
void release_array_capsule(PyObject* capsule) { release_capsule<ArrowArray>(capsule, array_name); }
void release_stream_capsule(PyObject* capsule) { release_capsule<ArrowArrayStream>(capsule, stream_name); }

template <class Struct>
Ref capsule_of(Owned<Struct> owned, const char* name, PyCapsule_Destructor destructor) {
    auto held = std::make_unique<Struct>();
    owned.give(held.get());
    PyObject* capsule = PyCapsule_New(held.get(), name, destructor);
    if (!capsule) {
        Owned<Struct> back = Owned<Struct>::take(held.get());  // released here
        throw PyErrOccurred{};
    }
    held.release();
    return Ref::steal(capsule);
}

struct Pending {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
};

void* put_aside() {
    if (!PyErr_Occurred()) return nullptr;
    auto* pending = new Pending{};
    PyErr_Fetch(&pending->type, &pending->value, &pending->traceback);
    return pending;
}

// An error the release itself left is reported, as a destructor's is.
void restore(void* aside) {
    if (PyErr_Occurred()) host::write_unraisable(nullptr);
    if (!aside) return;
    auto* pending = static_cast<Pending*>(aside);
    PyErr_Restore(pending->type, pending->value, pending->traceback);
    delete pending;
}

}  // namespace

void keep_errors_around_releases() { release_hooks = {put_aside, restore}; }

bool has_method(PyObject* object, const char* name) {
    int found = python_call([&] { return PyObject_HasAttrString(object, name); }, -1);
    if (found < 0) PyErr_Clear();
    return found > 0;
}

OwnedStream stream_of(PyObject* object) {
    Ref capsule = call_method(object, "__arrow_c_stream__");
    return taken<ArrowArrayStream>(capsule.get(), stream_name, "__arrow_c_stream__");
}

SchemaAndArray array_of(PyObject* object) {
    Ref pair = call_method(object, "__arrow_c_array__");
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "__arrow_c_array__() gave no pair of PyCapsules");
        throw PyErrOccurred{};
    }
    OwnedSchema schema = taken<ArrowSchema>(PyTuple_GET_ITEM(pair.get(), 0), schema_name, "__arrow_c_array__");
    OwnedArray array = taken<ArrowArray>(PyTuple_GET_ITEM(pair.get(), 1), array_name, "__arrow_c_array__");
    return {std::move(schema), std::move(array)};
}

Ref schema_capsule(OwnedSchema schema) { return capsule_of(std::move(schema), schema_name, release_schema_capsule); }
Ref array_capsule(OwnedArray array) { return capsule_of(std::move(array), array_name, release_array_capsule); }
Ref stream_capsule(OwnedStream stream) { return capsule_of(std::move(stream), stream_name, release_stream_capsule); }

}  // namespace velmo::tables
