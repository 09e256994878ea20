#!/usr/bin/env bash
# The Debian packages as an administrator meets them: built by scripts/package.sh, checked by
# lintian, installed with apt-get, used by an ordinary user in a private network namespace, upgraded
# by a rebuild with a higher version (the service's usage file and plan kept, a capture group added)
# and purged (nothing of theirs left, no capability under /usr, a user's own usage file kept).
# Runs as root on a machine where Orvek's packages may be installed and purged. Also checks the
# Prometheus rules and the desktop metadata.
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ "$(id -u)" -ne 0 ]; then
    echo "The package test needs root (it installs and purges packages)." >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
scripts/install-deps.sh package

failures=0
check() { # check DESCRIPTION COMMAND...: runs the command, says ok or FAILED.
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what" >&2
        failures=$((failures + 1))
    fi
}

work=$(mktemp -d /tmp/orvek-pkgtest-XXXXXX)
ns_a=orvekpkg-a-$$
ns_b=orvekpkg-b-$$
group=orvekpkgcap
cleanup() {
    ip netns del "$ns_a" 2>/dev/null || true
    ip netns del "$ns_b" 2>/dev/null || true
    apt-get purge -y -qq orvek orvek-headless >/dev/null 2>&1 || true
    if getent group "$group" >/dev/null; then
        groupdel "$group"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
cleanup
mkdir -p "$work"
chmod 755 "$work"

echo "== Prometheus rules, desktop entry and AppStream metadata in the tree"
check "promtool check rules" promtool check rules monitoring/orvek-alerts.yml
check "promtool test rules" bash -c 'cd monitoring && promtool test rules orvek-alerts.test.yml'
check "the Grafana dashboard is JSON" python3 -m json.tool monitoring/grafana-dashboard.json \
    /dev/null

echo "== Building the packages"
mapfile -t debs < <(scripts/package.sh)
version=$(dpkg-deb -f "${debs[0]}" Version)
echo "built ${debs[*]}"
check "lintian: no error, no warning that is not overridden" \
    lintian --fail-on error,warning "${debs[@]}"
check "the server package needs no Qt" \
    bash -c "! dpkg-deb -f '${debs[0]}' Depends | grep -qi qt"

echo "== Installing"
apt-get install -y -qq "${debs[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
helper=/usr/libexec/orvek/orvek-capture
check "installed: $version" test "$(dpkg-query -W -f='${Version}' orvek)" = "$version"
check "the helper alone holds cap_net_raw" \
    test "$(getcap -r /usr 2>/dev/null | grep -v ^/usr/local/ | grep orvek)" = "$helper cap_net_raw=ep"
# The changelog's version is the program's (a rebuild may add to it).
check "the programs are version $version" test "$(orvek-headless --version)" = "orvek ${version%%[-+~]*}"
check "the service's system user" bash -c 'getent passwd orvek | grep -q ":/var/lib/orvek:"'
for program in orvek-headless orvek-report orvek-top; do
    check "$program links no Qt and no libpcap" \
        bash -c "! ldd /usr/bin/$program | grep -Eq 'libQt|libpcap'"
done
for page in orvek orvek-headless orvek-report orvek-top; do
    check "man page $page" gzip -t "/usr/share/man/man1/$page.1.gz"
done
if command -v man >/dev/null; then
    check "man finds orvek-top" man -w orvek-top
fi
units=(/lib/systemd/system/orvek-exporter.service)
if [ -e /lib/systemd/system/orvekd.service ]; then
    units+=(/lib/systemd/system/orvekd.service)
fi
check "systemd-analyze verify ${units[*]}" systemd-analyze verify "${units[@]}"
wants=/etc/systemd/system/multi-user.target.wants
check "the exporter is not enabled" test ! -e $wants/orvek-exporter.service
if [ -e /lib/systemd/system/orvekd.service ]; then
    check "the service is enabled" test -L $wants/orvekd.service
fi
check "desktop entry" desktop-file-validate /usr/share/applications/orvek.desktop
check "AppStream metadata" appstreamcli validate --no-net \
    /usr/share/metainfo/org.example.orvek.metainfo.xml
for size in 16x16 32x32 48x48; do
    check "icon $size" test -s /usr/share/icons/hicolor/$size/apps/orvek.png
done
check "scalable icon" test -s /usr/share/icons/hicolor/scalable/apps/orvek.svg
check "examples" test -s /usr/share/doc/orvek-headless/examples/orvek-alerts.yml

echo "== Counting as an ordinary user in a private network namespace"
ip netns add "$ns_a"
ip netns add "$ns_b"
ip link add pk0 netns "$ns_a" type veth peer name pk1 netns "$ns_b"
ip -n "$ns_a" addr add 10.88.0.1/24 dev pk0
ip -n "$ns_b" addr add 10.88.0.2/24 dev pk1
ip -n "$ns_a" link set pk0 up
ip -n "$ns_b" link set pk1 up

# count USER DATABASE [OPTIONS...]: runs the installed orvek-headless in the namespace as USER,
# sends it 50 datagrams of 1,000 network bytes and waits for exactly those 50,000 bytes on pk0.
count() {
    local user=$1 database=$2
    shift 2
    local out=$work/headless-$user.out
    ip netns exec "$ns_a" setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
        /usr/bin/orvek-headless --json --interval 0.1 --filter udp --database "$database" "$@" \
        >"$out" 2>"$work/headless-$user.err" &
    local pid=$! tries=0
    # The device is captured once a line says so.
    until grep -q '"name":"pk0","state":"capturing"' "$out" 2>/dev/null; do
        tries=$((tries + 1))
        if [ $tries -gt 300 ] || ! kill -0 $pid 2>/dev/null; then
            cat "$work/headless-$user.err" >&2
            kill $pid 2>/dev/null || true
            return 1
        fi
        sleep 0.1
    done
    ip netns exec "$ns_b" bash -c \
        'for i in $(seq 50); do printf "%972s" "" >/dev/udp/10.88.0.1/9000; done'
    tries=0
    until tail -n 1 "$out" | grep -q '"name":"pk0","state":"capturing","sent_bytes":0,"received_bytes":50000,'; do
        tries=$((tries + 1))
        if [ $tries -gt 300 ] || ! kill -0 $pid 2>/dev/null; then
            tail -n 1 "$out" >&2
            cat "$work/headless-$user.err" >&2
            kill $pid 2>/dev/null || true
            return 1
        fi
        sleep 0.1
    done
    kill -TERM $pid
    wait $pid
}
home=$work/home
mkdir -p "$home/.local/share/Orvek"
chown -R nobody: "$home"
check "nobody counts 50,000 bytes received with the installed programs" \
    count nobody "$home/.local/share/Orvek/usage.sqlite"
# The service's usage file and plan, as orvekd keeps them.
install -d -o orvek -g orvek /var/lib/orvek
check "the service's user records with a plan" \
    count orvek /var/lib/orvek/usage.sqlite --plan-cap 1GB
check "the report reads the user's file" bash -c \
    "orvek-report --database '$home/.local/share/Orvek/usage.sqlite' --json | grep -q 50000"
# The plan's cycle and the days' bytes, without what moves with the time the report is made.
cycle_report() {
    orvek-report --database /var/lib/orvek/usage.sqlite --cycle --json |
        sed -E 's/"(generated|recorded_seconds|elapsed_seconds)":("[^"]*"|[0-9]+),?//g'
}
report_before=$(cycle_report)
state_before=$(sha256sum /var/lib/orvek/usage.sqlite)
check "the service's file has the plan" grep -q '"cap_bytes":1000000000,' <<<"$report_before"

echo "== Upgrading to a rebuild with a higher version, with a capture group"
mapfile -t debs2 < <(ORVEK_DEB_VERSION="$version+pkgtest1" scripts/package.sh)
ORVEK_CAPTURE_GROUP=$group apt-get install -y -qq "${debs2[@]}" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; exit 1; }
check "upgraded to $version+pkgtest1" \
    test "$(dpkg-query -W -f='${Version}' orvek-headless)" = "$version+pkgtest1"
check "the service's usage file is kept" \
    test "$(sha256sum /var/lib/orvek/usage.sqlite)" = "$state_before"
check "its plan and history read the same" test "$(cycle_report)" = "$report_before"
check "the helper belongs to the capture group" test "$(stat -c '%U:%G %a' $helper)" = "root:$group 750"
check "the helper keeps cap_net_raw" test "$(getcap $helper)" = "$helper cap_net_raw=ep"
check "the service's user is in the capture group" bash -c "id -nG orvek | grep -qw $group"
check "the exporter runs in the capture group" grep -q "SupplementaryGroups=$group" \
    /etc/systemd/system/orvek-exporter.service.d/orvek-capture-group.conf

echo "== Purging"
files=$(for deb in "${debs2[@]}"; do dpkg-deb -c "$deb"; done | awk '$1 !~ /^d/ {print substr($6, 2)}')
apt-get purge -y -qq orvek orvek-headless >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
left=$(for file in $files; do [ -e "$file" ] || [ -L "$file" ] && echo "$file"; done || true)
check "no file of the packages is left" test -z "$left"
# (An install from source by scripts/run.sh, in /usr/local, is not the packages'.)
check "getcap -r /usr lists nothing of Orvek" \
    bash -c "! getcap -r /usr 2>/dev/null | grep -v ^/usr/local/ | grep -i orvek"
check "no folder of theirs is left" bash -c \
    '! ls -d /usr/libexec/orvek /usr/share/doc/orvek /usr/share/doc/orvek-headless 2>/dev/null'
check "the service's state is gone" test ! -e /var/lib/orvek -a ! -e /var/lib/orvek-headless
check "the user, the capture group and the stat override are gone" bash -c \
    "! getent passwd orvek && ! getent group $group && ! dpkg-statoverride --list $helper"
check "no unit is left enabled" bash -c "! ls $wants 2>/dev/null | grep -q orvek"
check "the exporter's drop-in is gone" test ! -e /etc/systemd/system/orvek-exporter.service.d
check "a user's own usage file stays" test -s "$home/.local/share/Orvek/usage.sqlite"
[ -z "$left" ] || echo "left: $left" >&2

if [ "$failures" -ne 0 ]; then
    echo "package test: $failures failed" >&2
    exit 1
fi
echo "package test: passed"
