#!/usr/bin/env bash
# run.sh [COUNT] [INTERPRETER...]: builds gc_probe for each interpreter
# (default: pypy3 python3) and prints, for COUNT holders (default 200000) with
# and without a reference cycle, how many survive gc.collect(), how often the
# collector called tp_traverse, and how much the resident set grew after the
# first quarter and at the end. Each measurement runs in a fresh process.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
count="${1:-200000}"
shift || true
[ $# -gt 0 ] || set -- pypy3 python3
printf '%-8s %-6s %8s %11s %11s %13s %11s %11s\n' \
    host mode count "live after" "traversals" "gc.is_tracked" "RSS +MB 1/4" "RSS +MB end"
for interp in "$@"; do
    out="$here/build/$(basename "$interp")"
    "$here/build.sh" "$interp" "$out"
    for mode in plain cycle; do
        read -r live traversals first last tracked < <(PYTHONPATH="$out" "$interp" "$here/measure.py" "$mode" "$count")
        printf '%-8s %-6s %8s %11s %11s %13s %11s %11s\n' \
            "$(basename "$interp")" "$mode" "$count" "$live" "$traversals" "$tracked" "$first" "$last"
    done
done
