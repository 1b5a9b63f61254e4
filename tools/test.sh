#!/usr/bin/env bash
# Builds everything and runs every test: the core tests (release, then under
# AddressSanitizer and UndefinedBehaviorSanitizer) and the Python suite under
# PyPy and CPython.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
mkdir -p build
install_build_tools
JOBS=$(nproc)

echo "== build (release)"
configure_build build/rel -DQUARN_TESTS=ON -DVELMO_MODULE=ON
cmake --build build/rel -j"$JOBS" >build/rel.build.log 2>&1 || { tail -50 build/rel.build.log; exit 1; }

echo "== core tests (release)"
ctest --test-dir build/rel --output-on-failure -j"$JOBS"

echo "== core tests (address and undefined-behaviour sanitizers)"
configure_build build/asan -DCMAKE_BUILD_TYPE=Debug -DQUARN_SANITIZE=ON -DQUARN_TESTS=ON \
    -DVELMO_MODULE=ON -DVELMO_PYTHONS=python3
cmake --build build/asan -j"$JOBS" >build/asan.build.log 2>&1 || { tail -50 build/asan.build.log; exit 1; }
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j"$JOBS"

echo "== Python suite under python3, module built with the sanitizers"
# The slowest deep-tree cases (quadratic to build) are left to the plain runs.
make_venv python3
LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    PYTHONPATH="$ROOT/build/asan/python/python3" build/venv-python3/bin/python -m pytest -q \
    -p no:cacheprovider -k "not test_deep_expression_tree and not test_deep_if_nesting" "$ROOT/velmo/tests"

for interp in pypy3 python3; do
    echo "== Python suite under $interp"
    make_venv "$interp"
    PYTHONPATH="$ROOT/build/rel/python/$interp" "build/venv-$interp/bin/python" -m pytest -q \
        -p no:cacheprovider "$ROOT/velmo/tests"
done
