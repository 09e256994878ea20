#!/usr/bin/env bash
# The exporter and the long run: a network namespace of its own with loopback and 20 veth pairs
# (40 captured devices, as bench/manydevices.sh makes them), `orvek-headless --metrics` in it,
# then orvek_bench_exporter's hostile and heavy clients (against orvek-headless, which serves
# HTTP), then 1 000 distinct address changes on a device that holds 3 000 addresses, with the
# resident memory of the capture helper (which keeps the address tables) before and after. Needs
# root.
#
# Usage: bench/exporter.sh BUILD_DIR   Environment: ORVEK_EXPORTER_CHANGES (1000).
set -euo pipefail

build=$(cd "$1" && pwd)
changes=${ORVEK_EXPORTER_CHANGES:-1000}
ns=orvek-exporter-$$
port=9747

cleanup() {
    local pid
    for pid in $(ip netns pids "$ns" 2>/dev/null); do
        kill "$pid" 2>/dev/null || true
    done
    ip netns del "$ns" 2>/dev/null || true
}
trap cleanup EXIT

ip netns add "$ns"
ip -n "$ns" link set lo up
for i in $(seq 0 19); do
    ip -n "$ns" link add "mda$i" type veth peer name "mdb$i"
    ip netns exec "$ns" sysctl -qw "net.ipv6.conf.mda$i.disable_ipv6=1"
    ip -n "$ns" addr add "10.232.$i.1/24" dev "mda$i"
    ip -n "$ns" link set "mda$i" up
    ip -n "$ns" link set "mdb$i" up
done
sleep 3 # duplicate address detection of the link-local addresses

rss() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

ip netns exec "$ns" "$build/bin/orvek-headless" --interval 0 --metrics "127.0.0.1:$port" &
pid=$!
for _ in $(seq 100); do
    ip netns exec "$ns" bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null && break
    sleep 0.1
done
helper=$(pgrep -P "$pid")
echo "orvek-headless $pid (VmRSS $(rss "$pid") KiB) and its capture helper $helper (VmRSS" \
    "$(rss "$helper") KiB) on 40 devices; load: $(cut -d' ' -f1-3 /proc/loadavg)"
ip netns exec "$ns" "$build/bench/orvek_bench_exporter" "$pid" "$port"

# 3 000 addresses on one device (a Kubernetes node's service device holds one per service), then
# distinct changes, each given time to be listed: every one is a new table of the host's addresses.
for i in $(seq 0 2999); do
    echo "addr add 10.233.$((i / 250)).$((i % 250 + 1))/32 dev mda0"
done | ip -n "$ns" -batch -
sleep 2
before=$(rss "$helper")
start=$(date +%s.%N)
for i in $(seq 1 "$changes"); do
    ip -n "$ns" addr add "10.234.$((i / 250)).$((i % 250 + 1))/32" dev mda0
    sleep 0.04
done
sleep 1
echo "$changes address changes on a device with 3000 addresses in" \
    "$(echo "$(date +%s.%N) - $start" | bc) s: the helper's VmRSS $before KiB before," \
    "$(rss "$helper") KiB after, VmHWM $(awk '/^VmHWM:/ {print $2}' "/proc/$helper/status") KiB"
kill -TERM "$pid"
wait "$pid" || true
