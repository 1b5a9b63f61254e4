#!/usr/bin/env bash
# The benchmark in one command: installs what is missing, builds velmo and the
# floor module for PyPy and CPython, runs every workload under both, prints the
# Markdown tables of each interpreter and writes them into bench/README.md, and
# draws the chart docs/bench.svg, whose caption goes into README.md.
# Takes about twelve minutes once the builds are there, three of them W9's
# passes over its tables.
set -euo pipefail
source "$(dirname "$0")/../tools/setup.sh"
cd "$ROOT"
mkdir -p build/bench-run
install_python_hosts

# The bench's peers and tools (bench/requirements.txt; Lua and matplotlib go
# into the CPython environment only), remade with the environment. Without a
# peer its column reads "—"; without matplotlib there is no chart.
install_bench_tools() {
    local venv="$ROOT/build/venv-$1"
    cmp -s bench/requirements.txt "$venv/bench-requirements.txt" && return 0
    if "$venv/bin/python" -m pip install -q --disable-pip-version-check -r bench/requirements.txt; then
        cp bench/requirements.txt "$venv/bench-requirements.txt"
    else
        echo "the bench's peers did not all install under $1: some columns read \"—\""
    fi
}

# replace_between FILE MARKER CONTENT: CONTENT's lines replace what stands
# between <!-- MARKER:begin --> and <!-- MARKER:end --> in FILE.
replace_between() {
    awk -v content="$3" -v begin="<!-- $2:begin -->" -v end="<!-- $2:end -->" '
        $0 == end { skipping = 0 }
        !skipping { print }
        $0 == begin { while ((getline line < content) > 0) print line; skipping = 1 }
    ' "$1" >"$1.new"
    mv "$1.new" "$1"
}

for interp in pypy3 python3; do
    echo "== building velmo and the floor module for $interp"
    make_venv "bench-$interp" "$interp"
    nice -n 10 bash -c "source tools/setup.sh && install_velmo bench-$interp"
    install_bench_tools "bench-$interp"
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
replace_between bench/README.md pickling build/bench-run/pickling.md

# Timing runs at normal priority: the builds above yield to other work, the
# measurement should not.
load_before="$(cut -d' ' -f1 /proc/loadavg)"
for interp in pypy3 python3; do
    echo "== measuring under $interp (progress in build/bench-run/$interp.log)"
    PYTHONPATH="$ROOT/build/floor/$interp" "build/venv-bench-$interp/bin/python" bench/bench.py \
        "build/bench-run/$interp.json" >"build/bench-run/$interp.md" 2>"build/bench-run/$interp.log" \
        || { tail -20 "build/bench-run/$interp.log"; exit 1; }
done

commit="$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- python quarn || echo '+changes')"
cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
where="Measured $(date -u +%Y-%m-%d) at commit $commit on $(nproc) cores of $cpu"
{
    echo "$where, load average $load_before before and $(cut -d' ' -f1 /proc/loadavg) after;" \
        "\`bash bench/run.sh\`."
    echo
    cat build/bench-run/pypy3.md build/bench-run/python3.md
} >build/bench-run/tables.md
cat build/bench-run/tables.md
replace_between bench/README.md results build/bench-run/tables.md
echo "== tables written into bench/README.md"

# The chart, drawn under CPython from both interpreters' figures; its caption
# also goes under it in README.md.
if build/venv-bench-python3/bin/python -c "import matplotlib" 2>/dev/null; then
    caption="$(build/venv-bench-python3/bin/python bench/chart.py docs/bench.svg "$where" \
        build/bench-run/pypy3.json build/bench-run/python3.json)"
    {
        echo "![velmo against its peers, in ns per unit on a log scale, under PyPy and CPython](docs/bench.svg)"
        echo
        echo "*velmo against its peers: W8, five rules run over 10,000 records; W9, the same rules over a table"
        echo "of a million records (300,000 under PyPy); and the engine workloads of"
        echo "[bench/README.md](bench/README.md), in ns per unit on a log scale. $caption*"
    } >build/bench-run/chart.md
    replace_between README.md bench-chart build/bench-run/chart.md
    echo "== chart drawn into docs/bench.svg, its caption written into README.md"
else
    echo "matplotlib is missing: no chart drawn"
fi
