#!/usr/bin/env bash
# Installs the Debian packages that building, testing or running Orvek needs and that are missing.
# Usage: scripts/install-deps.sh [run|test|bench|package]
set -euo pipefail

purpose=${1:-test}
packages=(build-essential cmake pkg-config libpcap-dev libcap-dev qt6-base-dev libxcb1-dev
    libsqlite3-dev libmicrohttpd-dev libcap2-bin nlohmann-json3-dev libcli11-dev
    iproute2 libncurses-dev clang bpftool libbpf-dev)
# clang compiles the in-kernel flow owners (kernel/) for the BPF target, bpftool embeds them in a
# skeleton header and libbpf-dev loads them.
case "$purpose" in
run) packages+=(xdg-utils qt6-wayland man-db) ;;
test) packages+=(libgtest-dev libcpp-httplib-dev libclang-rt-14-dev iputils-ping procps nftables
    prometheus locales groff-base man-db dbus-daemon xvfb python3 ethtool faketime tmux) ;;
bench) packages+=(libgtest-dev libbenchmark-dev tcpdump linux-perf xvfb xdotool valgrind trayer
    imagemagick) ;;
# Building the Debian packages (scripts/package.sh) and their test: debhelper and dpkg-dev build
# them, lintian, desktop-file-validate, appstreamcli and promtool check them, setpriv, getcap and
# systemd-analyze check the installed packages.
package) packages+=(debhelper dpkg-dev lintian desktop-file-utils appstream prometheus util-linux
    libcap2-bin systemd adduser) ;;
*) echo "usage: $0 [run|test|bench|package]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "Orvek needs these Debian packages: ${missing[*]}; run this as root to install them." >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
