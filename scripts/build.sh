#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures DIR once and builds everything in it.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
shift
if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
