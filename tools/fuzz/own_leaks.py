"""Reads a LeakSanitizer report and fails on leaks that are velmo's: those
with one of the module's or the core's frames on their allocation stack. The
interpreter leaves a few blocks of its own at exit; they are not counted."""

import re
import sys

OWN_FRAME = re.compile(r"/python/src/|/quarn/\w+/(src|include)/|velmo::|quarn::")


def leak_records(lines):
    record = None
    for line in lines:
        if re.match(r"(Direct|Indirect) leak of", line):
            record = [line]
            yield record
        elif record is not None and re.match(r"\s+#\d+ ", line):
            record.append(line)
        else:
            record = None


def main(path):
    with open(path, errors="replace") as f:
        lines = f.read().splitlines()
    records = list(leak_records(lines))  # each record fills up as the lines go by
    own = [r for r in records if any(OWN_FRAME.search(line) for line in r[1:])]
    for record in own:
        print("\n".join(record) + "\n")
    print(f"leaks at exit that are velmo's: {len(own)}")
    return 1 if own else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
