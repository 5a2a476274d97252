#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets with clang (ASan + UBSan) and
# runs each for SECONDS (default 20), starting from its seed corpus in
# tests/fuzz/corpus/. New inputs go to build-fuzz/corpus/, crashes to
# build-fuzz/crashes/. A longer run: scripts/fuzz.sh 3600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
if [ ! -f build-fuzz/CMakeCache.txt ]; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DBRINDLENET_SANITIZE=fuzz \
        -DBRINDLENET_BUILD_UI=OFF >/dev/null
fi
cmake --build build-fuzz -j "$(nproc)" --target fuzzers
mkdir -p build-fuzz/crashes
for exe in build-fuzz/tests/fuzz/fuzz_*; do
    [ -x "$exe" ] || continue
    name=$(basename "$exe" | sed 's/^fuzz_//')
    work=build-fuzz/corpus/$name
    mkdir -p "$work"
    echo "fuzz $name for ${seconds}s"
    "$exe" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix=build-fuzz/crashes/"$name"- -print_final_stats=0 \
        "$work" "tests/fuzz/corpus/$name" >"build-fuzz/$name.log" 2>&1 || {
        tail -n 40 "build-fuzz/$name.log"
        echo "fuzz target $name failed; the input is in build-fuzz/crashes/"
        exit 1
    }
done
echo "fuzzing passed"
