#!/usr/bin/env python3
"""Lists native functions longer than a limit (40 lines by default).

A function is a brace block opened at the end of a line whose text before
the brace ends in a parameter list (`...)`, perhaps followed by qualifiers),
at namespace or class level. Its length counts from that line to the line of
its closing brace. Good enough for this code base's plain formatting.
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ["quarn", "python/src", "bench", "examples"]
SIGNATURE = re.compile(r"\)\s*(const\s*)?(noexcept\s*)?(override\s*)?(->\s*[\w:<>&*\s]+)?(:\s*.*)?\{\s*$")
NOT_FUNCTION = re.compile(r"^\s*(if|for|while|switch|catch|else|do|return|case)\b|\[[^\]]*\]\s*\(")


def blocks(lines):
    """Yields (start, end) line numbers of function bodies."""
    i = 0
    while i < len(lines):
        line = lines[i]
        if SIGNATURE.search(line) and not NOT_FUNCTION.search(line):
            depth, j = 0, i
            while j < len(lines):
                depth += lines[j].count("{") - lines[j].count("}")
                if depth <= 0:
                    break
                j += 1
            yield i + 1, j + 1
            i = j
        i += 1


def long_functions(limit):
    for folder in FOLDERS:
        for path in sorted((ROOT / folder).rglob("*.[ch]pp")):
            lines = path.read_text().splitlines()
            for start, end in blocks(lines):
                if end - start + 1 > limit:
                    yield f"{path.relative_to(ROOT)}:{start}: {end - start + 1} lines: {lines[start - 1].strip()}"


def main():
    limit = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    found = list(long_functions(limit))
    print("\n".join(found) or f"no function over {limit} lines")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
