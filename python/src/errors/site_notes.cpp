#include "site_notes.hpp"

#include <algorithm>
#include <vector>

#include "notes.hpp"

namespace velmo {
namespace {

// What a failed run inside another one left for it, kept until the program
// one level out ends.
struct Left {
    Ref exception;
    std::string note;  // the note it added to the exception
    std::string site;  // the note, and what the module added after it
    std::shared_ptr<HeldRef> stop;
    int depth;  // of the run that left it
};

using detail::programs_running;
thread_local std::vector<Left> left_behind;  // detail::runs_left counts it

Left* left_for(PyObject* exception) {
    for (Left& left : left_behind)
        if (left.exception.get() == exception && left.depth == programs_running + 1) return &left;
    return nullptr;
}

std::string joined(std::string note, const std::string& inner) {
    if (!inner.empty()) note += (note.empty() ? "" : "; in a function called there, ") + inner;
    return note;
}

}  // namespace

// Dropping a left exception may run its finalisers: the list is cut first.
void ProgramRun::drop_left(int depth) {
    auto deeper = std::stable_partition(left_behind.begin(), left_behind.end(),
                                        [&](const Left& left) { return left.depth <= depth; });
    std::vector<Left> dropped(std::make_move_iterator(deeper), std::make_move_iterator(left_behind.end()));
    left_behind.erase(deeper, left_behind.end());
    detail::runs_left = left_behind.size();
}

InnerRun inner_run_of(PyObject* exception) {
    Left* left = left_for(exception);
    return left ? InnerRun{left->site, left->stop} : InnerRun{};
}

void note_site(PyObject* exception, const quarn::FailureSite& site, const std::string& inner,
               const std::shared_ptr<HeldRef>& stop) {
    std::string path = site.text();
    Left* through = inner.empty() ? left_for(exception) : nullptr;  // the same exception passing through
    std::string note = joined(path, through ? through->site : inner);
    if (through)
        replace_note(exception, through->note, note);
    else if (!note.empty())
        add_note(exception, note);
    if (programs_running > 1) {
        left_behind.push_back({Ref::own(exception), note, note, stop, programs_running});
        detail::runs_left = left_behind.size();
    }
}

void note_after_site(PyObject* exception, const std::string& text) {
    add_note(exception, text);
    for (Left& left : left_behind)
        if (left.exception.get() == exception && left.depth == programs_running) left.site += " " + text;
}

}  // namespace velmo
