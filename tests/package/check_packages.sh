#!/usr/bin/env bash
# Builds the Debian packages with scripts/package.sh and checks them the way a
# distribution would: their contents, lintian, the desktop entry and AppStream
# file, the manual pages (rendering, and every option of each program's --help
# documented), each installed program's --help, and both systemd units.
# Usage: check_packages.sh SOURCE_DIR [PACKAGE_DIR]
set -euo pipefail
source_dir=$(cd "$1" && pwd)
package_dir=${2:-$source_dir/build-package}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$source_dir/scripts/package.sh" "$package_dir" >"$work/package.log" 2>&1 ||
    { cat "$work/package.log"; echo "FAIL: scripts/package.sh"; exit 1; }
version=$(sed -n 's/^project(Brindlenet VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
arch=$(dpkg --print-architecture)

# Each package holds its files; "*" stands for any folder level.
declare -A expected
expected[brindlenet]="usr/bin/brindlenet usr/share/applications/brindlenet.desktop
usr/share/metainfo/net.brindlenet.Brindlenet.metainfo.xml usr/share/man/man1/brindlenet.1.gz"
for size in 16 22 24 32 48 64 128 256; do
    expected[brindlenet]+=" usr/share/icons/hicolor/${size}x${size}/apps/brindlenet.png"
done
expected[brindlenet]+=" usr/share/icons/hicolor/scalable/apps/brindlenet.svg"
expected[brindlenet-peer]="usr/bin/brindlenet-peer usr/share/man/man1/brindlenet-peer.1.gz
usr/lib/systemd/user/brindlenet-peer.service usr/share/brindlenet/web/index.html"
expected[brindlenet-directory]="usr/bin/brindlenet-directory
usr/share/man/man8/brindlenet-directory.8.gz usr/lib/systemd/system/brindlenet-directory.service
etc/default/brindlenet-directory"

root=$work/root
mkdir -p "$root"
debs=()
for package in brindlenet brindlenet-peer brindlenet-directory; do
    deb=$package_dir/${package}_${version}_${arch}.deb
    if [ ! -f "$deb" ]; then
        fail "$deb was not built"
        continue
    fi
    debs+=("$deb")
    dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./||' >"$work/$package.list"
    for file in ${expected[$package]} usr/share/doc/$package/copyright \
        usr/share/doc/$package/changelog.gz; do
        grep -qxF "$file" "$work/$package.list" || fail "$package lacks $file"
    done
    [ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "$package version"
    dpkg-deb --field "$deb" Depends | grep -q 'libc6' ||
        fail "$package: no dependencies taken from its program"
    dpkg-deb -x "$deb" "$root"
done
[ "$failures" -eq 0 ] && pass "contents of ${#debs[@]} packages"
dpkg-deb --ctrl-tarfile "$package_dir/brindlenet-directory_${version}_${arch}.deb" |
    tar -xO ./conffiles | grep -qxF /etc/default/brindlenet-directory ||
    fail "/etc/default/brindlenet-directory is not a conffile"

# lintian: no error (warnings are shown).
lintian_options=(--fail-on error)
[ "$(id -u)" -ne 0 ] || lintian_options+=(--allow-root)
if lintian "${lintian_options[@]}" "${debs[@]}" >"$work/lintian.log" 2>&1; then
    pass "lintian: $(grep -c '^W:' "$work/lintian.log" || true) warnings, no error"
else
    fail "lintian"
fi
cat "$work/lintian.log"

desktop-file-validate "$root/usr/share/applications/brindlenet.desktop" &&
    pass "desktop-file-validate" || fail "desktop-file-validate"
xmllint --noout "$root/usr/share/icons/hicolor/scalable/apps/brindlenet.svg" &&
    pass "scalable icon is well-formed SVG" || fail "scalable icon is well-formed SVG"
appstreamcli validate --no-net "$root/usr/share/metainfo/net.brindlenet.Brindlenet.metainfo.xml" \
    >"$work/appstream.log" 2>&1 && pass "appstreamcli validate" ||
    { cat "$work/appstream.log"; fail "appstreamcli validate"; }

# Every installed program answers --help, without a display.
for program in brindlenet brindlenet-peer brindlenet-directory; do
    if env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/$program" --help >"$work/$program.help" 2>&1; then
        pass "$program --help"
    else
        fail "$program --help"
    fi
done
for command in serve search get send web-password; do
    "$root/usr/bin/brindlenet-peer" "$command" --help >>"$work/brindlenet-peer.help" 2>&1 ||
        fail "brindlenet-peer $command --help"
done

# The manual pages render without warnings and their OPTIONS section documents
# every option --help lists, so neither can drift from the program. An option
# only the page has is reported but does not fail.
options_in() { grep -oE -- '(^|[^A-Za-z0-9-])--[a-z][a-z0-9-]*' "$1" | sed 's/^[^-]*//' | sort -u; }
for page in man1/brindlenet.1 man1/brindlenet-peer.1 man8/brindlenet-directory.8; do
    file=$root/usr/share/man/$page.gz
    program=$(basename "$page" | sed 's/\.[0-9]$//')
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null || echo "man failed")
    [ -z "$warnings" ] && pass "man $page renders" || fail "man $page: $warnings"
    LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$file" 2>/dev/null | col -bx |
        awk '/^[A-Z]/ { inside = ($0 == "OPTIONS") } inside' >"$work/$program.man"
    options_in "$work/$program.help" >"$work/$program.help-options"
    options_in "$work/$program.man" >"$work/$program.man-options"
    missing=$(comm -23 "$work/$program.help-options" "$work/$program.man-options" | tr '\n' ' ')
    extra=$(comm -13 "$work/$program.help-options" "$work/$program.man-options" | tr '\n' ' ')
    [ -z "$missing" ] && pass "$page documents every option of --help" ||
        fail "$page lacks $missing"
    [ -z "$extra" ] || echo "note: $page documents $extra which --help does not list"
done

# systemd: the units verify against the installed tree. The system unit is
# checked in the throwaway root, beside a copy of this machine's units; the user
# manager cannot take another root, so the user unit is checked as a copy whose
# program paths point into it.
mkdir -p "$root/usr/lib/systemd/system" "$root/bin"
cp -rn /lib/systemd/system/. "$root/usr/lib/systemd/system/" 2>/dev/null || true
cp -n /bin/kill "$root/bin/kill"
if systemd-analyze verify --man=no --root="$root" \
    /usr/lib/systemd/system/brindlenet-directory.service >"$work/verify.log" 2>&1; then
    pass "systemd-analyze verify brindlenet-directory.service"
else
    cat "$work/verify.log"
    fail "systemd-analyze verify brindlenet-directory.service"
fi
mkdir -p "$work/user" "$work/runtime"
chmod 700 "$work/runtime"
sed "s|=/usr/bin/|=$root/usr/bin/|" "$root/usr/lib/systemd/user/brindlenet-peer.service" \
    >"$work/user/brindlenet-peer.service"
if XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user verify --man=no \
    "$work/user/brindlenet-peer.service" >"$work/verify-user.log" 2>&1; then
    pass "systemd-analyze --user verify brindlenet-peer.service"
else
    cat "$work/verify-user.log"
    fail "systemd-analyze --user verify brindlenet-peer.service"
fi
for unit in system/brindlenet-directory.service user/brindlenet-peer.service; do
    page=$(sed -n 's/^Documentation=man:\(.*\)(\([0-9]\))$/man\2\/\1.\2.gz/p' \
        "$root/usr/lib/systemd/$unit")
    [ -n "$page" ] && [ -f "$root/usr/share/man/$page" ] || fail "$unit: no manual page"
done

# The server unit's exposure as systemd-analyze scores it (0 best, 10 worst);
# the hardening must keep it at 2.0 or below.
score=$(systemd-analyze security --offline=true --no-pager \
    "$root/usr/lib/systemd/system/brindlenet-directory.service" 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p')
if [ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }'; then
    pass "systemd-analyze security: brindlenet-directory.service exposure $score"
else
    fail "systemd-analyze security: exposure '${score}' above 2.0"
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures package checks failed"
    exit 1
fi
echo "all package checks passed"
