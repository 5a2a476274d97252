#!/usr/bin/env bash
# Fails when a source file includes a header from a floor it must not see:
# each floor of src/ and server/ may include its own headers and those of the
# floors below it, never those above it or of a sibling beside it.
set -euo pipefail

# --self-test: a sound tree passes, and each wrong include added to it fails.
if [ "${1:-}" = "--self-test" ]; then
    tree=$(mktemp -d)
    trap 'rm -rf "$tree"' EXIT
    put() {  # put FILE INCLUDE...: FILE holding one #include line per INCLUDE
        mkdir -p "$tree/$(dirname "$1")"
        local file=$1
        shift
        : >"$tree/$file"
        for included in "$@"; do printf '#include "%s"\n' "$included" >>"$tree/$file"; done
    }
    put src/peer/ok.cpp net/socket.h
    put server/main.cpp server/http/http_server.h server/store/store_factory.h server/log_sink.h
    put server/log_sink.cpp server/log_sink.h
    put server/http/ok.cpp server/events/event_dispatcher.h server/store/directory_store.h \
        server/log_sink.h base/strings.h
    put server/events/ok.cpp server/store/directory_store.h base/strings.h
    put server/store/ok.cpp server/store/name_filter.h
    put server/store/store_factory.cpp server/store/store_factory.h \
        server/store/sqlite/sqlite_store.h server/store/postgres/postgres_store.h
    put server/store/sqlite/ok.cpp server/store/name_filter.h server/log_sink.h
    put server/store/postgres/ok.cpp server/store/directory_store.h server/log_sink.h
    if ! bash "$0" "$tree"; then
        echo "self-test: a sound tree was refused"
        exit 1
    fi
    refused() {  # refused WHY FILE INCLUDE: the tree with FILE added must fail
        put "$2" "$3"
        if bash "$0" "$tree" >/dev/null; then
            echo "self-test: not caught: $1"
            exit 1
        fi
        rm "$tree/$2"
    }
    refused "net includes app" src/net/bad.cpp app/share_app.h
    refused "src includes the server" src/base/bad.cpp server/log_sink.h
    refused "sqlite driver includes postgres" server/store/sqlite/bad.cpp \
        server/store/postgres/pg_connection.h
    refused "postgres driver includes sqlite" server/store/postgres/bad.cpp \
        server/store/sqlite/sqlite_store.h
    refused "http includes a driver" server/http/bad.cpp server/store/sqlite/sqlite_store.h
    refused "http includes the factory" server/http/bad.cpp server/store/store_factory.h
    refused "events include http" server/events/bad.cpp server/http/http_server.h
    refused "store includes events" server/store/bad.cpp server/events/event_dispatcher.h
    refused "store interface includes a driver" server/store/bad.h \
        server/store/sqlite/sqlite_store.h
    refused "log sink includes the store" server/log_sink.h server/store/directory_store.h
    refused "main includes a driver" server/bad.cpp server/store/postgres/postgres_store.h
    refused "a folder without a row" server/admin/bad.cpp server/log_sink.h
    echo "self-test: sound tree passes, every wrong include is caught"
    exit
fi

root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}

# A floor is a folder of src/ (named without "src/"), a folder of server/, or
# one file (named without its extension) that sits on a floor of its own: the
# log sink, which every server floor writes to, and the store factory, the one
# place that knows both drivers.
declare -A allowed=(
    [base]="base"
    [net]="base net"
    [share]="base share"
    [directory]="base net share directory"
    [peer]="base net share directory peer"
    [app]="base net share directory peer app"
    [headless]="base net share directory peer app headless"
    [ui]="base net share directory peer app ui"
    [server/log_sink]="base server/log_sink"
    [server/store]="base server/store"
    [server/store/sqlite]="base server/log_sink server/store server/store/sqlite"
    [server/store/postgres]="base server/log_sink server/store server/store/postgres"
    [server/store/store_factory]="base server/log_sink server/store server/store/sqlite server/store/postgres server/store/store_factory"
    [server/events]="base server/store server/events"
    [server/http]="base server/log_sink server/store server/events server/http"
    [server]="base server/log_sink server/store server/store/store_factory server/events server/http server"
)

# floor_of PATH: the floor of a file named from the root, or of an include
# ("net/socket.h" names src/net, "server/http/metrics.h" server/http).
floor_of() {
    local path=$1
    case $path in
        src/*) path=${path#src/}; echo "${path%%/*}" ;;
        server/*)
            if [ -n "${allowed[${path%.*}]+set}" ]; then
                echo "${path%.*}"
            else
                echo "${path%/*}"
            fi
            ;;
        *) echo "${path%%/*}" ;;
    esac
}

failures=0
checked=0
while IFS= read -r file; do
    rel=${file#"$root"/}
    floor=$(floor_of "$rel")
    if [ -z "${allowed[$floor]+set}" ]; then
        echo "$rel: folder '$floor' has no place in the layer table"
        failures=$((failures + 1))
        continue
    fi
    while IFS= read -r included; do
        [[ $included == */* ]] || continue  # a header beside the file, or a system header
        target=$(floor_of "$included")
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
