#pragma once
// The name of a variable or function: numbered (U) or textual (S). U(1) and
// S("1") are different names.

#include <cstdint>
#include <string>
#include <variant>

namespace quarn {

struct Identifier {
    std::variant<std::uint64_t, std::string> name;

    static Identifier U(std::uint64_t n) { return Identifier{n}; }
    static Identifier S(std::string s) { return Identifier{std::move(s)}; }

    bool is_u() const noexcept { return name.index() == 0; }
    std::uint64_t u() const { return *std::get_if<0>(&name); }
    const std::string& s() const { return *std::get_if<1>(&name); }

    friend bool operator==(const Identifier&, const Identifier&) = default;
};

}  // namespace quarn
