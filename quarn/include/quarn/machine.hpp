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

#include "quarn/identifier.hpp"
#include "quarn/name.hpp"
#include "quarn/value.hpp"

namespace quarn {

class VarTable {
public:
    VarTable();
    explicit VarTable(std::size_t shard_amount);
    VarTable(VarTable&&) noexcept;
    VarTable& operator=(VarTable&&) noexcept;
    ~VarTable();

    // The stored value, or nothing: a null handle is never stored, so an
    // empty optional is told apart from a bound Null by has_value().
    std::optional<Value> lookup(IdentifierView id) const;
    std::optional<Value> lookup(const Name& name) const;
    // The same with the name's hash already known: hash(id) of this table.
    std::optional<Value> lookup(IdentifierView id, std::uint64_t hash) const { return find(hash, id); }
    // Binds the name; returns the value it replaces, which the caller
    // releases once the shard's lock is free.
    std::optional<Value> insert(const Name& name, Value value);
    std::optional<Value> insert(Identifier id, Value value);
    // Binds the name to its text followed by `tail`, growing the text in
    // place, when `current` is the text bound now and no handle but the
    // table's and `current` reaches it, so that no one sees it change.
    // False, with nothing done, otherwise.
    bool append(const Name& name, const Value& current, std::string_view tail);
    void debug(std::string& out) const;

    std::size_t shard_count() const noexcept { return count_; }
    std::uint64_t hash(IdentifierView id) const noexcept;
    std::size_t shard_of(std::uint64_t hash) const noexcept;

private:
    struct Shard;
    std::uint64_t hash_of(const Name& name) const noexcept;
    Shard& shard_for(std::uint64_t hash) const noexcept;
    std::optional<Value> find(std::uint64_t hash, IdentifierView id) const;
    std::optional<Value> store(std::uint64_t hash, IdentifierView id, Identifier* owned, Value value);

    std::unique_ptr<Shard[]> shards_;
    std::size_t count_;
    unsigned shift_;
    std::uint64_t k0_, k1_;
    std::uint64_t id_;  // tells this table's hashes apart in a name's hash cache
};

struct Machine {
    VarTable vars;

    static Machine create() { return Machine{}; }
    Value get(IdentifierView id) const;  // fatal error when unbound
    Value get(IdentifierView id, std::uint64_t hash) const;  // hash: vars.hash(id)
    std::string debug() const;
};

}  // namespace quarn
