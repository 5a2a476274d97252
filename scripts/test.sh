#!/usr/bin/env bash
# Builds and runs every test: a plain build and clang-tidy over the sources,
# then AddressSanitizer with UndefinedBehaviorSanitizer over everything, then
# ThreadSanitizer over the core. Warnings are errors in every test build.
# Any failure fails the command.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== plain build"
scripts/build.sh build -DBRINDLENET_WERROR=ON
ctest --test-dir build --output-on-failure -j 2
echo "== clang-tidy"
scripts/tidy.sh build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DBRINDLENET_WERROR=ON -DBRINDLENET_BUILD_BENCH=OFF -DBRINDLENET_SANITIZE=address
# The namespaced router tests run real programs across NAT; the plain stage covers them.
ctest --test-dir build-asan --output-on-failure -j 2 -LE netns

echo "== ThreadSanitizer (core)"
scripts/build.sh build-tsan -DBRINDLENET_WERROR=ON -DBRINDLENET_BUILD_BENCH=OFF -DBRINDLENET_SANITIZE=thread -DBRINDLENET_BUILD_UI=OFF -DBRINDLENET_BUILD_SERVER=OFF
ctest --test-dir build-tsan --output-on-failure -j 2 -L core

for extra in scripts/test.d/*.sh; do
    [ -e "$extra" ] || continue
    echo "== $(basename "$extra" .sh)"
    bash "$extra"
done
echo "all test stages passed"
