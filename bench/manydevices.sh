#!/usr/bin/env bash
# Many devices: a network namespace of its own with loopback and 20 veth pairs whose both ends
# stay in it (one end with an IPv4 address, the other with only its IPv6 link-local address):
# 41 devices, 40 of them captured (loopback is not). Runs orvek_bench_manydevices there. Needs root.
#
# Usage: bench/manydevices.sh BUILD_DIR   Environment: ORVEK_MANY_PAIRS (20), ORVEK_MANY_ARGS
#   (the program's arguments, default "3 5": cycles and idle seconds).
set -euo pipefail

bin=$(cd "$1" && pwd)/bench
pairs=${ORVEK_MANY_PAIRS:-20}
read -r -a args <<<"${ORVEK_MANY_ARGS:-3 5}"
ns=orvek-many-$$

cleanup() { ip netns del "$ns" 2>/dev/null || true; }
trap cleanup EXIT

ip netns add "$ns"
ip -n "$ns" link set lo up
for i in $(seq 0 $((pairs - 1))); do
    ip -n "$ns" link add "mda$i" type veth peer name "mdb$i"
    ip netns exec "$ns" sysctl -qw "net.ipv6.conf.mda$i.disable_ipv6=1"
    ip -n "$ns" addr add "10.232.$i.1/24" dev "mda$i"
    ip -n "$ns" link set "mda$i" up
    ip -n "$ns" link set "mdb$i" up
done
# Ready when every mdb end has its link-local address and duplicate detection is over, so that no
# address news reaches the meter's monitor during the measurement.
for n in $(seq 100); do
    linklocal=$(ip -n "$ns" -6 addr show scope link | grep -c 'inet6 fe80' || true)
    tentative=$(ip -n "$ns" -6 addr show tentative | grep -c inet6 || true)
    [ "$linklocal" -ge "$pairs" ] && [ "$tentative" -eq 0 ] && break
    sleep 0.1
done
echo "namespace $ns: $(ip -n "$ns" -o link show | wc -l) devices, $linklocal IPv6 link-local" \
    "($tentative tentative), $(ip -n "$ns" -4 -o addr show | wc -l) IPv4 addresses; load: $(cut -d' ' -f1-3 /proc/loadavg)"
ip netns exec "$ns" "$bin/orvek_bench_manydevices" "${args[@]}"
