#!/usr/bin/env bash
# Builds the module for PyPy and runs the example program with it.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
mkdir -p build
need_packages g++ make cmake pypy3 pypy3-dev
configure_build build/example -DQUARN_TESTS=OFF -DVELMO_PYTHONS=pypy3
cmake --build build/example -j"$(nproc)" --target velmo_pypy3 >build/example.build.log 2>&1 \
    || { tail -50 build/example.build.log; exit 1; }
PYTHONPATH="$ROOT/build/example/python/pypy3" pypy3 examples/pricing.py
