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
# A finding fails a file's run; a configuration clang-tidy cannot read only
# prints an error, so the log is searched as well.
status=0
run-clang-tidy -p "$build" -quiet -j "$(nproc)" "^$root/(src|server)/.*\.cpp$" \
    >"$build/tidy.log" 2>&1 || status=$?
if [ "$status" -ne 0 ] || grep -q 'error:' "$build/tidy.log"; then
    sed 's/\x1b\[[0-9;]*m//g' "$build/tidy.log" | grep -E 'error:|warning:' | sort -u >&2 || true
    echo "tidy: findings above (whole output in $build/tidy.log)" >&2
    exit 1
fi
echo "tidy: no findings"
