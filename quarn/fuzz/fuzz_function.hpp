#pragma once
// The functions fuzz inputs bind and call. Each has a behaviour and a byte
// parameter; together they cover what a host function can do to the core:
// hand back its argument or something odd, fail, run programs on the machine
// that called it, and rebind its own name while it runs.

#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_context.hpp"
#include "quarn/function.hpp"
#include "quarn/value.hpp"

namespace quarn::fuzz {

enum class Behaviour : std::uint8_t {
    Identity,   // returns the argument
    Constant,   // returns a value fixed when it was made (any kind, any depth)
    Wrap,       // returns the argument inside 1 + 197 * param nested vectors
    Huge,       // returns a text of 2^(param % 21) bytes
    SelfClone,  // returns a clone of itself
    Fail,       // fails with a fatal error
    Reenter,    // runs a decoded program, then an expression, on the calling machine
    Rebind,     // binds its own name to something else, then returns the argument
    Pair,       // returns [argument, argument], one value shared twice
    Count,
};

class FuzzFunction final : public QuarnFunction {
public:
    FuzzFunction(Context& context, Behaviour behaviour, std::uint8_t param, int name, Value constant);
    FuzzFunction(const FuzzFunction& other);
    ~FuzzFunction() override;
    FuzzFunction& operator=(const FuzzFunction&) = delete;

    std::unique_ptr<QuarnFunction> clone_box() const override;
    // A clone whose own name (the one Rebind rebinds) is `name`.
    std::unique_ptr<FuzzFunction> renamed(int name) const;
    void fmt_debug(std::string& out) const override;
    Value run(Value argument) override;

    Behaviour behaviour() const { return behaviour_; }
    std::uint8_t param() const { return param_; }
    int name() const { return name_; }

    // What one call does besides re-entry, and the size of Huge's text and
    // Wrap's nesting, for the work bound.
    std::uint64_t own_work() const;
    std::size_t huge_size() const { return std::size_t(1) << (param_ % 21); }
    std::size_t wrap_depth() const { return 1 + std::size_t(197) * param_; }
    bool huge_is_utf8() const { return (param_ & 0x20) == 0; }

private:
    Value reenter(Value argument);
    Value rebind(Value argument);
    Value huge() const;
    Value wrap(Value argument) const;

    Context& context_;
    Behaviour behaviour_;
    std::uint8_t param_;
    int name_;
    Value constant_;
};

}  // namespace quarn::fuzz
