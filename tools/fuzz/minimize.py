"""Shrinks a failing reproducer to the fewest top-level blocks that still fail.

    minimize.py PYTHON REPRODUCER.py [--env NAME=VALUE ...]

A block is a line at column 0 with the indented lines under it (a class, a
function, one call). The script runs candidates in fresh processes of PYTHON
and keeps one when it fails the same way: the same exit status, and for a
misbehaviour the same first line of the report. Prints the smallest found.
"""

import argparse
import os
import subprocess
import sys
import tempfile


def blocks(text):
    out = []
    for line in text.splitlines():
        if out and (line.startswith((" ", "\t")) or not line.strip()):
            out[-1] += "\n" + line
        else:
            out.append(line)
    return out


def outcome(python, code, env, timeout):
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write(code + "\n")
    try:
        proc = subprocess.run([python, f.name], capture_output=True, text=True, timeout=timeout, env=env,
                              cwd=tempfile.gettempdir())
    except subprocess.TimeoutExpired:
        return ("hang", "")
    finally:
        os.unlink(f.name)
    lines = [l for l in proc.stderr.splitlines() if "Misbehaviour" in l or "Error" in l]
    return (proc.returncode, lines[-1] if proc.returncode == 1 and lines else "")


def ddmin(items, fails):
    n = 2
    while len(items) >= 2:
        chunk = max(1, len(items) // n)
        reduced = False
        for start in range(0, len(items), chunk):
            rest = items[:start] + items[start + chunk:]
            if rest and fails(rest):
                items, n, reduced = rest, max(n - 1, 2), True
                break
        if not reduced:
            if n >= len(items):
                break
            n = min(len(items), n * 2)
    return items


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("python")
    parser.add_argument("reproducer")
    parser.add_argument("--env", action="append", default=[])
    parser.add_argument("--timeout", type=float, default=60)
    args = parser.parse_args()
    env = dict(os.environ)
    env.update(item.split("=", 1) for item in args.env)
    text = open(args.reproducer).read()
    marker = "\nWATCH = "
    head, body = text[: text.index(marker) + 1], text[text.index(marker) + 1:]
    target = outcome(args.python, text, env, args.timeout)
    if target[0] == 0:
        sys.exit("the reproducer does not fail")
    print(f"target outcome: {target}", file=sys.stderr)
    kept = ddmin(blocks(body), lambda items: outcome(args.python, head + "\n".join(items), env, args.timeout) == target)
    print(head + "\n".join(kept))


if __name__ == "__main__":
    main()
