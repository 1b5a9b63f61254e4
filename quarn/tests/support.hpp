#pragma once
// Helpers shared by the core tests: short builders for values and trees,
// and the message of the fatal error a call stops with.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quarn/debug.hpp"
#include "quarn/error.hpp"
#include "quarn/tree.hpp"

namespace quarn::test_support {

template <class F>
std::string fatal_message(F&& f) {
    try {
        f();
    } catch (const Fatal& e) {
        return e.message();
    }
    return "<no fatal error>";
}

inline Value I(std::int64_t n) { return Value::integer(n); }
inline Value F(double x) { return Value::real(x); }
inline Value S(std::string_view text) { return Value::string(text); }
inline Value B(bool b) { return Value::boolean(b); }
inline Value vec(std::vector<Value> items) { return Value::vector(items); }

inline Expr lit(Value v) { return Expr::literal(std::move(v)); }
inline Expr id(const char* name) { return Expr::ident(Identifier::S(name)); }
inline Expr call(const char* name, Expr arg) { return Expr::call(Identifier::S(name), std::move(arg)); }
inline Expr vexpr(std::vector<Expr> items) { return Expr::vector(items); }
inline Statement let(const char* name, Expr e) { return Statement::let(Identifier::S(name), std::move(e)); }

// Counts live objects, clones and destructions, in order, so ownership can
// be checked exactly.
struct Probe : QuarnFunction {
    static inline int clones = 0;
    static inline int live = 0;
    static inline std::vector<std::string> destroyed;
    std::string name;
    explicit Probe(std::string n) : name(std::move(n)) { ++live; }
    ~Probe() override {
        --live;
        destroyed.push_back(name);
    }
    std::unique_ptr<QuarnFunction> clone_box() const override {
        ++clones;
        return std::make_unique<Probe>(name);
    }
    void fmt_debug(std::string& out) const override { out += "Probe<" + name + ">"; }
    Value run(Value) override { return Value(); }
    static void reset() {
        clones = 0;
        destroyed.clear();
    }
};

inline Value fn(std::string name) { return Value::function(std::make_unique<Probe>(std::move(name))); }

// Runs `body` with each call made by Quarn code.
struct Callback : QuarnFunction {
    std::function<Value(Value)> body;
    explicit Callback(std::function<Value(Value)> b) : body(std::move(b)) {}
    std::unique_ptr<QuarnFunction> clone_box() const override { return std::make_unique<Callback>(body); }
    void fmt_debug(std::string& out) const override { out += "Callback"; }
    Value run(Value arg) override { return body(std::move(arg)); }
};

inline Statement bind_callback(const char* name, std::function<Value(Value)> body) {
    return Statement::fn(Identifier::S(name), std::make_unique<Callback>(std::move(body)));
}

}  // namespace quarn::test_support
