#!/usr/bin/env bash
# Many devices: a network namespace of its own with loopback and 20 veth pairs whose both ends
# stay in it (one end with an IPv4 address, the other with only its IPv6 link-local address):
# 41 capturable devices. Runs orvek_bench_manydevices there, once per variant. Needs root.
#
# Usage: bench/manydevices.sh BUILD_DIR [VARIANT...]
#   VARIANT: "base" (orvek_bench_manydevices, the library's own constants, models with snapshot
#            65535 and 8 MiB) or sSNAP_bBYTES (orvek_bench_manydevices_sSNAP_bBYTES, built with
#            ORVEK_BENCH_VARIANTS, models with the same constants).
# Environment: ORVEK_MANY_PAIRS (20), ORVEK_MANY_ARGS (extra arguments, default "-c 3 -i 5"),
#   ORVEK_MANY_WRAP (a command put in front of the program, e.g. "strace -f -c -o FILE").
set -euo pipefail

bin=$(cd "$1" && pwd)/bench
shift
variants=("$@")
[ ${#variants[@]} -gt 0 ] || variants=(base)
pairs=${ORVEK_MANY_PAIRS:-20}
read -r -a args <<<"${ORVEK_MANY_ARGS:--c 3 -i 5}"
read -r -a wrap <<<"${ORVEK_MANY_WRAP:-}"
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
echo "namespace $ns: $(ip -n "$ns" -o link show up | wc -l) devices up, $linklocal IPv6 link-local" \
    "($tentative tentative), $(ip -n "$ns" -4 -o addr show | wc -l) IPv4 addresses; load: $(cut -d' ' -f1-3 /proc/loadavg)"

for variant in "${variants[@]}"; do
    if [ "$variant" = base ]; then
        program=$bin/orvek_bench_manydevices
        model=(-s 65535 -B 8388608)
    else
        program=$bin/orvek_bench_manydevices_$variant
        snap=${variant#s}
        snap=${snap%%_*}
        model=(-s "$snap" -B "${variant##*_b}")
    fi
    echo "== $variant: $(basename "$program") ${args[*]} ${model[*]}; load: $(cut -d' ' -f1-3 /proc/loadavg) =="
    ip netns exec "$ns" "${wrap[@]}" "$program" "${args[@]}" "${model[@]}"
done
