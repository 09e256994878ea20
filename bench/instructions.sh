#!/usr/bin/env bash
# Instructions per packet of the meter's per-packet path, counted by callgrind: the same for the
# same binary whatever else the machine does, where timings on a shared virtual machine vary by
# tens of per cent. Runs the per-packet benchmark once per frame kind and divides the instructions
# spent in the device's AnalyzePacket and ParseLinkHeader (each with what they call) by the calls.
# Usage: bench/instructions.sh BUILD_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)/bench/orvek_bench_perpacket
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# inclusive FUNCTION: the instructions spent in a function and what it calls.
inclusive() {
    callgrind_annotate --threshold=100 --inclusive=yes "$out" 2>/dev/null | grep -F "$1" | head -n1 | awk '{ gsub(",", "", $1); print $1 }'
}

printf '%-28s %10s %12s\n' frame AnalyzePacket ParseLinkHeader
for kind in 0:"IPv4 received" 1:"IPv4 sent" 2:"IPv6 received" 3:"IPv6 sent" 4:"802.1Q IPv4 received" 5:"IPv4, 64 flows in turn"; do
    valgrind --tool=callgrind --callgrind-out-file="$out" "$bin" \
        --benchmark_filter="BM_PerPacket/frame:${kind%%:*}/real_time/threads:1\$" \
        --benchmark_min_time=0.05 >/dev/null 2>&1
    calls=$(callgrind_annotate --threshold=100 --tree=calling "$out" 2>/dev/null |
        sed -n 's/.*> .*CDeviceCounter::AnalyzePacket(PacketInfo\*) (\([0-9,]*\)x).*/\1/p' | head -n1 | tr -d ,)
    if [ -z "$calls" ]; then
        echo "instructions.sh: the profile names no AnalyzePacket; was it renamed?" >&2
        exit 1
    fi
    analyze=$(inclusive 'CDeviceCounter::AnalyzePacket(PacketInfo*) [')
    parse=$(inclusive 'ParseLinkHeader(int, unsigned char const*, unsigned int) [')
    awk -v k="${kind#*:}" -v a="$analyze" -v p="${parse:-0}" -v c="$calls" \
        'BEGIN { printf "%-28s %10.1f %12.1f\n", k, a / c, p / c }'
done
