#!/usr/bin/env bash
# Installs what is missing, builds Orvek (Release), installs it and starts it.
# Installing needs root (or sudo): it also gives the capture helper the cap_net_raw capability, so
# that capturing then works for an ordinary user. ORVEK_CAPTURE_GROUP=NAME lets only that group's
# members capture (the group is made when it is missing).
set -euo pipefail
cd "$(dirname "$0")/.."

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null; then
        as_root=(sudo)
    fi
fi

"${as_root[@]}" scripts/install-deps.sh run

capture_group=${ORVEK_CAPTURE_GROUP:-}
if [ -n "$capture_group" ] && ! getent group "$capture_group" >/dev/null; then
    "${as_root[@]}" groupadd --system "$capture_group"
    echo "Made the group $capture_group: add the users who may capture (usermod -aG $capture_group NAME)."
fi

# The group is given every time, so that an earlier run's does not linger in the cache.
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DORVEK_BUILD_TESTS=OFF \
    -DORVEK_CAPTURE_GROUP="$capture_group" >/dev/null
cmake --build build/release -j"$(nproc)"
# The cache holds the group; sudo would not pass the environment variable on anyway.
"${as_root[@]}" env -u ORVEK_CAPTURE_GROUP cmake --install build/release

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' build/release/CMakeCache.txt)
binary="$prefix/bin/orvek"

# The system service runs as a user of its own, without a login, that holds nothing but its state.
if ! getent passwd orvek >/dev/null; then
    "${as_root[@]}" useradd --system --user-group --no-create-home --home-dir /var/lib/orvek \
        --shell /usr/sbin/nologin orvek
fi
if [ -d /run/systemd/system ]; then
    "${as_root[@]}" systemctl daemon-reload
    "${as_root[@]}" systemctl enable --now orvekd.service
    "${as_root[@]}" systemctl restart orvekd.service # a new build's binary
else
    cat >&2 <<MESSAGE
systemd does not run here, so the system service orvekd was not started. Start it as root:
    $prefix/sbin/orvekd --state-dir /var/lib/orvek --socket /run/orvek/orvekd.sock &
(for everyone's Orvek to reach it, /run/orvek must exist).
MESSAGE
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<MESSAGE

Orvek is installed as $binary, but it is a desktop application and needs a graphical
session: neither DISPLAY nor WAYLAND_DISPLAY is set here. Run it from a terminal inside your
desktop session (or from the applications menu, "Orvek"):

    $binary

Without a desktop, "$binary --headless" (or orvek-headless) counts and prints the totals;
"man orvek" says more.

MESSAGE
    exit 1
fi
exec "$binary"
