#!/usr/bin/env bash
# Redraws resources/icons/* (PNGs and the SVG) and resources/splash.png from tools/art/make_art.cpp.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TMPDIR:-/tmp}/brindlenet-art-build
cmake -S tools/art -B "$build" -G Ninja >/dev/null
cmake --build "$build" >/dev/null
QT_QPA_PLATFORM=offscreen "$build/brindlenet-make-art" resources
