#pragma once
// The PyCapsule interface of Arrow: an object hands its data over as
// capsules named "arrow_schema", "arrow_array" and "arrow_array_stream",
// each holding one struct of the C Data Interface (arrow_abi.hpp), made by
// its __arrow_c_schema__, __arrow_c_array__ or __arrow_c_stream__. Taking a
// struct moves it out of its capsule, whose destructor then has nothing to
// release; a capsule that nobody took releases its struct when it goes.

#include "arrow_owned.hpp"
#include "pyref.hpp"

namespace velmo::tables {

// Makes every release of a struct taken here run with no Python error
// pending: a producer's release may be Python code (ctypes), which an error
// set around it would break. Called once, when the module loads.
void keep_errors_around_releases();

// Whether the object has the method; false with no error left for an
// object whose attribute lookup raises.
bool has_method(PyObject* object, const char* name);

// The stream of object.__arrow_c_stream__(); throws PyErrOccurred.
OwnedStream stream_of(PyObject* object);

// The schema and the array of object.__arrow_c_array__().
struct SchemaAndArray {
    OwnedSchema schema;
    OwnedArray array;
};
SchemaAndArray array_of(PyObject* object);

// New capsules that own what they are given.
Ref schema_capsule(OwnedSchema schema);
Ref array_capsule(OwnedArray array);
Ref stream_capsule(OwnedStream stream);

}  // namespace velmo::tables
