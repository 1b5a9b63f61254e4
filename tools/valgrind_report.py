"""Reads valgrind memcheck logs (tools/valgrind.sh) and fails on what is
velmo's to fix: any invalid read, write or free that is not suppressed,
wherever it happens; a use of an uninitialised value with one of velmo's
frames on its stack; and any block definitely lost with one of velmo's frames
on its allocation stack. Uses of uninitialised values inside the interpreter
alone are its own business (CPython has a few, even with its allocator off),
and so are the word-sized reads past a string's end by glibc's vectorized
string functions that the interpreter calls."""

import re
import sys

OWN_FRAME = re.compile(r"velmo|/python/src/|/quarn/|quarn::")
# glibc's vectorized string functions read whole words past the end of a
# string, never past its page; valgrind reports those reads when they come
# from code it does not redirect (the interpreter's own compares).
VECTOR_STRING_FUNCTION = re.compile(r"^\s+at 0x[0-9A-F]+: __\w+_(avx2|evex|sse2|sse4)")


def records(path):
    """The reports of one log, each a list of lines without the pid prefix."""
    current = []
    with open(path, errors="replace") as f:
        for line in f:
            text = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
            if text.strip():
                current.append(text)
            elif current:
                yield current
                current = []
    if current:
        yield current


def main(paths):
    failures = 0
    for path in paths:
        for record in records(path):
            head = record[0]
            own = any(OWN_FRAME.search(line) for line in record)
            if "definitely lost" in head and not own:
                continue  # the interpreter's own, at exit
            if "uninitialised" in head and not own:
                continue
            if head.startswith("Invalid read") and not own and VECTOR_STRING_FUNCTION.match(record[1]):
                continue
            if head.startswith(("HEAP SUMMARY", "LEAK SUMMARY", "ERROR SUMMARY", "For lists of", "Warning:")):
                continue
            failures += 1
            print(f"---- {path}\n" + "\n".join(record))
    print(f"valgrind: {failures} report(s) that are velmo's")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
