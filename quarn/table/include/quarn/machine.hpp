#pragma once
// The interpreter state: one variable table, divided into shards that each
// have their own reader-writer lock, so that several threads can read and
// bind names of one machine at once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarn/binding.hpp"
#include "quarn/identifier.hpp"
#include "quarn/name.hpp"
#include "quarn/owned_functions.hpp"
#include "quarn/value.hpp"

namespace quarn {

namespace detail {
class RecentBindings;
}  // namespace detail

class VarTable {
public:
    explicit VarTable(Writers writers = Writers::Concurrent);
    VarTable(std::size_t shards, Writers writers = Writers::Concurrent);
    VarTable(VarTable&&) noexcept;
    VarTable& operator=(VarTable&&) noexcept;
    ~VarTable();

    // The stored value, or nothing: a null handle is never stored, so an
    // empty optional is told apart from a bound Null by has_value().
    std::optional<Value> lookup(IdentifierView id) const;
    std::optional<Value> lookup(const Name& name) const;
    // The value bound to a name that remembers its binding here, when it is
    // a number, a boolean or null: no lock, no call. False otherwise (the
    // caller then looks the name up).
    bool read_remembered(const Name& name, Value& out) const noexcept {
        const Binding* binding = name.binding.get(id_);
        return binding && binding->copy_unlocked(out);
    }
    // The binding a name remembers for this table, or null.
    const Binding* remembered(const Name& name) const noexcept { return name.binding.get(id_); }
    // The same for an integer alone.
    [[gnu::always_inline]] bool read_remembered_int(const Name& name, std::int64_t& out) const noexcept {
        const Binding* binding = name.binding.get(id_);
        return binding && binding->copy_int_unlocked(out);
    }
    // Rebinds a name that remembers its binding here, taking `value` and
    // handing the value it replaces to `replaced`, for the caller to release
    // once no lock is held. False, with nothing done, when the name
    // remembers no binding here (the caller then inserts).
    [[gnu::always_inline]] bool replace_remembered(const Name& name, Value& value, Value& replaced) noexcept {
        Binding* binding = name.binding.get(id_);
        if (!binding) return false;
        replaced = binding->exchange(std::move(value));
        return true;
    }
    // The name's binding, or null when it is unbound. A binding stays at its
    // address as long as the table: the table never moves or removes one.
    const Binding* find(IdentifierView id) const;
    Value read(const Binding& binding) const { return binding.copy(); }
    // The name's binding, which the name then remembers, or null when it is
    // unbound. A binding stays at its address as long as the table.
    Binding* binding_of(const Name& name) const { return bound(name); }
    // Binds the name; returns the value it replaces, which the caller
    // releases once the shard's lock is free.
    std::optional<Value> insert(const Name& name, Value value);
    // The same, setting `at` to the name's binding.
    std::optional<Value> insert(const Name& name, Value value, Binding*& at);
    std::optional<Value> insert(Identifier id, Value value);
    // The same, setting `at` to the name's binding, which the caller may
    // keep for as long as the table lives and rebind through rebind().
    std::optional<Value> insert(IdentifierView id, Value value, const Binding*& at);
    // Rebinds a binding of this table; returns the value it replaces.
    Value rebind(const Binding& binding, Value value) noexcept {
        return const_cast<Binding&>(binding).exchange(std::move(value));
    }
    // Binds the name to its text followed by `tail`, growing the text in
    // place, when `current` is the text bound now and no handle but the
    // table's and `current` reaches it, so that no one sees it change, and
    // the longer text is no larger than `max_size` (see Value::size()).
    // False, with nothing done, otherwise.
    bool append(const Name& name, const Value& current, std::string_view tail, std::uint64_t max_size);
    // The same when the caller holds no handle to the text: only the
    // table's may reach it. Tried only on a binding the name remembers.
    bool append(const Name& name, std::string_view tail, std::uint64_t max_size);
    // The same when the text also has room for the tail as it stands, the
    // common case, which takes no call (Binding::append_in_room).
    [[gnu::always_inline]] bool append_in_room(const Name& name, std::string_view tail,
                                               std::uint64_t max_size) noexcept {
        Binding* binding = name.binding.get(id_);
        return binding && binding->append_in_room(tail, max_size);
    }
    // Every binding with a handle to its value, as the table holds them now.
    std::vector<std::pair<const Binding*, Value>> entries() const;
    // Every binding, the same way; a binding's identifier never changes.
    std::vector<const Binding*> bindings() const;
    // How many names are bound.
    std::size_t size() const;
    // visit_owned_functions (owned_functions.hpp) over every bound value.
    int visit_owned_functions(FunctionVisit visit, void* context) const;
    // Rebinds to null every name whose value reaches a function, and hands
    // those values over, for the caller to drop once no lock is held.
    std::vector<Value> take_functions();

    // A number that no other table made in the process has.
    std::uint64_t id() const noexcept { return id_; }
    std::size_t shard_count() const noexcept { return count_; }
    Writers writers() const noexcept { return writers_; }
    std::uint64_t hash(IdentifierView id) const noexcept;
    std::size_t shard_of(std::uint64_t hash) const noexcept;

private:
    struct Shard;
    Shard& shard_for(std::uint64_t hash) const noexcept;
    Binding* find(std::uint64_t hash, IdentifierView id) const;
    Binding* located(IdentifierView id) const;
    Binding* bound(const Name& name) const;
    std::optional<Value> store(IdentifierView id, Identifier* owned, Value value, Binding*& at);
    std::optional<Value> store(std::uint64_t hash, IdentifierView id, Identifier* owned, Value value, Binding*& at);
    std::optional<Value> replace(Binding& binding, Value value);
    bool append_if_held_by(Binding& binding, const Value* current, std::string_view tail, std::uint64_t max_size);

    std::unique_ptr<Shard[]> shards_;
    std::size_t count_;
    unsigned shift_;
    std::uint64_t k0_, k1_;
    std::uint64_t id_;  // tells this table's bindings apart in a name's cache
    Writers writers_;
    std::unique_ptr<detail::RecentBindings> recent_;  // with serialized writers only
};

// What one machine allows the programs run on it; 0 is no limit.
struct Limits {
    // Operations in one run: a statement run, an expression node evaluated,
    // a pair of items compared inside an equality. Runs that functions start
    // on the same machine and thread count against the run that called them.
    std::uint64_t max_operations = 0;
    // The size (Value::size()) of any value a run makes or binds.
    std::uint64_t max_value_size = 0;
};

struct Machine {
    VarTable vars;
    Limits limits;

    // A host that keeps every use of the machine to one thread at a time
    // makes it with Writers::Serialized (see binding.hpp).
    static Machine create(Limits limits = {}, Writers writers = Writers::Concurrent) {
        return Machine{VarTable(writers), limits};
    }
    // A new machine with the same limits, writers and every variable bound to
    // the same value. Values never change, so sharing them is invisible, and
    // binding a name in either machine changes nothing in the other.
    Machine copy() const;
    Value get(IdentifierView id) const;  // fatal error when unbound
    const Binding& binding(IdentifierView id) const;  // fatal error when unbound
    std::string debug() const;
};

}  // namespace quarn
