#pragma once
// A Python function living inside a Quarn program as a Quarn function.

#include "host.hpp"
#include "quarn/value.hpp"

namespace velmo {

class PyQuarnFn final : public quarn::QuarnFunction {
public:
    // Takes over one strong reference to `f`.
    explicit PyQuarnFn(PyObject* f) noexcept : f_(f) {}
    ~PyQuarnFn() override;

    std::unique_ptr<quarn::QuarnFunction> clone_box() const override;
    void fmt_debug(std::string& out) const override;
    quarn::Value run(quarn::Value argument) override;

private:
    PyObject* f_;
};

}  // namespace velmo
