#!/usr/bin/env bash
# build.sh INTERPRETER OUTPUT_DIR: compiles floor.cpp into the module
# velmo_floor for INTERPRETER, with that interpreter's headers and extension
# suffix and the optimisation of velmo's release build. Skips the compile when
# the module is newer than its source.
set -euo pipefail
interp="$1" out="$2"
src="$(cd "$(dirname "$0")" && pwd)/floor.cpp"
read -r include suffix < <("$interp" -c \
    "import sysconfig; print(sysconfig.get_paths()['include'], sysconfig.get_config_var('EXT_SUFFIX'))")
module="$out/velmo_floor$suffix"
mkdir -p "$out"
[ "$module" -nt "$src" ] && exit 0
g++ -std=c++20 -O3 -DNDEBUG -fPIC -shared -fvisibility=hidden -Wall -Wextra \
    -Wno-missing-field-initializers -I"$include" "$src" -o "$module"
