#!/usr/bin/env bash
# Builds everything and runs every test: the core tests and the module's
# native tests (release, then under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the core's under ThreadSanitizer); the
# Python suite against velmo built with the sanitizers under the main CPython
# (python3); the release artefacts (sdist and wheel, their metadata, the
# manylinux repair, the wheels cibuildwheel would build); the Python suite
# against the repaired release wheel under the main CPython, PyPy and every
# other CPython from 3.9 to 3.13 found on the machine (a part of the suite
# there), each wheel then installed alone into a new environment that runs
# the examples; the type checks; memory growth, valgrind and the fuzzers,
# under the main CPython (and PyPy). Ends with one line per interpreter.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
source "$(dirname "$0")/matrix.sh"
cd "$ROOT"
# Each step's header tells the time since the run began, so that a slow step shows.
step() { printf '== [%d:%02d] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }
mkdir -p build
install_build_tools
# Every build of the module compiles the same core: ccache compiles it once.
need_packages ccache
# Builds with debug information share the core's objects across their
# build folders too (ccache would otherwise tell them apart by folder).
export CCACHE_DIR="$ROOT/build/ccache" CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_NOHASHDIR=1
JOBS=$(nproc)
WERROR=-DQUARN_WERROR=ON

# One line per interpreter (build/summary/NAME), printed when the run ends,
# however it ends.
rm -rf build/summary build/matrix-* && mkdir -p build/summary
SUMMARY_ORDER=()
check_dir="$(mktemp -d)"
finish() {
    wait  # for the interpreters tested in the background, when a step before their end failed
    rm -rf "$check_dir"
    [ ${#SUMMARY_ORDER[@]} -gt 0 ] || return 0
    echo "== summary ($((SECONDS / 60)) min $((SECONDS % 60)) s in all)"
    for name in "${SUMMARY_ORDER[@]}"; do echo "$(cat "build/summary/$name")"; done
}
trap finish EXIT

step "native functions stay short"
python3 tools/long_functions.py 40

if [ -z "${SKIP_CORE:-}" ]; then
step "build (release)"
configure_build build/rel $WERROR -DQUARN_TESTS=ON -DVELMO_MODULE=OFF -DQUARN_LTO=OFF
cmake --build build/rel -j"$JOBS" >build/rel.build.log 2>&1 || { tail -50 build/rel.build.log; exit 1; }

step "core and native module tests (release)"
ctest --test-dir build/rel --output-on-failure -j"$JOBS"

step "core and native module tests (address and undefined-behaviour sanitizers)"
configure_build build/asan $WERROR -DCMAKE_BUILD_TYPE=Debug -DQUARN_SANITIZE=ON -DQUARN_TESTS=ON \
    -DVELMO_MODULE=OFF
cmake --build build/asan -j"$JOBS" >build/asan.build.log 2>&1 || { tail -50 build/asan.build.log; exit 1; }
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j"$JOBS"

step "core tests (thread sanitizer)"
configure_build build/tsan $WERROR -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_THREAD_SANITIZE=ON -DQUARN_TESTS=ON \
    -DVELMO_MODULE=OFF
cmake --build build/tsan -j"$JOBS" >build/tsan.build.log 2>&1 || { tail -50 build/tsan.build.log; exit 1; }
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build/tsan --output-on-failure -j"$JOBS"

fi

if [ -z "${SKIP_ASAN:-}" ]; then
step "Python suite under python3, module built with the sanitizers"
SUMMARY_ORDER+=(asan)
note asan "$(describe python3) (sanitizers):"
make_venv asan python3
install_velmo asan -C cmake.build-type=Debug -C cmake.define.QUARN_SANITIZE=ON -C cmake.define.QUARN_WERROR=ON
suite asan LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    || { note asan " suite $(counts asan) FAILED"; exit 1; }
note asan " suite $(counts asan)"
fi

# The artefacts a release publishes, made as a maintainer makes them: python
# -m build builds the sdist, then the wheel from it, in isolation (with the
# newest scikit-build-core it allows). cibuildwheel builds the published
# wheels in containers; here it lists them, which checks its configuration.
step "release artefacts: sdist and wheel (python -m build), twine check, wheels of cibuildwheel"
make_main_venv
rm -rf build/dist build/wheelhouse
build/venv-python3/bin/python -m build -C cmake.define.QUARN_WERROR=ON --outdir build/dist/python3 . \
    >build/release.log 2>&1 || { tail -50 build/release.log; exit 1; }
ls build/dist/python3
build/venv-python3/bin/python -m twine --no-color check --strict build/dist/python3/*
expected="$(printf '%s\n' {cp39,cp310,cp311,cp312,cp313,pp39,pp310,pp311}-manylinux_{x86_64,aarch64} | sort)"
listed="$(build/venv-python3/bin/cibuildwheel --print-build-identifiers --platform linux | sort)"
[ "$listed" = "$expected" ] || { echo "cibuildwheel would build:"; echo "$listed"; exit 1; }
echo "cibuildwheel builds the $(echo "$listed" | wc -l) wheels of CPython 3.9 to 3.13 and PyPy 3.9 to 3.11, x86_64 and aarch64"

# The CPython versions besides the main one run this part of the suite: the
# module and its classes, argument binding and its messages, conversion both
# ways, builders, machines (run, get, repr, limits), callbacks and re-entry, errors
# and PanicException, pickling and copying (whose protocols and messages vary
# with the version), the documentation and the examples. The rest (deep
# trees, reference counts, threads, properties, the reference model, the
# fuzzers' findings) runs under the main CPython and PyPy.
PART=(test_module.py test_binding.py test_convert.py test_builders.py test_machine.py test_callables.py test_limits.py
    test_reentry.py test_records.py test_pickle.py test_error_reference.py test_docs.py test_examples.py)
matrix=("python3 python3 (main)" "pypy3 pypy3")
SUMMARY_ORDER+=(python3 pypy3)
main_version="$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
for version in "${CPYTHON_VERSIONS[@]}"; do
    [ "$version" != "$main_version" ] || continue
    name="cpython$version"
    SUMMARY_ORDER+=("$name")
    interp="$(find_cpython "$version")"
    if [ -z "$interp" ]; then
        note "$name" "cpython $version: not found (pyenv, PATH)"
    elif ! can_build "$interp"; then
        note "$name" "$(describe "$interp"): skipped, no headers or venv ($interp)"
    else
        matrix+=("$name $interp")
    fi
done
# The main CPython's in the foreground. Then the others two at a time in the
# background (most of each is one process: making environments, the suite),
# while the type checks and valgrind run under the main CPython; each one's
# output is shown when all have ended, before the fuzzers, which reinstall
# PyPy's module and are given time, not work, so better run alone.
start_entry() {
    local name interp label part=() status
    read -r name interp label <<<"$1"
    [[ "$name" != cpython* ]] || part=("${PART[@]}")
    step "Python suite under $(describe "$interp"), release wheel; examples with the wheel alone"
    set +e
    (set -e; test_interpreter "$name" "$interp" "${label:+ $label}" "${part[@]}")
    status=$?
    set -e
    echo "$status" >"build/matrix-$name.status"
}
start_others() {
    local entry
    for entry in "${matrix[@]:1}"; do
        [ "$(jobs -pr | wc -l)" -lt 2 ] || wait -n || true
        start_entry "$entry" >"build/matrix-${entry%% *}.log" 2>&1 &
    done
    wait
}
# The main CPython's environment has the Dask recipe's tools and the table
# libraries (pyarrow, polars, pandas, DuckDB, numpy): their tests must run
# there, not skip.
VELMO_DASK_REQUIRED=1 VELMO_TABLES_REQUIRED=1 start_entry "${matrix[0]}"
step "started in the background, output shown when all have ended: $(printf '%s\n' "${matrix[@]:1}" | cut -d' ' -f1 | xargs)"
start_others &
others=$!

# With no PYTHONPATH, both checks see the installed package, from an empty
# folder outside the repository (where they leave their caches): stubtest
# compares the stub with the module; mypy --strict checks the examples, the
# Python blocks of the README and of the API reference, and what the stub
# must accept and refuse (python/tests/typing_cases.py).
step "type checks: stub against the module (stubtest), examples and typed uses (mypy --strict)"
for page in README.md docs/api.md; do
    awk -v out="$check_dir/$(basename "$page" .md | tr A-Z a-z)_block" \
        '/^```python$/ { n++; file = out n ".py"; next } /^```/ { file = ""; next } file { print > file }' "$page"
done
(cd "$check_dir" && env -u PYTHONPATH "$ROOT/build/venv-python3/bin/python" -m mypy.stubtest velmo \
    --allowlist "$ROOT/python/stubtest-allowlist.txt")
(cd "$check_dir" && env -u PYTHONPATH MYPY_CACHE_DIR="$ROOT/build/mypy-cache" \
    "$ROOT/build/venv-python3/bin/python" -m mypy --strict "$ROOT"/examples/*.py ./*_block*.py \
    "$ROOT/python/tests/typing_cases.py")

step "memory levels off under python3 (short run; tools/memcheck.py with no arguments is the full one)"
build/venv-python3/bin/python tools/memcheck.py --runs 10000

step "valgrind memcheck, short subset (tools/valgrind.sh with no arguments runs the whole suite)"
VALGRIND_QUICK=1 bash tools/valgrind.sh

wait "$others"
failed=0
for entry in "${matrix[@]}"; do
    name="${entry%% *}"
    [ ! -e "build/matrix-$name.log" ] || cat "build/matrix-$name.log"
    [ "$(cat "build/matrix-$name.status" 2>/dev/null)" = 0 ] || { note "$name" " FAILED"; failed=1; }
done
[ "$failed" = 0 ] || exit 1

step "memory levels off under pypy3 (short run)"
build/venv-pypy3/bin/python tools/memcheck.py --runs 10000

step "fuzzers"
bash tools/fuzz.sh 60
