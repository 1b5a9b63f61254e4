#!/usr/bin/env bash
# tools/valgrind.sh [pytest arguments]: the Python suite under valgrind's
# memcheck on CPython, against velmo built with debug information. Fails on
# any invalid read or write, any use of uninitialised memory, and any block
# definitely lost from velmo's own frames. The interpreter's own reports are
# suppressed (tools/valgrind-python.supp). With no arguments it runs the whole
# suite (tests in child processes run outside valgrind); VALGRIND_QUICK=1 runs
# the short subset that the test command uses, against the release build the
# test command has already installed (frames then carry names, not lines).
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
install_python_hosts
need_packages valgrind

QUICK_SUBSET=(test_convert.py test_builders.py test_machine.py test_callables.py test_reentry.py)
if [ -n "${VALGRIND_QUICK:-}" ]; then
    venv=python3
    make_main_venv
    # The module the test command installed (its release wheel); built only when there is none.
    build/venv-python3/bin/python -c "import velmo" 2>/dev/null \
        || install_velmo python3 -C cmake.define.QUARN_WERROR=ON
    [ $# -gt 0 ] || set -- "${QUICK_SUBSET[@]}"
else
    venv=valgrind
    make_venv valgrind python3
    install_velmo valgrind -C cmake.build-type=RelWithDebInfo
fi

logs="$ROOT/build/valgrind"
rm -rf "$logs" && mkdir -p "$logs"
echo "== Python suite under valgrind memcheck ($*)"
(cd python/tests && PYTHONMALLOC=malloc valgrind --tool=memcheck --quiet --num-callers=40 \
    --suppressions="$ROOT/tools/valgrind-python.supp" --leak-check=full --show-leak-kinds=definite \
    --log-file="$logs/memcheck.%p.log" \
    "$ROOT/build/venv-$venv/bin/python" -m pytest -q -p no:cacheprovider "$@")
python3 "$ROOT/tools/valgrind_report.py" "$logs"/memcheck.*.log
