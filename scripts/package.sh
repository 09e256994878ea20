#!/usr/bin/env bash
# Builds Orvek's Debian packages (orvek-headless for servers, orvek for the desktop) with the
# distribution's build flags and leaves them in dist/ (the last build alone); prints their paths,
# one a line, on standard output. Installs the packaging tools and build dependencies that are
# missing (as root).
# ORVEK_DEB_VERSION=V builds version V instead of debian/changelog's (a temporary changelog entry,
# as for a rebuild that must upgrade the one before).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then
    scripts/install-deps.sh package >&2
    if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
        DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq ./ >/dev/null
    fi
elif ! dpkg-checkbuilddeps; then
    echo "The build dependencies above are missing; run this as root to install them." >&2
    exit 1
fi

changelog_saved=
restore_changelog() {
    if [ -n "$changelog_saved" ]; then
        mv -f "$changelog_saved" debian/changelog
    fi
}
trap restore_changelog EXIT
if [ -n "${ORVEK_DEB_VERSION:-}" ]; then
    changelog_saved=$(mktemp)
    cp debian/changelog "$changelog_saved"
    {
        printf 'orvek (%s) unstable; urgency=medium\n\n  * Rebuild.\n\n' "$ORVEK_DEB_VERSION"
        printf ' -- %s  %s\n\n' "$(dpkg-parsechangelog -l "$changelog_saved" -S Maintainer)" \
            "$(date -R)"
        cat "$changelog_saved"
    } >debian/changelog
fi

# The same compiler cache as the other builds, when it is there: it only ever saves time (the
# flags are part of each entry's key, so nothing built with other flags is reused).
if command -v ccache >/dev/null && [ -d "${CCACHE_DIR:-/work/.ccache}" ] &&
    [ -w "${CCACHE_DIR:-/work/.ccache}" ]; then
    export CCACHE_DIR=${CCACHE_DIR:-/work/.ccache} CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
    export ORVEK_DEB_LAUNCHER=ccache
fi

# No test suite in a package build (it needs root and network namespaces; scripts/test.sh runs it)
# and no separate debug-symbol packages. The rest of the flags are dpkg-buildflags'.
export DEB_BUILD_OPTIONS="nocheck noautodbgsym ${DEB_BUILD_OPTIONS:-}"
log=$(mktemp)
if ! dpkg-buildpackage -b -us -uc -j"$(nproc)" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "dpkg-buildpackage failed; its whole output is in $log" >&2
    exit 1
fi
rm -f "$log"

# dpkg-buildpackage leaves its results beside the source tree: move this build's into dist/, which
# holds the last build alone (so that `apt install ./dist/orvek_*.deb` names one version).
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
mkdir -p dist
rm -f dist/orvek_*.deb dist/orvek-headless_*.deb dist/orvek_*.buildinfo dist/orvek_*.changes
for file in ../orvek_"${version}"_"${arch}".{buildinfo,changes} \
    ../orvek-headless_"${version}"_"${arch}".deb ../orvek_"${version}"_"${arch}".deb; do
    mv -f "$file" dist/
done
debian/rules clean >/dev/null 2>&1 || true
realpath dist/orvek-headless_"${version}"_"${arch}".deb dist/orvek_"${version}"_"${arch}".deb
