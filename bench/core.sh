#!/usr/bin/env bash
# The core alone, without Python: builds bench/core_bench.cpp (installing
# Google Benchmark when it is missing) into build/bench, times W3's chain and
# W8's rules over bound values against the same rules written by hand, and,
# when valgrind is there, counts their instructions per unit with callgrind:
# the difference of two runs of different lengths, so that what a run does
# once falls out. Prints a Markdown table; bench/README.md holds the latest.
#   bash bench/core.sh
set -euo pipefail
source "$(dirname "$0")/../tools/setup.sh"
cd "$ROOT"
install_core_bench_tools
configure_build build/bench -DQUARN_BENCH=ON -DQUARN_TESTS=OFF -DVELMO_MODULE=OFF
nice -n 10 cmake --build build/bench -j"$(nproc)" --target quarn_bench >build/bench.build.log 2>&1 \
    || { tail -50 build/bench.build.log; exit 1; }
BENCH=build/bench/bench/quarn_bench

# name, benchmark, units per iteration
CASES=(
    "W8, binding and reading only|BM_W8/concurrent:0/rules:2|1"
    "W8, rules prepared (as run_many runs them)|BM_W8/concurrent:0/rules:0|1"
    "W8, rules by run|BM_W8/concurrent:0/rules:1|1"
    "W8, rules prepared, concurrent writers|BM_W8/concurrent:1/rules:0|1"
    "W8, the rules by hand (the floor)|BM_W8ByHand|1"
    "W3, per statement|BM_W3|1000"
)

# ns per unit: the fastest of five repetitions of Google Benchmark's own timing.
ns_per_unit() {
    "$BENCH" --benchmark_filter="^$1" --benchmark_repetitions=5 --benchmark_format=csv 2>/dev/null |
        awk -F, -v units="$2" 'NR > 1 && $1 !~ /_(mean|median|stddev|cv)"?$/ { if (best == "" || $4 < best) best = $4 }
                              END { printf "%.1f", best / units }'
}

# Instructions of N iterations (QUARN_BENCH_ITERATIONS fixes the count).
instructions() {
    QUARN_BENCH_ITERATIONS="$2" valgrind --tool=callgrind --callgrind-out-file=/dev/null \
        "$BENCH" --benchmark_filter="^$1/" 2>&1 >/dev/null | awk '/Collected/ { print $4 }'
}

per_unit() {
    command -v valgrind >/dev/null || { echo "—"; return; }
    local few=2000 many=4000
    [ "$2" -gt 1 ] && few=20 && many=40
    local a b
    a="$(instructions "$1" "$few")"
    b="$(instructions "$1" "$many")"
    awk -v a="$a" -v b="$b" -v n="$((many - few))" -v u="$2" 'BEGIN { printf "%.0f", (b - a) / n / u }'
}

echo "| case | instructions per unit | ns per unit |"
echo "|---|---|---|"
for case in "${CASES[@]}"; do
    IFS='|' read -r name filter units <<<"$case"
    echo "| $name | $(per_unit "$filter" "$units") | $(ns_per_unit "$filter" "$units") |"
done
