#!/usr/bin/env bash
# Builds what is missing and starts Brindlenet.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
echo "built:"
find build/src build/server -maxdepth 2 -type f -perm -u+x -name 'brindlenet*' 2>/dev/null | sort | sed 's/^/  /'
echo "  build/src/libbrindlenet_core.a (the core library)"
