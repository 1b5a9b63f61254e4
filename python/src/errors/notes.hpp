#pragma once
// Notes on exceptions (PEP 678): where a failure happened, added to the
// exception without changing its message. Python 3.11 shows them under the
// traceback; on 3.9 and 3.10 they are kept the same way, in __notes__, for
// code that reads them, but the traceback does not show them.

#include <string>

#include "pyref.hpp"

namespace velmo {

// Appends `text` to the exception's __notes__, made if missing, as
// BaseException.add_note does. A note that cannot be added (memory, or a
// __notes__ that is not a list) is left out; the exception stays as it was.
// Returns the note added, or null.
Ref add_note(PyObject* exception, const std::string& text);

// Puts `text` in the place of the last note that reads `old`, or appends it
// when the exception holds no such note. Returns the note, or null. Notes
// are told apart by their text: a str has no identity of its own on every
// host.
Ref replace_note(PyObject* exception, const std::string& old, const std::string& text);

// The same for the pending exception, which stays pending.
void note_pending(const std::string& text);

}  // namespace velmo
