#pragma once
// The interface of the callables that Function values hold. The only
// implementation in the system wraps a Python function; the core calls it
// without knowing what is behind it.

#include <memory>
#include <string>

namespace quarn {

class Value;
class QuarnFunction;

class QuarnFunctionClone {
public:
    virtual ~QuarnFunctionClone() = default;
    virtual std::unique_ptr<QuarnFunction> clone_box() const = 0;
};

class DebugFormat {
public:
    virtual ~DebugFormat() = default;
    virtual void fmt_debug(std::string& out) const = 0;
};

// run may be called on any thread; an implementation that needs a host lock
// takes it itself.
class QuarnFunction : public QuarnFunctionClone, public DebugFormat {
public:
    virtual Value run(Value argument) = 0;
};

}  // namespace quarn
