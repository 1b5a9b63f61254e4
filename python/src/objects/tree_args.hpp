#pragma once
// Arguments that are trees or lists of trees, taken out of their Expr and
// Statement objects: shared, never copied, since trees never change.

#include <span>
#include <vector>

#include "pyref.hpp"
#include "quarn/small_stack.hpp"
#include "quarn/tree.hpp"
#include "wrappers.hpp"

namespace velmo {

inline quarn::Expr expr_arg(PyObject* object) { return expr_wrapper(object)->expr; }
inline quarn::Statement statement_arg(PyObject* object) { return statement_wrapper(object)->statement; }
std::vector<quarn::Expr> expr_list_arg(PyObject* object);
quarn::Program statement_list_arg(PyObject* object);

// The trees of a run's statements, with what keeps them alive for as long
// as the run uses them: the sequence they came from may change meanwhile.
// Each item is held with a count, with no allocation up to a few dozen
// statements. Raises the 'Statement' mismatch for an item of another type,
// and the sequence refusals of check_sequence.
class HeldStatements {
public:
    explicit HeldStatements(PyObject* object);
    HeldStatements(const HeldStatements&) = delete;
    HeldStatements& operator=(const HeldStatements&) = delete;

    std::span<const quarn::Statement* const> trees() noexcept { return {trees_.data(), trees_.size()}; }

private:
    // Into the room reserved for the items.
    [[gnu::always_inline]] void hold(PyObject* item) {
        trees_.push_reserved(&statement_wrapper(item)->statement);
        held_.push_reserved(Ref::own(item));
    }

    quarn::SmallStack<Ref, 32> held_;
    quarn::SmallStack<const quarn::Statement*, 32> trees_;
};

}  // namespace velmo
