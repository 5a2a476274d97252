#!/usr/bin/env bash
# Builds the Debian packages brindlenet, brindlenet-peer and brindlenet-directory
# in build-package/ (or the folder given): a Release build without the tests,
# installed under /usr by CPack with stripped programs, built with the usual
# Debian hardening (fortified functions, read-only relocations bound at start).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-package}
if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DBRINDLENET_BUILD_TESTS=OFF \
        -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
        -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/*.deb
