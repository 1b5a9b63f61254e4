#!/usr/bin/env bash
# Builds everything and runs every test: the core tests (release, then under
# AddressSanitizer and UndefinedBehaviorSanitizer), and the Python suite
# against velmo installed with pip: built with the sanitizers under CPython,
# then the release build under PyPy and CPython; then the type stub against
# the module and the examples under mypy --strict (CPython).
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
mkdir -p build
install_build_tools
JOBS=$(nproc)
WERROR=-DQUARN_WERROR=ON

echo "== native functions stay short"
python3 tools/long_functions.py 40

if [ -z "${SKIP_CORE:-}" ]; then
echo "== build (release)"
configure_build build/rel $WERROR -DQUARN_TESTS=ON -DVELMO_MODULE=OFF
cmake --build build/rel -j"$JOBS" >build/rel.build.log 2>&1 || { tail -50 build/rel.build.log; exit 1; }

echo "== core tests (release)"
ctest --test-dir build/rel --output-on-failure -j"$JOBS"

echo "== core tests (address and undefined-behaviour sanitizers)"
configure_build build/asan $WERROR -DCMAKE_BUILD_TYPE=Debug -DQUARN_SANITIZE=ON -DQUARN_TESTS=ON \
    -DVELMO_MODULE=OFF
cmake --build build/asan -j"$JOBS" >build/asan.build.log 2>&1 || { tail -50 build/asan.build.log; exit 1; }
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j"$JOBS"

fi

# The suite runs from its own folder with no PYTHONPATH: it tests what pip installed.
run_suite() {
    local name="$1"
    shift
    (cd "$ROOT/python/tests" && "$@" "$ROOT/build/venv-$name/bin/python" -m pytest -q -p no:cacheprovider .)
}

if [ -z "${SKIP_ASAN:-}" ]; then
echo "== Python suite under python3, module built with the sanitizers"
make_venv asan python3
install_velmo asan -C cmake.build-type=Debug -C cmake.define.QUARN_SANITIZE=ON -C cmake.define.QUARN_WERROR=ON
run_suite asan env LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi

for interp in pypy3 python3; do
    echo "== Python suite under $interp"
    make_venv "$interp" "$interp"
    install_velmo "$interp" -C cmake.define.QUARN_WERROR=ON
    run_suite "$interp" env
done

# With no PYTHONPATH, both checks see the installed package, from an empty
# folder outside the repository (where they leave their caches): stubtest
# compares the stub with the module; mypy --strict checks the examples, the
# Python blocks of the README and of the API reference, and what the stub
# must accept and refuse (python/tests/typing_cases.py).
echo "== type checks: stub against the module (stubtest), examples and typed uses (mypy --strict)"
check_dir="$(mktemp -d)"
trap 'rm -rf "$check_dir"' EXIT
for page in README.md docs/api.md; do
    awk -v out="$check_dir/$(basename "$page" .md | tr A-Z a-z)_block" \
        '/^```python$/ { n++; file = out n ".py"; next } /^```/ { file = ""; next } file { print > file }' "$page"
done
(cd "$check_dir" && env -u PYTHONPATH "$ROOT/build/venv-python3/bin/python" -m mypy.stubtest velmo \
    --allowlist "$ROOT/python/stubtest-allowlist.txt")
(cd "$check_dir" && env -u PYTHONPATH MYPY_CACHE_DIR="$ROOT/build/mypy-cache" "$ROOT/build/venv-python3/bin/python" -m mypy --strict \
    "$ROOT"/examples/*.py ./*_block*.py "$ROOT/python/tests/typing_cases.py")

echo "== memory levels off (short run; tools/memcheck.py with no arguments is the full one)"
for interp in pypy3 python3; do "$ROOT/build/venv-$interp/bin/python" tools/memcheck.py --runs 10000; done

echo "== valgrind memcheck, short subset (tools/valgrind.sh with no arguments runs the whole suite)"
VALGRIND_QUICK=1 bash tools/valgrind.sh

echo "== fuzzers"
bash tools/fuzz.sh 60
