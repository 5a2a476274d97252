#!/usr/bin/env bash
# Installs the Debian packages Brindlenet builds with. Costs a few seconds when all is present.
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config clang
    libgtest-dev libgmock-dev libbenchmark-dev
    libmicrohttpd-dev libsqlite3-dev libsodium-dev
    qt6-base-dev qt6-base-dev-tools libgl-dev xvfb xauth
    iproute2 desktop-file-utils libclang-rt-14-dev
    postgresql postgresql-contrib libpq-dev nginx
    libgnutls28-dev gnutls-bin tcpdump libcli11-dev clang-tidy
    dpkg-dev file lintian appstream libxml2-utils man-db groff-base bsdextrautils procps systemd
    nlohmann-json3-dev chromium chromium-driver python3-selenium
    libnatpmp-dev libminiupnpc-dev
    miniupnpd-nftables miniupnpc coturn nftables
)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    # Installing a server package must not start it: the tests start their own
    # PostgreSQL and nginx, and nothing else should be left listening.
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
        $SUDO chmod 755 "$policy"
        trap '$SUDO rm -f "$policy"' EXIT
    fi
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
    # Nor may it start at boot: the tests run their own STUN server.
    for p in "${missing[@]}"; do
        if [ "$p" = coturn ] && command -v systemctl >/dev/null; then
            $SUDO systemctl disable --quiet coturn 2>/dev/null || true
        fi
    done
fi
