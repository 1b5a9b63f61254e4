#!/usr/bin/env bash
# The benchmark in one command: installs what is missing, builds velmo and the
# floor module for PyPy and CPython, runs every workload under both, prints the
# Markdown tables of each interpreter and writes them into bench/README.md.
# Takes about two minutes once the builds are there.
set -euo pipefail
source "$(dirname "$0")/../tools/setup.sh"
cd "$ROOT"
mkdir -p build/bench-run
install_python_hosts

# Lua goes into the CPython environment only; remade with the environment.
# Without it the table just has no Lua columns.
install_lupa() {
    local venv="$ROOT/build/venv-$1"
    cmp -s bench/requirements.txt "$venv/bench-requirements.txt" && return 0
    if "$venv/bin/python" -m pip install -q --disable-pip-version-check -r bench/requirements.txt; then
        cp bench/requirements.txt "$venv/bench-requirements.txt"
    else
        echo "lupa did not install: the CPython table has no Lua columns"
    fi
}

for interp in pypy3 python3; do
    echo "== building velmo and the floor module for $interp"
    make_venv "bench-$interp" "$interp"
    nice -n 10 bash -c "source tools/setup.sh && install_velmo bench-$interp"
    if [ "$interp" = python3 ]; then install_lupa "bench-$interp"; fi
    nice -n 10 bash bench/floor/build.sh "build/venv-bench-$interp/bin/python" "build/floor/$interp"
done

# Pickling under both interpreters (bench/pickling.py): loading a tree against
# building it, the size of its pickle, and a rule set reaching the workers of
# a process pool; written between the pickling markers of bench/README.md.
{
    echo "Measured $(date -u +%Y-%m-%d) at commit $(git rev-parse --short HEAD) on $(nproc) cores, load" \
        "average $(cut -d' ' -f1 /proc/loadavg) before; \`bash bench/run.sh\`."
    echo
    for interp in pypy3 python3; do
        echo "== pickling under $interp" >&2
        "build/venv-bench-$interp/bin/python" bench/pickling.py
    done
} >build/bench-run/pickling.md
awk -v figures=build/bench-run/pickling.md '
    /<!-- pickling:end -->/ { skipping = 0 }
    !skipping { print }
    /<!-- pickling:begin -->/ { while ((getline line < figures) > 0) print line; skipping = 1 }
' bench/README.md >build/bench-run/README.md
mv build/bench-run/README.md bench/README.md

# Timing runs at normal priority: the builds above yield to other work, the
# measurement should not.
load_before="$(cut -d' ' -f1 /proc/loadavg)"
for interp in pypy3 python3; do
    echo "== measuring under $interp (progress in build/bench-run/$interp.log)"
    PYTHONPATH="$ROOT/build/floor/$interp" "build/venv-bench-$interp/bin/python" bench/bench.py \
        >"build/bench-run/$interp.md" 2>"build/bench-run/$interp.log" \
        || { tail -20 "build/bench-run/$interp.log"; exit 1; }
done

commit="$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- python quarn || echo '+changes')"
cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
{
    echo "Measured $(date -u +%Y-%m-%d) at commit $commit on $(nproc) cores of $cpu, load average" \
        "$load_before before and $(cut -d' ' -f1 /proc/loadavg) after; \`bash bench/run.sh\`."
    echo
    cat build/bench-run/pypy3.md build/bench-run/python3.md
} >build/bench-run/tables.md
cat build/bench-run/tables.md

# The tables replace what stands between the markers of bench/README.md.
awk -v tables=build/bench-run/tables.md '
    /<!-- results:end -->/ { skipping = 0 }
    !skipping { print }
    /<!-- results:begin -->/ { while ((getline line < tables) > 0) print line; skipping = 1 }
' bench/README.md >build/bench-run/README.md
mv build/bench-run/README.md bench/README.md
echo "== tables written into bench/README.md"
