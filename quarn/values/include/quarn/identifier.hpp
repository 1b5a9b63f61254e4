#pragma once
// The name of a variable or function: numbered (U) or textual (S). U(1) and
// S("1") are different names.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
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

// An identifier seen without owning its text: what lookups take, so that a
// name handed in from outside needs no copy to be looked up.
class IdentifierView {
public:
    IdentifierView(const Identifier& id) noexcept  // NOLINT: a view of any identifier
        : text_(id.is_u() ? std::string_view() : std::string_view(id.s())),
          number_(id.is_u() ? id.u() : 0),
          numbered_(id.is_u()) {}
    static IdentifierView U(std::uint64_t n) noexcept { return IdentifierView({}, n, true); }
    static IdentifierView S(std::string_view s) noexcept { return IdentifierView(s, 0, false); }

    bool is_u() const noexcept { return numbered_; }
    std::uint64_t u() const noexcept { return number_; }
    std::string_view s() const noexcept { return text_; }
    Identifier owned() const { return numbered_ ? Identifier::U(number_) : Identifier::S(std::string(text_)); }

    // Without a library call for the short names programs use: a table
    // compares names on every hit.
    friend bool operator==(IdentifierView a, IdentifierView b) noexcept {
        if (a.numbered_ || b.numbered_) return a.numbered_ == b.numbered_ && a.number_ == b.number_;
        if (a.text_.size() != b.text_.size()) return false;
        if (a.text_.size() > 16) return std::memcmp(a.text_.data(), b.text_.data(), a.text_.size()) == 0;
        return same_short_text(a.text_.data(), b.text_.data(), a.text_.size());
    }

private:
    // Texts of at most 16 bytes, compared a word at a time: two loads that
    // overlap when the length is not a whole number of words, none of them
    // past either text's end.
    static bool same_short_text(const char* a, const char* b, std::size_t n) noexcept {
        if (n >= 8) return same_ends<std::uint64_t>(a, b, n);
        if (n >= 4) return same_ends<std::uint32_t>(a, b, n);
        if (n >= 2) return same_ends<std::uint16_t>(a, b, n);
        return n == 0 || *a == *b;
    }
    template <class Word>
    static bool same_ends(const char* a, const char* b, std::size_t n) noexcept {
        return word<Word>(a) == word<Word>(b) && word<Word>(a + n - sizeof(Word)) == word<Word>(b + n - sizeof(Word));
    }
    template <class Word>
    static Word word(const char* p) noexcept {
        Word w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }

    IdentifierView(std::string_view text, std::uint64_t number, bool numbered) noexcept
        : text_(text), number_(number), numbered_(numbered) {}
    std::string_view text_;
    std::uint64_t number_;
    bool numbered_;
};

}  // namespace quarn
