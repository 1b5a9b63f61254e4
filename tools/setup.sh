# Sourced by the project's commands: installs what a fresh Debian machine
# lacks and configures a build directory. Idempotent and quiet when all is there.

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

install_build_tools() {
    need_packages g++ make cmake libgtest-dev pypy3 pypy3-dev pypy3-venv
    # The machine's python3 needs its headers and venv; a Debian python3 gets them here.
    if ! python3 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
        need_packages python3-dev
    fi
    python3 -c 'import venv, ensurepip' 2>/dev/null || need_packages python3-venv
}

# configure_build DIR [cmake options...]
configure_build() {
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >"$dir.configure.log" 2>&1 \
        || { cat "$dir.configure.log"; return 1; }
}

# make_venv INTERPRETER: a virtual environment with the pinned test tools.
make_venv() {
    local interp="$1" venv="$ROOT/build/venv-$1"
    if [ ! -x "$venv/bin/python" ] || ! cmp -s "$ROOT/tools/requirements.txt" "$venv/requirements.txt"; then
        rm -rf "$venv"
        "$interp" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$ROOT/tools/requirements.txt"
        cp "$ROOT/tools/requirements.txt" "$venv/requirements.txt"
    fi
}
