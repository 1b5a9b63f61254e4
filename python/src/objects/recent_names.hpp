#pragma once
// The module's cache of the names Python code read lately from one
// machine, by the Python object that named each. A `get` in a loop passes
// the same str or int object each time (a constant of the calling code),
// and hashing its identifier and probing the table again cost more than the
// rest of the call. A binding stays at its address as long as the machine's
// table, which outlives this cache.
//
// An entry is found by the address of the name object, but it counts only
// if the identifier it copied is the one asked for: the object may have
// died and its memory gone to another. So no reference is held, and a stale
// entry costs a miss, never a wrong binding. Names too long to copy inline
// are not remembered. Every use runs with the interpreter lock held.

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "host.hpp"
#include "quarn/identifier.hpp"
#include "quarn/name.hpp"

namespace velmo {

class RecentNames {
public:
    const quarn::Binding* find(PyObject* object, quarn::IdentifierView id) const noexcept {
        std::size_t at = slot(object);
        for (const Entry* entry : {&entries_[at], &entries_[at ^ 1]})
            if (entry->object == object && entry->holds(id)) return entry->binding;
        return nullptr;
    }

    // The newest goes first in its pair of slots, the one it displaces
    // second: two names that a loop reads in turn and that fall on one slot
    // then both stay.
    void remember(PyObject* object, quarn::IdentifierView id, const quarn::Binding* binding) noexcept {
        if (!id.is_u() && id.s().size() > kInlineText) return;
        std::size_t at = slot(object);
        if (entries_[at].object != object) entries_[at ^ 1] = entries_[at];
        Entry& entry = entries_[at];
        entry.object = object;
        entry.binding = binding;
        entry.numbered = id.is_u();
        entry.number = id.u();
        entry.size = static_cast<std::uint8_t>(id.s().size());
        if (!id.is_u()) std::memcpy(entry.text, id.s().data(), id.s().size());
    }

    // The object's slot; the other of its pair is slot ^ 1. Objects of one
    // size sit a block apart (64 bytes for a short str), and names made
    // together sit a few blocks apart: the address is mixed twice, as one
    // multiplication alone would put some strides on neighbouring slots.
    static std::size_t slot(const PyObject* object) noexcept {
        std::uint64_t x = reinterpret_cast<std::uintptr_t>(object) * 0x9E3779B97F4A7C15ull;
        x = (x ^ (x >> 32)) * 0xD6E8FEB86659FD93ull;
        return static_cast<std::size_t>(x >> (64 - kSlotBits));
    }

private:
    // Enough for the names one loop reads; a pair of slots is found by the
    // address alone, so a few more only cost room.
    static constexpr unsigned kSlotBits = 4;
    static constexpr std::size_t kEntries = std::size_t{1} << kSlotBits;
    // Room for names up to 22 bytes, which most names are: with the other
    // fields (26 bytes), an entry is then 48 bytes, and the whole cache
    // twelve cache lines.
    static constexpr std::size_t kInlineText = 22;

    struct Entry {
        const PyObject* object = nullptr;  // compared, never followed
        const quarn::Binding* binding = nullptr;
        std::uint64_t number = 0;
        bool numbered = false;
        std::uint8_t size = 0;
        char text[kInlineText] = {};

        bool holds(quarn::IdentifierView id) const noexcept {
            if (id.is_u()) return numbered && number == id.u();
            return !numbered && quarn::IdentifierView::S(std::string_view(text, size)) == id;
        }
    };

    static_assert(sizeof(Entry) == 48, "an entry's size is what kInlineText is chosen for");

    std::array<Entry, kEntries> entries_{};
};

}  // namespace velmo
