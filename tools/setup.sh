# Sourced by the project's commands: installs what a fresh Debian machine
# lacks, configures build directories and makes one virtual environment per
# interpreter with velmo installed into it. Idempotent and quiet when all is
# there.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
APT_UPDATED=0

need_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    if [ "$APT_UPDATED" = 0 ]; then
        apt-get update -qq
        APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The compiler, CMake and both interpreters with their headers and venv.
install_python_hosts() {
    need_packages g++ make cmake pypy3 pypy3-dev pypy3-venv
    # The machine's python3 needs its headers and venv; a Debian python3 gets them here.
    if ! python3 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
        need_packages python3-dev
    fi
    python3 -c 'import venv, ensurepip' 2>/dev/null || need_packages python3-venv
}

install_build_tools() {
    install_python_hosts
    need_packages libgtest-dev
}

# The core's own benchmark (bench/core.sh): Google Benchmark, and callgrind
# to count instructions.
install_core_bench_tools() {
    need_packages g++ make cmake libbenchmark-dev valgrind
}

# configure_build DIR [cmake options...]
configure_build() {
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >"$dir.configure.log" 2>&1 \
        || { cat "$dir.configure.log"; return 1; }
}

# make_venv NAME INTERPRETER [REQUIREMENT FILES...]: build/venv-NAME with the
# pinned tools of the files given (tools/requirements.txt when none is),
# remade when they change.
make_venv() {
    local name="$1" interp="$2" venv="$ROOT/build/venv-$1" stamp
    shift 2
    [ $# -gt 0 ] || set -- tools/requirements.txt
    stamp="$(cd "$ROOT" && cat "$@")"
    if [ ! -x "$venv/bin/python" ] || [ "$stamp" != "$(cat "$venv/requirements.txt" 2>/dev/null)" ]; then
        rm -rf "$venv"
        "$interp" -m venv "$venv"
        # Debian's PyPy venv brings a pip too old for build settings (-C).
        "$venv/bin/python" -m pip install -q --disable-pip-version-check "pip==24.3.1"
        (cd "$ROOT" && "$venv/bin/python" -m pip install -q --disable-pip-version-check "${@/#/-r}")
        printf '%s\n' "$stamp" >"$venv/requirements.txt"
    fi
}

# The main CPython's environment, build/venv-python3: the test tools, and also
# those of the type checks and the release artefacts.
make_main_venv() { make_venv python3 python3 tools/requirements.txt tools/requirements-main.txt; }

# install_velmo NAME [pip -C settings...]: builds velmo with pip into
# build/venv-NAME, as a user's `pip install .` would, reusing the build
# folder build/pip/NAME between runs.
install_velmo() {
    local name="$1" venv="$ROOT/build/venv-$1" log="$ROOT/build/pip-$1.log"
    shift
    "$venv/bin/python" -m pip install --disable-pip-version-check --no-build-isolation \
        --force-reinstall --no-deps -C build-dir="$ROOT/build/pip/$name" "$@" "$ROOT" >"$log" 2>&1 \
        || { tail -50 "$log"; return 1; }
}
