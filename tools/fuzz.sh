#!/usr/bin/env bash
# tools/fuzz.sh SECONDS: runs every fuzzer in FUZZERS, each for its share of
# SECONDS (setup not counted), and exits 0 only when all ran clean. A fuzzer
# fails on any crash, sanitizer report, misbehaviour or hang, and prints the
# reproducer: a Python script that runs the failing input on its own.
#
# Adding a fuzzer: a line "NAME SHARE" in FUZZERS, and two functions,
# prepare_NAME (installs and builds what it needs) and fuzz_NAME SECONDS.
#
# FUZZ_SEED=N replays the PyPy module fuzzer from seed N (it prints the seed
# it starts from). FUZZ_ONLY=NAME runs that one fuzzer for all of SECONDS, for
# long runs by hand (several can run at once, each in its own folder).
set -uo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"

FUZZERS=(
    "core 2"
    "payload 1"
    "arrow 1"
    "module_cpython 3"
    "module_pypy 2"
)
if [ -n "${FUZZ_ONLY:-}" ]; then FUZZERS=("$FUZZ_ONLY 1"); fi

WORK="$ROOT/build/fuzz"
CLANG=16

# ---------------------------------------------------------------- the core
# The C++ core on its own: libFuzzer over programs decoded from bytes
# (quarn/fuzz/), built by tools/fuzz_core.sh, which also runs it.

prepare_core() { need_packages "clang-$CLANG" "libfuzzer-$CLANG-dev" "libclang-rt-$CLANG-dev" cmake make; }

fuzz_core() { bash tools/fuzz_core.sh "$1"; }

# ------------------------------------------------------ the payload reader
# The reader of pickled trees and machines (quarn/payload.hpp) on bytes of
# any kind, from the same build: bytes that are not a payload must be
# refused cleanly, and what is read must write back the same.

prepare_payload() { prepare_core; }

fuzz_payload() { bash tools/fuzz_core.sh "$1" payload; }

# ------------------------------------------------ the Arrow import (module)
# The module's reader of Arrow's C Data Interface (python/src/tables), built
# alone with no Python (python/fuzz/): schemas and arrays a hostile producer
# might hand over must be refused cleanly or read within their buffers, and
# every struct released exactly once.

prepare_arrow() { prepare_core; }

fuzz_arrow() { bash tools/fuzz_core.sh "$1" arrow; }

# ------------------------------------------------- module, CPython (atheris)
# velmo built by clang with AddressSanitizer, UndefinedBehaviorSanitizer and
# coverage callbacks; atheris (its libFuzzer preloaded ahead of the sanitizer
# runtime, so that the callbacks reach it) searches for inputs of the
# generator that reach new code of the module.

sanitizer_runtime() { "clang-$CLANG" -print-file-name=libclang_rt.asan-x86_64.so; }

prepare_module_cpython() {
    install_python_hosts
    need_packages "clang-$CLANG" "libfuzzer-$CLANG-dev" "libclang-rt-$CLANG-dev"
    make_venv fuzz python3 || return 1
    build/venv-fuzz/bin/python -m pip install -q --disable-pip-version-check -r tools/fuzz/requirements.txt \
        || return 1
    install_velmo fuzz -C cmake.build-type=RelWithDebInfo -C cmake.define.QUARN_SANITIZE=ON \
        -C cmake.define.CMAKE_CXX_COMPILER="clang++-$CLANG" \
        -C cmake.define.CMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link || return 1
    mkdir -p "$WORK/module_cpython/corpus"
    local fuzzer_lib; fuzzer_lib="$(dirname "$(sanitizer_runtime)")/libclang_rt.fuzzer_no_main-x86_64.a"
    "clang++-$CLANG" -shared -o "$WORK/libfuzzer.so" -Wl,--whole-archive "$fuzzer_lib" -Wl,--no-whole-archive \
        -lpthread || return 1
}

fuzz_module_cpython() {
    local dir="$WORK/module_cpython" status
    rm -f "$dir"/crash-* "$dir"/timeout-* "$dir"/oom-* "$dir"/leak-*
    # Leaks are looked for once, at exit (libFuzzer's check after each input
    # would blame the interpreter's own caches), with Python's allocator off
    # so that LeakSanitizer sees every pointer. detect_stack_use_after_return
    # moves locals off the machine stack, where the core measures how much
    # stack it has left.
    env PYTHONMALLOC=malloc LD_PRELOAD="$WORK/libfuzzer.so:$(sanitizer_runtime)" \
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:verify_asan_link_order=0:detect_stack_use_after_return=0 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1 \
        build/venv-fuzz/bin/python tools/fuzz/module_fuzz.py atheris --seconds "$1" --workdir "$dir" \
        -detect_leaks=0 >"$dir.log" 2>&1
    status=$?
    grep -m3 -E "^(#[0-9]+\s+DONE|Done [0-9]+ runs|stat::new_units)" "$dir.log"
    if [ "$status" != 0 ] && grep -qE "^Done [0-9]+ runs" "$dir.log"; then
        # Every input ran clean; what failed is the leak check at exit.
        rm -f "$dir"/crash-*
        python3 tools/fuzz/own_leaks.py "$dir.log" && return 0
        return 1
    fi
    [ "$status" = 0 ] && return 0
    grep -v "^velmo: fatal error at" "$dir.log" | tail -120
    for input in "$dir"/crash-* "$dir"/timeout-* "$dir"/oom-*; do
        [ -e "$input" ] || continue
        echo "---- reproducer ($input) ----"
        build/venv-fuzz/bin/python tools/fuzz/module_fuzz.py show --file "$input"
        echo "---- end ----"
    done
    return 1
}

# --------------------------------------------------------- module, PyPy
# The same generator against the release module under PyPy, seeds in
# batches, each batch in a child process so that a crash names its input.

prepare_module_pypy() {
    install_python_hosts
    make_venv pypy3 pypy3 && install_velmo pypy3 -C cmake.define.QUARN_WERROR=ON  # as the test command does
}

fuzz_module_pypy() {
    python3 tools/fuzz/module_fuzz.py run --python build/venv-pypy3/bin/python --seconds "$1" \
        --workdir "$WORK/module_pypy" ${FUZZ_SEED:+--first "$FUZZ_SEED"}
}

# ----------------------------------------------------------------- driver

main() {
    local seconds="${1:?usage: tools/fuzz.sh SECONDS}" total=0 failed=() name share
    for entry in "${FUZZERS[@]}"; do total=$((total + ${entry#* })); done
    mkdir -p "$WORK"
    for entry in "${FUZZERS[@]}"; do
        name="${entry% *}"
        share=$((seconds * ${entry#* } / total))
        echo "== fuzz $name: prepare"
        if ! "prepare_$name"; then
            failed+=("$name (setup)")
            continue
        fi
        [ "$share" -gt 0 ] || continue  # libFuzzer reads 0 seconds as no limit
        echo "== fuzz $name: ${share}s"
        "fuzz_$name" "$share" || failed+=("$name")
    done
    if [ ${#failed[@]} -gt 0 ]; then
        echo "== fuzzing FAILED: ${failed[*]}"
        return 1
    fi
    echo "== fuzzing clean: ${#FUZZERS[@]} fuzzers, ${seconds}s"
}

main "$@"
