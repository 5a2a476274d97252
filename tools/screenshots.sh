#!/usr/bin/env bash
# Starts the window program's screenshot build (brindlenet-screenshots) under
# Xvfb against a local directory server and saves a picture of each tab and
# dialog into docs/.
#
#   tools/screenshots.sh [BUILD_DIR]      (default: build)
#
# It needs `brindlenet-screenshots` (tools/screenshots) and
# `brindlenet-directory` in BUILD_DIR, xvfb-run and curl, and TCP port 2000 free
# (the program's peer port). In a scratch folder it makes a shared directory,
# starts a directory server, registers a second user "bob" (from this machine)
# who lists files that the window's own user "ann" also shares, and sends ann a
# message from bob. The program then walks its own pages: a message to itself,
# a search, the results sorted by size, a download of the first result (served
# by its own listener), and the three dialogs. Its preferences come from a
# preferences.conf in the scratch folder (an upload limit of 512 KiB/s), never
# from your own.
#
# Where dbus-run-session and dunst are installed, a notification service runs
# on the Xvfb screen, and the download's notification is taken as it shows
# there (docs/screenshot-notification.png); without them that picture is left
# as it was.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
app="$build/tools/screenshots/brindlenet-screenshots"
directory="$build/server/brindlenet-directory"
out="$root/docs"

for tool in "$app" "$directory"; do
    if [ ! -x "$tool" ]; then
        echo "screenshots: $tool is missing; build it first" >&2
        exit 1
    fi
done
for command in xvfb-run curl; do
    command -v "$command" >/dev/null || { echo "screenshots: $command is not installed" >&2; exit 1; }
done

work=$(mktemp -d)
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

if ! port_free 2000; then
    echo "screenshots: port 2000 is in use (another Brindlenet?); stop it first" >&2
    exit 1
fi
http_port=18080
while ! port_free "$http_port"; do http_port=$((http_port + 1)); done
url="http://127.0.0.1:$http_port/examples/servlet/brindlenet"

# The shared directory: bob lists the same files, so a download of one of his
# results is served by this very copy.
share="$work/share"
mkdir -p "$share/music" "$share/docs"
head -c 2400000 /dev/urandom >"$share/music/Brindle Blues.mp3"
head -c 1800000 /dev/urandom >"$share/music/Night Train.mp3"
head -c 3100000 /dev/urandom >"$share/music/Harbour Lights.mp3"
printf 'Install, then edit config.txt.\n' >"$share/docs/Setup Notes.txt"
printf '%s\n' "$url" ann "$share" "DSL,Cable" secret >"$work/config.txt"
mkdir -p "$work/xdg/brindlenet"
printf 'upload_slots = 8\nupload_limit_kib = 512\ndownload_limit_kib = 0\nnotifications = true\n' \
    >"$work/xdg/brindlenet/preferences.conf"

"$directory" --port "$http_port" --bind 127.0.0.1 --db "$work/directory.db" \
    2>"$work/directory.log" &
server_pid=$!
for _ in $(seq 100); do
    curl -s -o /dev/null "$url" -d "event=onLookupUserIP&userName=nobody" && break
    sleep 0.1
done

size() { stat -c %s "$share/$1"; }
body="event=onRegisterUser&userName=bob&connection=ISDN-128K&password=pw&count=4"
body+="&file0=music%5CBrindle+Blues.mp3&size0=$(size "music/Brindle Blues.mp3")"
body+="&file1=music%5CHarbour+Lights.mp3&size1=$(size "music/Harbour Lights.mp3")"
body+="&file2=music%5CNight+Train.mp3&size2=$(size "music/Night Train.mp3")"
body+="&file3=docs%5CSetup+Notes.txt&size3=$(size "docs/Setup Notes.txt")"
reply=$(curl -s "$url" -H 'Content-Type: application/x-www-form-urlencoded' --data-binary "$body")
if [ "$reply" != "OK" ]; then
    echo "screenshots: registering bob failed: $reply" >&2
    exit 1
fi

# bob's message arrives as soon as the window's listener runs.
(
    for _ in $(seq 300); do
        if (exec 3<>/dev/tcp/127.0.0.1/2000 && printf 'MESSAGE\n<bob> Hi ann, the new recordings are up.\n' >&3) 2>/dev/null; then
            exit 0
        fi
        sleep 0.1
    done
) &
sender_pid=$!

# The program, with a notification service beside it on its own session bus
# where one is installed.
shots="$work/shots"
run=("$app" "$shots")
if command -v dbus-run-session >/dev/null && command -v dunst >/dev/null; then
    run=(dbus-run-session -- bash -c 'dunst >/dev/null 2>&1 & d=$!; "$0" "$@"; rc=$?; kill $d; exit $rc'
         "$app" "$shots")
else
    echo "screenshots: no dbus-run-session and dunst: no notification picture" >&2
fi

(
    cd "$work"
    BRINDLENET_TOUR_QUERY="" BRINDLENET_TOUR_EXT="*.mp3" \
        XDG_RUNTIME_DIR="$work" XDG_CONFIG_HOME="$work/xdg" \
        xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "${run[@]}"
)
wait "$sender_pid" || true

mkdir -p "$out"
for picture in messages search sorted transfer configuration preferences about notification; do
    if [ "$picture" = notification ] && [ ! -f "$shots/$picture.png" ]; then
        continue  # no notification service on this machine
    fi
    cp "$shots/$picture.png" "$out/screenshot-$picture.png"
    echo "saved docs/screenshot-$picture.png"
done
