// The release of a Python reference that the core drops on a thread without
// the interpreter lock: it waits on the pending list, untouched, until the
// next entry into the module releases it. Runs the module's own code inside
// an embedded interpreter.

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "callable.hpp"
#include "gil.hpp"
#include "pyref.hpp"
#include "quarn/value.hpp"

// The interpreter is never finalized here, and it keeps its memory until the
// process ends: under the leak checker, its allocations are passed over.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libpython\n";
}

namespace {

class Interpreter : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
};

const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

velmo::Ref python_function() {
    velmo::Ref globals = velmo::Ref::checked(PyDict_New());
    return velmo::Ref::checked(PyRun_String("lambda x: x", Py_eval_input, globals.get(), globals.get()));
}

TEST(PendingRelease, FunctionValueDroppedOnAnotherThreadIsReleasedByTheNextEntry) {
    velmo::Ref f = python_function();
    const Py_ssize_t alone = Py_REFCNT(f.get());
    quarn::Value value = quarn::Value::function(std::make_unique<velmo::PyQuarnFn>(velmo::Ref(f)));
    ASSERT_EQ(Py_REFCNT(f.get()), alone + 1);

    std::thread([dropped = std::move(value)]() mutable { dropped = quarn::Value(); }).join();
    EXPECT_EQ(Py_REFCNT(f.get()), alone + 1) << "released without the lock";

    { velmo::ModuleEntry entry; }
    EXPECT_EQ(Py_REFCNT(f.get()), alone);
}

}  // namespace
