#!/usr/bin/env bash
# fuzz.sh [SECONDS [TARGET...]]: builds the libFuzzer targets with clang
# (ASan + UBSan) and runs each (or only the TARGETs named, such as
# search_reply) for SECONDS (default 20), starting from its seed corpus in
# tests/fuzz/corpus/. New inputs go to build-fuzz/corpus/, crashes to
# build-fuzz/crashes/, each run's output to build-fuzz/<target>.log.
# A longer run: scripts/fuzz.sh 3600
# Replay a crash: build-fuzz/tests/fuzz/fuzz_<target> build-fuzz/crashes/<file>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
if [ ! -f build-fuzz/CMakeCache.txt ]; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DBRINDLENET_SANITIZE=fuzz \
        -DBRINDLENET_BUILD_UI=OFF >/dev/null
fi
cmake --build build-fuzz -j "$(nproc)" --target fuzzers
mkdir -p build-fuzz/crashes

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    for source in tests/fuzz/fuzz_*.cpp; do
        name=$(basename "$source" .cpp)
        name=${name#fuzz_}
        case "$name" in support | replay_main) continue ;; esac
        targets+=("$name")
    done
fi

# Sanitizer reports end the run with the input saved; leaks are checked too.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ran=0
for name in "${targets[@]}"; do
    exe=build-fuzz/tests/fuzz/fuzz_$name
    if [ ! -x "$exe" ]; then
        # server_request is not built when the server is not (BRINDLENET_BUILD_SERVER=OFF).
        echo "fuzz $name: not built, skipped"
        continue
    fi
    work=build-fuzz/corpus/$name
    mkdir -p "$work"
    echo "fuzz $name for ${seconds}s"
    if ! "$exe" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix=build-fuzz/crashes/"$name"- -print_final_stats=1 \
        "$work" "tests/fuzz/corpus/$name" >"build-fuzz/$name.log" 2>&1; then
        tail -n 40 "build-fuzz/$name.log"
        echo "fuzz target $name failed; the input is in build-fuzz/crashes/"
        exit 1
    fi
    grep -E '^stat::number_of_executed_units' "build-fuzz/$name.log" | sed "s/^/  $name /" || true
    ran=$((ran + 1))
done
if [ "$ran" -eq 0 ]; then
    echo "no fuzz target was built"
    exit 1
fi
echo "fuzzing passed"
