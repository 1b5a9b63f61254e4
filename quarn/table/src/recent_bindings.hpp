#pragma once
// The bindings a table found or made lately, by their names. A tree's name
// remembers its binding (name.hpp), but a tree built anew for every record
// (three lets of a record's fields, say) brings new names each time, which
// would each hash their identifier and probe a shard under its lock. This
// finds them with a cheap hash of the identifier's first and last bytes and
// one comparison. It holds no identifier of its own: each entry is a
// binding, which keeps its identifier and stays put for the table's life;
// a collision costs a miss, never a wrong binding.
//
// Only for tables whose writers are serialized (binding.hpp): its entries
// are plain words that no other thread may write meanwhile.

#include <array>
#include <cstdint>
#include <cstring>

#include "quarn/binding.hpp"
#include "quarn/identifier.hpp"

namespace quarn::detail {

class RecentBindings {
public:
    Binding* find(IdentifierView id) const noexcept {
        Binding* binding = entries_[slot(id)];
        return binding && IdentifierView(binding->id) == id ? binding : nullptr;
    }

    void remember(Binding* binding) noexcept { entries_[slot(binding->id)] = binding; }

private:
    static constexpr unsigned kSlotBits = 6;

    static std::size_t slot(IdentifierView id) noexcept {
        std::uint64_t key = id.is_u() ? id.u() : ends(id.s());
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
    }

    // The length and up to eight bytes from each end of a text, read in
    // loads of fixed size.
    static std::uint64_t ends(std::string_view text) noexcept {
        const char* p = text.data();
        std::size_t n = text.size();
        std::uint64_t first = 0, last = 0;
        if (n >= 8) {
            first = load<std::uint64_t>(p), last = load<std::uint64_t>(p + n - 8);
        } else if (n >= 4) {
            first = load<std::uint32_t>(p), last = load<std::uint32_t>(p + n - 4);
        } else if (n > 0) {
            first = static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[n / 2]) << 8 |
                    static_cast<unsigned char>(p[n - 1]) << 16;
        }
        return (first ^ (last * 0xC2B2AE3D27D4EB4Full)) + n;
    }

    template <class Word>
    static Word load(const char* p) noexcept {
        Word word;
        std::memcpy(&word, p, sizeof word);
        return word;
    }

    std::array<Binding*, std::size_t{1} << kSlotBits> entries_{};
};

}  // namespace quarn::detail
