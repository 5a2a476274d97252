#!/usr/bin/env bash
# Fails when a source file includes a header from a floor it must not see:
# each floor of src/ may include its own headers and those of the floors below
# it, never those above it or of a sibling beside it.
set -euo pipefail

# --self-test: a tree whose net floor includes an app header must fail the check.
if [ "${1:-}" = "--self-test" ]; then
    tree=$(mktemp -d)
    trap 'rm -rf "$tree"' EXIT
    mkdir -p "$tree/src/net" "$tree/src/peer" "$tree/server"
    printf '#include "net/socket.h"\n' >"$tree/src/peer/ok.cpp"
    printf '#include <string>\n#include "app/share_app.h"\n' >"$tree/src/net/upward.cpp"
    if bash "$0" "$tree"; then
        echo "self-test: an upward include was not caught"
        exit 1
    fi
    rm "$tree/src/net/upward.cpp"
    bash "$0" "$tree"
    exit
fi

root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}

declare -A allowed=(
    [base]="base"
    [net]="base net"
    [share]="base share"
    [directory]="base net share directory"
    [peer]="base net share directory peer"
    [app]="base net share directory peer app"
    [headless]="base net share directory peer app headless"
    [ui]="base net share directory peer app ui"
    [server]="base server"
)

failures=0
checked=0
while IFS= read -r file; do
    rel=${file#"$root"/}
    case $rel in
        src/*) floor=${rel#src/}; floor=${floor%%/*} ;;
        server/*) floor=server ;;
        *) continue ;;
    esac
    if [ -z "${allowed[$floor]+set}" ]; then
        echo "$rel: folder '$floor' has no place in the layer table"
        failures=$((failures + 1))
        continue
    fi
    while IFS= read -r included; do
        target=${included%%/*}
        [ "$target" = "$included" ] && continue  # a header beside the file, or a system header
        if [[ " ${allowed[$floor]} " != *" $target "* ]]; then
            echo "$rel includes \"$included\": $floor may include only: ${allowed[$floor]}"
            failures=$((failures + 1))
        fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
    checked=$((checked + 1))
done < <(find "$root/src" "$root/server" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)

if [ "$checked" -eq 0 ]; then
    echo "no source files found below $root"
    exit 1
fi
echo "$checked files checked, $failures layer violations"
[ "$failures" -eq 0 ]
