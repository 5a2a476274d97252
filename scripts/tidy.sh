#!/usr/bin/env bash
# tidy.sh [BUILD_DIR]: runs clang-tidy with the checks in .clang-tidy over every
# source file of src/ and server/ that BUILD_DIR (default: build) compiles.
# Any finding fails the command.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}
if [ ! -f "$build/compile_commands.json" ]; then
    echo "tidy: $build/compile_commands.json is missing; configure the build first" >&2
    exit 1
fi
run-clang-tidy -p "$build" -quiet -j "$(nproc)" "^$root/(src|server)/.*\.cpp$" \
    >"$build/tidy.log" 2>&1 || {
    grep -E 'error:|warning:' "$build/tidy.log" | sort -u >&2 || cat "$build/tidy.log" >&2
    echo "tidy: findings above (whole output in $build/tidy.log)" >&2
    exit 1
}
echo "tidy: no findings"
