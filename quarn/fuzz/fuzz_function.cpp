#include "fuzz_function.hpp"

#include <algorithm>
#include <string_view>

#include "name_pool.hpp"
#include "quarn/debug.hpp"
#include "quarn/error.hpp"
#include "quarn/eval.hpp"

namespace quarn::fuzz {
namespace {

const char* const kBehaviourNames[] = {"Identity", "Constant", "Wrap", "Huge", "SelfClone",
                                       "Fail",     "Reenter",  "Rebind", "Pair"};

// Repeated to fill Huge's text; each is whole code points (or whole garbage).
constexpr std::string_view kUtf8Pattern{"a\xC3\xA9\"\\\n\0\xF0\x9D\x84\x9E\x7F", 13};
constexpr std::string_view kBrokenPattern{"\xFF\xC3\x28\xED\xA0\x80\xF4\x90\x80\x80\xC0\xAF\xE0\x80", 14};

// At most 1 + 4 * (1 + 16) in weight: what Reenter may hand back.
bool light(const Value& v) {
    auto flat = [](const Value& x) {
        return x.kind() == Kind::String ? x.as_string().size() <= 16 : x.kind() != Kind::Vector;
    };
    if (v.kind() != Kind::Vector) return flat(v);
    return v.as_vector().size() <= 4 && std::all_of(v.as_vector().begin(), v.as_vector().end(), flat);
}

struct DepthGuard {
    Context& context;
    explicit DepthGuard(Context& c) : context(c) { ++context.depth; }
    ~DepthGuard() { --context.depth; }
};

}  // namespace

FuzzFunction::FuzzFunction(Context& context, Behaviour behaviour, std::uint8_t param, int name, Value constant)
    : context_(context), behaviour_(behaviour), param_(param), name_(name), constant_(std::move(constant)) {
    ++context_.live_functions;
}

FuzzFunction::FuzzFunction(const FuzzFunction& other)
    : context_(other.context_),
      behaviour_(other.behaviour_),
      param_(other.param_),
      name_(other.name_),
      constant_(other.constant_) {
    ++context_.live_functions;
}

FuzzFunction::~FuzzFunction() { --context_.live_functions; }

std::unique_ptr<QuarnFunction> FuzzFunction::clone_box() const { return std::make_unique<FuzzFunction>(*this); }

std::unique_ptr<FuzzFunction> FuzzFunction::renamed(int name) const {
    auto copy = std::make_unique<FuzzFunction>(*this);
    copy->name_ = name;
    return copy;
}

// Short and fixed: the work bound counts a function value as weight 1.
void FuzzFunction::fmt_debug(std::string& out) const {
    out += kBehaviourNames[static_cast<int>(behaviour_)];
    out += '<';
    out += std::to_string(param_);
    out += ", ";
    debug(out, pooled_name(name_));
    out += '>';
}

std::uint64_t FuzzFunction::own_work() const {
    switch (behaviour_) {
    case Behaviour::Huge: return huge_size();
    case Behaviour::Wrap: return wrap_depth();
    default: return 1;
    }
}

Value FuzzFunction::run(Value argument) {
    switch (behaviour_) {
    case Behaviour::Identity: return argument;
    case Behaviour::Constant: return constant_;
    case Behaviour::Wrap: return wrap(std::move(argument));
    case Behaviour::Huge: return huge();
    case Behaviour::SelfClone: return Value::function(clone_box());
    case Behaviour::Fail: fail("fuzz function failed: " + std::to_string(param_));
    case Behaviour::Reenter: return reenter(std::move(argument));
    case Behaviour::Rebind: return rebind(std::move(argument));
    case Behaviour::Pair: {
        Value items[2] = {argument, argument};
        return Value::vector(items);
    }
    case Behaviour::Count: break;
    }
    return argument;
}

Value FuzzFunction::wrap(Value argument) const {
    for (std::size_t i = wrap_depth(); i > 0; --i) argument = Value::vector({&argument, 1});
    return argument;
}

Value FuzzFunction::huge() const {
    std::string_view pattern = huge_is_utf8() ? kUtf8Pattern : kBrokenPattern;
    std::size_t size = huge_size();
    std::string text;
    text.reserve(size + pattern.size());
    while (text.size() + pattern.size() <= size) text += pattern;
    if (!huge_is_utf8()) text.append(pattern.substr(0, size - text.size()));
    return Value::string(text);
}

// Runs program (param >> 3) on the calling machine, then evaluates result
// expression (param >> 1) and returns it if it is light (the work bound
// relies on that), else the argument; bit 0 swallows a failure of the
// program. Past the depth or count budget it only returns its argument.
Value FuzzFunction::reenter(Value argument) {
    Context& c = context_;
    if (!c.machine || c.programs.empty() || c.depth >= kMaxReentryDepth || c.reentries >= kMaxReentries)
        return argument;
    ++c.reentries;
    DepthGuard guard(c);
    const Program& program = c.programs[(param_ >> 3) % c.programs.size()];
    if (param_ & 1) {
        try {
            quarn::run(*c.machine, program);
        } catch (const Fatal&) {
        }
    } else {
        quarn::run(*c.machine, program);
    }
    if (c.results.empty()) return argument;
    Value result = evaluate(*c.machine, c.results[(param_ >> 1) % c.results.size()]);
    return light(result) ? result : argument;
}

// Bit 2 chooses a direct insert or a one-statement program; bits 0-1 what
// the name gets: null, a number, a clone of this function, or a text.
Value FuzzFunction::rebind(Value argument) {
    if (!context_.machine) return argument;
    const Identifier& id = pooled_name(name_);
    Value replacement;
    switch (param_ & 3) {
    case 1: replacement = Value::integer(param_); break;
    case 2: replacement = Value::function(clone_box()); break;
    case 3: replacement = Value::string("rebound"); break;
    default: break;
    }
    if (param_ & 4) {
        Statement statement = (param_ & 3) == 2 ? Statement::fn(id, clone_box())
                                                : Statement::let(id, Expr::literal(std::move(replacement)));
        quarn::run(*context_.machine, {statement});
    } else {
        std::optional<Value> replaced = context_.machine->vars.insert(id, std::move(replacement));
    }
    return argument;
}

}  // namespace quarn::fuzz
