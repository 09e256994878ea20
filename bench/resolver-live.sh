#!/bin/bash
# The real meter's resolver at many new connections a second: orvek-headless runs as root in a
# network namespace of its own, its capture helper capturing a veth device there, while
# orvek_bench_connections makes RATE short TCP connections a second (default 10 000, for SECONDS,
# default 20) from that namespace to a listener in the veth peer's, from a control group of its
# own (orvek-bench-gen, named by its group).
# Reads the helper's resolver thread (orvek-resolver) CPU from /proc/PID/task/TID/stat over the
# generator's run, as a share of one core: first with the in-kernel flow owners (the helper loads
# them as root), then without (the same root helper with CAP_BPF, CAP_NET_ADMIN and CAP_SYS_ADMIN
# out of its bounding set, so the kernel refuses them and the socket diagnostics answer alone).
# As root, after a build of build/test (orvek-headless, orvek-capture) with
# -DORVEK_BUILD_BENCH=ON (orvek_bench_connections). Usage: bench/resolver-live.sh [RATE [SECONDS]]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${ORVEK_BENCH_BUILD:-build/test}
RATE=${1:-10000}
SECONDS_RUN=${2:-20}
NS=orvek-bench-res
PEER=orvek-bench-rpeer
CGROUP_ROOT=/sys/fs/cgroup
[ -e $CGROUP_ROOT/cgroup.procs ] || CGROUP_ROOT=/sys/fs/cgroup/unified
GROUP=$CGROUP_ROOT/orvek-bench-gen
TICK=$(getconf CLK_TCK)
HEADLESS_PID=
cleanup() {
    [ -n "$HEADLESS_PID" ] && kill "$HEADLESS_PID" 2>/dev/null && wait "$HEADLESS_PID" || true
    ip netns del $NS 2>/dev/null || true
    ip netns del $PEER 2>/dev/null || true
    rmdir $GROUP 2>/dev/null || true
}
trap cleanup EXIT
ip netns add $NS
ip netns add $PEER
ip -n $NS link add rb0 type veth peer name rb1 netns $PEER
ip -n $NS addr add 10.82.0.1/24 dev rb0
ip -n $PEER addr add 10.82.0.2/24 dev rb1
ip -n $NS link set rb0 up
ip -n $PEER link set rb1 up
ip -n $NS link set lo up
mkdir -p $GROUP

# The resolver thread's user and system ticks.
resolver_ticks() {
    local tid
    for tid in /proc/"$1"/task/*; do
        if [ "$(cat "$tid/comm")" = orvek-resolver ]; then
            awk '{ print $14 + $15 }' "$tid/stat"
            return
        fi
    done
    echo "no resolver thread in $1" >&2
    exit 1
}

measure() { # label, then the command that runs orvek-headless
    local label=$1
    shift
    "$@" --json --interval 1 --per-app=3 >/tmp/orvek-bench-res.out 2>/tmp/orvek-bench-res.err &
    HEADLESS_PID=$!
    local helper=
    for _ in $(seq 100); do
        helper=$(pgrep -P $HEADLESS_PID orvek-capture || true)
        if [ -n "$helper" ] && grep -qx orvek-resolver /proc/"$helper"/task/*/comm 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    local before after generated
    before=$(resolver_ticks "$helper")
    generated=$(sh -c "echo \$\$ > $GROUP/cgroup.procs && exec nsenter --net=/run/netns/$NS \
        $BUILD/bench/orvek_bench_connections $RATE $SECONDS_RUN /run/netns/$PEER 10.82.0.2")
    after=$(resolver_ticks "$helper")
    kill -INT $HEADLESS_PID
    wait $HEADLESS_PID || true
    HEADLESS_PID=
    # Root's helper says nothing when it loaded the in-kernel flow owners.
    echo "$label: stderr: $(head -1 /tmp/orvek-bench-res.err)"
    echo "$label: rows: $(tail -1 /tmp/orvek-bench-res.out | python3 -c '
import json, sys
line = json.loads(sys.stdin.read())
print("; ".join("%s %d bytes" % (a["name"], a["sent_bytes"] + a["received_bytes"])
                for a in line.get("apps", [])))')"
    echo "$label: $generated"
    awk -v t=$((after - before)) -v hz="$TICK" -v s="$SECONDS_RUN" -v l="$label" \
        'BEGIN { printf "%s: resolver thread %.2f s CPU = %.2f %% of a core\n", l, t / hz, 100 * t / hz / s }'
}

measure "in the kernel" nsenter --net=/run/netns/$NS "$BUILD/bin/orvek-headless"
measure "socket diagnostics" nsenter --net=/run/netns/$NS setpriv --bounding-set=-bpf,-net_admin,-sys_admin \
    -- "$BUILD/bin/orvek-headless"
