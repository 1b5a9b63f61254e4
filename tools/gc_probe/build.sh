#!/usr/bin/env bash
# build.sh INTERPRETER OUTPUT_DIR: compiles gc_probe.cpp into the module
# gc_probe for INTERPRETER, with that interpreter's headers and extension suffix.
set -euo pipefail
interp="$1" out="$2"
src="$(cd "$(dirname "$0")" && pwd)/gc_probe.cpp"
read -r include suffix < <("$interp" -c \
    "import sysconfig; print(sysconfig.get_paths()['include'], sysconfig.get_config_var('EXT_SUFFIX'))")
mkdir -p "$out"
g++ -std=c++20 -O2 -fPIC -shared -fvisibility=hidden -Wall -Wextra \
    -Wno-missing-field-initializers -I"$include" "$src" -o "$out/gc_probe$suffix"
