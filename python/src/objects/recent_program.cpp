#include "recent_program.hpp"

#include "wrappers.hpp"

namespace velmo {
namespace {

// A program's likeness: its length and the serials of its ends, which no
// two trees share. Only a hint: a kept program is checked item by item.
std::uint64_t likeness(std::span<const quarn::Statement* const> trees) noexcept {
    return (trees.front()->serial() * 31 + trees.back()->serial()) * 31 + trees.size();
}

bool keepable(std::span<const quarn::Statement* const> trees) noexcept {
    for (const quarn::Statement* tree : trees)
        if (tree->reaches_function()) return false;
    return true;
}

}  // namespace

RecentProgram::RecentProgram() noexcept = default;
RecentProgram::~RecentProgram() = default;

std::unique_ptr<KeptProgram> RecentProgram::take_if_ran(PyObject* object) noexcept {
    if (!kept_ || !(PyList_CheckExact(object) || PyTuple_CheckExact(object))) return nullptr;
    auto size = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(object));
    if (size < kLong) return nullptr;
    PyObject** items = host::fast_items(object);
    if (!items) {
        PyErr_Clear();  // read anew, where the failure is raised
        return nullptr;
    }
    return kept_->is(items, size) ? std::move(kept_) : nullptr;
}

void RecentProgram::put_back(std::unique_ptr<KeptProgram> kept) noexcept {
    if (!kept_) kept_ = std::move(kept);
}

void RecentProgram::ran(std::span<const quarn::Statement* const> trees) {
    if (trees.size() < kLong) return;
    std::uint64_t seen = likeness(trees);
    if (seen != last_) {
        last_ = seen;
        return;
    }
    if (keepable(trees)) kept_ = std::make_unique<KeptProgram>(trees);
}

KeptProgram::KeptProgram(std::span<const quarn::Statement* const> trees) {
    held_.reserve(trees.size());
    trees_.reserve(trees.size());
    for (const quarn::Statement* tree : trees) held_.push_back(*tree);
    for (const quarn::Statement& tree : held_) trees_.push_back(&tree);
}

bool KeptProgram::is(PyObject* const* items, std::size_t size) const noexcept {
    if (size != held_.size()) return false;
    for (std::size_t i = 0; i < size; ++i) {
        auto* wrapper = reinterpret_cast<PyStatement*>(items[i]);
        if (Py_TYPE(items[i]) != types.statement || !wrapper->built.yes() ||
            !wrapper->statement.same_node(held_[i]))
            return false;
    }
    return true;
}

}  // namespace velmo
