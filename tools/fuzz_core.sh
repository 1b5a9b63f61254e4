#!/usr/bin/env bash
# Fuzzes the language core: bash tools/fuzz_core.sh [SECONDS [TARGET]]
# (default 60 seconds of the target core; the target payload fuzzes the
# payload reader instead, and arrow the module's reader of Arrow's C Data
# Interface, python/fuzz, which holds no Python and builds the same way,
# into build/fuzz-arrow).
#
# Installs what is missing (clang 16 with libFuzzer and its sanitizer
# runtimes, CMake), builds quarn/fuzz with clang into build/fuzz-core, and
# runs the target for SECONDS on one process from a copy of its checked-in
# seed corpus (quarn/fuzz/corpus or quarn/fuzz/payload_corpus, copied to
# build/fuzz-TARGET-run/corpus, so the checked-in one stays as it is). Exits
# non-zero on any finding (crash, sanitizer report, leak, timeout, memory
# blow-up, broken check), printing the reproducer's path and what it decodes
# to. Reproduce one by hand with
#   QUARN_FUZZ_PRINT=1 build/fuzz-core/fuzz_TARGET PATH
# (clang 16, not Debian's default 14: the core uses std::source_location,
# which libstdc++ 12 only offers to compilers from clang 15 on.)
set -uo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"

DURATION="${1:-60}"
TARGET="${2:-core}"
BUILD="$ROOT/build/fuzz-core"
SOURCE="$ROOT/quarn/fuzz"
RUN="$ROOT/build/fuzz-$TARGET-run"
case "$TARGET" in
    core) CORPUS="$ROOT/quarn/fuzz/corpus"; OPTIONS=(-dict="$ROOT/quarn/fuzz/core.dict") ;;
    payload) CORPUS="$ROOT/quarn/fuzz/payload_corpus"; OPTIONS=() ;;
    arrow) CORPUS="$ROOT/python/fuzz/corpus"; OPTIONS=(); SOURCE="$ROOT/python/fuzz"; BUILD="$ROOT/build/fuzz-arrow" ;;
    *) echo "unknown fuzz target: $TARGET (core, payload or arrow)"; exit 1 ;;
esac

need_packages clang-16 libfuzzer-16-dev libclang-rt-16-dev cmake make || exit 1

mkdir -p "$BUILD"
if ! CC=clang-16 CXX=clang++-16 cmake -S "$SOURCE" -B "$BUILD" >"$BUILD.configure.log" 2>&1; then
    cat "$BUILD.configure.log"
    exit 1
fi
if ! nice -n 10 cmake --build "$BUILD" -j"$(nproc)" >"$BUILD.build.log" 2>&1; then
    tail -50 "$BUILD.build.log"
    exit 1
fi

rm -rf "$RUN"
mkdir -p "$RUN/corpus" "$RUN/findings"
cp "$CORPUS"/* "$RUN/corpus/"

# An input at the decoder's work bound runs for about 2 s under the
# sanitizers on an idle core; the timeout leaves room for a machine shared
# with other work (it once took over 10 s beside two other fuzzers) and still
# catches a run that never ends.
echo "== fuzzing the $TARGET target for ${DURATION}s (log: $RUN/fuzz.log)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 nice -n 10 "$BUILD/fuzz_$TARGET" \
    -max_total_time="$DURATION" -timeout=40 -rss_limit_mb=2048 -len_control=20 \
    "${OPTIONS[@]}" -artifact_prefix="$RUN/findings/" -print_final_stats=1 \
    "$RUN/corpus" >"$RUN/fuzz.log" 2>&1
status=$?

findings=("$RUN"/findings/*)
if [ "$status" -eq 0 ] && [ ! -e "${findings[0]}" ]; then
    grep -E "^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units|^stat::peak_rss_mb" "$RUN/fuzz.log"
    echo "== no findings in ${DURATION}s"
    exit 0
fi

echo "== the fuzzer stopped with status $status; the end of its log:"
tail -60 "$RUN/fuzz.log"
for input in "${findings[@]}"; do
    [ -e "$input" ] || continue
    echo
    echo "== reproducer: $input"
    echo "== what it decodes to, and what running it again shows:"
    QUARN_FUZZ_PRINT=1 ASAN_OPTIONS=detect_leaks=1 timeout 60 "$BUILD/fuzz_$TARGET" "$input" 2>&1 | tail -120
done
exit 1
