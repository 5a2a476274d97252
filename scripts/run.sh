#!/usr/bin/env bash
# Builds what is missing and starts Brindlenet: a local directory server on port
# 8080 unless one already answers there, then the window. The window runs in
# the data folder (BRINDLENET_HOME, default ./data), which holds config.txt and
# the directory server's database.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
scripts/build.sh build
home=${BRINDLENET_HOME:-$root/data}
mkdir -p "$home"

server=$root/build/server/brindlenet-directory
window=$root/build/src/ui/brindlenet

answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

if [ ! -x "$window" ] || { [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; }; then
    [ -x "$window" ] && echo "run: no display (DISPLAY or WAYLAND_DISPLAY) for the window"
    if answers 8080; then
        echo "run: a directory server already answers on port 8080; nothing more to start here"
        exit 0
    fi
    echo "run: starting the directory server in the foreground (database: $home/directory.db)"
    exec "$server" --port 8080 --db "$home/directory.db"
fi

server_pid=
if answers 8080; then
    echo "run: a directory server already answers on port 8080"
else
    echo "run: starting the directory server (database: $home/directory.db, log: $home/directory.log)"
    "$server" --port 8080 --db "$home/directory.db" 2>>"$home/directory.log" &
    server_pid=$!
    trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null' EXIT
    for _ in $(seq 1 100); do
        answers 8080 && break
        sleep 0.1
    done
fi
cd "$home"
echo "run: starting the window in $home"
"$window"
