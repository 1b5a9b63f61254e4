#pragma once
// The long program a machine ran last, kept as its trees, so that the same
// list run again is not read anew: a run of a thousand short statements
// spent a third of its time taking each item out of its Statement, holding
// it and letting it go.
//
// No item is held. A list is the same program when each of its items is a
// Statement of the kept tree, which a look at the item's type and tree
// tells; the item may have died since and another taken its memory, and
// then it holds another tree, or the same one, which runs the same. While
// the program runs, the kept trees live on, whatever the list's items do. A
// program from which a function can be reached is never kept: the collector
// would not see the function, as it sees what a Statement holds. A program
// is kept the second time it runs, so that one that runs once costs no copy.
// Every use runs with the interpreter lock held.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "host.hpp"
#include "quarn/tree.hpp"

namespace velmo {

class KeptProgram;

class RecentProgram {
public:
    // Programs shorter than this are read anew: holding them costs little.
    static constexpr std::size_t kLong = 32;

    RecentProgram() noexcept;
    ~RecentProgram();

    // The kept program, taken out while it runs, when `object` is its list
    // or tuple; else nullptr.
    std::unique_ptr<KeptProgram> take_if_ran(PyObject* object) noexcept;
    // Back from its run, unless a run that it started kept another meanwhile.
    void put_back(std::unique_ptr<KeptProgram> kept) noexcept;
    // A long program that ran: kept the second time in a row that it runs.
    void ran(std::span<const quarn::Statement* const> trees);

private:
    std::unique_ptr<KeptProgram> kept_;
    std::uint64_t last_ = 0;  // what the last long program read anew looked like
};

class KeptProgram {
public:
    explicit KeptProgram(std::span<const quarn::Statement* const> trees);
    bool is(PyObject* const* items, std::size_t size) const noexcept;
    std::span<const quarn::Statement* const> trees() const noexcept { return {trees_.data(), trees_.size()}; }

private:
    quarn::Program held_;
    std::vector<const quarn::Statement*> trees_;
};

}  // namespace velmo
