#pragma once
// A Python function living inside a Quarn program as a Quarn function.

#include "held_ref.hpp"
#include "quarn/function.hpp"
#include "quarn/value.hpp"

namespace velmo {

class PyQuarnFn final : public quarn::QuarnFunction {
public:
    explicit PyQuarnFn(Ref&& f) noexcept : f_(std::move(f)) {}

    std::unique_ptr<quarn::QuarnFunction> clone_box() const override;
    void fmt_debug(std::string& out) const override;
    quarn::Value run(quarn::Value argument) override;

    // The Python function, still held by this object.
    PyObject* callable() const noexcept { return f_.get(); }

private:
    HeldRef f_;
};

}  // namespace velmo
