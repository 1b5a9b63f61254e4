#!/usr/bin/env bash
# Installs velmo with pip into a PyPy and a CPython virtual environment and
# runs the pricing example under each.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
mkdir -p build
install_python_hosts
for interp in pypy3 python3; do
    echo "== examples/pricing.py under $interp"
    if [ "$interp" = python3 ]; then make_main_venv; else make_venv "$interp" "$interp"; fi
    install_velmo "$interp"
    "build/venv-$interp/bin/python" examples/pricing.py
done
