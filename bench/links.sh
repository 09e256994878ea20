# Sourced by live.sh and rings.sh: two network namespaces of their own, a generator's and a
# meter's, joined by veth pairs vgN / vmN on 10.231.N.0/24 with fixed MACs, static neighbours and
# IPv6 and multicast off, so that the links carry only the generator's frames; the namespaces go,
# with whatever runs in them, when the script exits. make_links COUNT builds them.
gen_ns=orvek-bench-gen-$$
meter_ns=orvek-bench-meter-$$

cleanup_links() {
    local pid
    for pid in $(ip netns pids "$meter_ns" 2>/dev/null) $(ip netns pids "$gen_ns" 2>/dev/null); do
        kill "$pid" 2>/dev/null || true
    done
    ip netns del "$gen_ns" 2>/dev/null || true
    ip netns del "$meter_ns" 2>/dev/null || true
}
trap cleanup_links EXIT

# An awk function for the summaries: median(list), the median of space-separated numbers.
awk_median='
function median(list,    v, m, i, j, t) {
    m = split(list, v, " ")
    for (i = 2; i <= m; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return m % 2 ? v[(m + 1) / 2] : (v[m / 2] + v[m / 2 + 1]) / 2
}'

in_gen() { ip netns exec "$gen_ns" "$@"; }
in_meter() { ip netns exec "$meter_ns" "$@"; }

make_links() {
    local ns i
    ip netns add "$gen_ns"
    ip netns add "$meter_ns"
    for ns in "$gen_ns" "$meter_ns"; do
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
            net.ipv6.conf.default.disable_ipv6=1
        ip -n "$ns" link set lo up
    done
    for i in $(seq 0 $(($1 - 1))); do
        ip -n "$gen_ns" link add "vg$i" address "02:00:00:be:0c:0$i" type veth \
            peer name "vm$i" address "02:00:00:be:0d:0$i" netns "$meter_ns"
        ip -n "$gen_ns" link set "vg$i" multicast off up
        ip -n "$meter_ns" link set "vm$i" multicast off up
        ip -n "$gen_ns" addr add "10.231.$i.1/24" dev "vg$i"
        ip -n "$meter_ns" addr add "10.231.$i.2/24" dev "vm$i"
        ip -n "$gen_ns" neigh replace "10.231.$i.2" lladdr "02:00:00:be:0d:0$i" dev "vg$i" nud permanent
        ip -n "$meter_ns" neigh replace "10.231.$i.1" lladdr "02:00:00:be:0c:0$i" dev "vm$i" nud permanent
    done
}

# "rx_bytes rx_packets" of a device in the meter's namespace.
offered() { in_meter cat /proc/net/dev | sed 's/:/ /' | awk -v d="$1" '$1 == d { print $2, $3 }'; }

# Waits until a file holds a line matching a pattern.
wait_for() {
    local n
    for n in $(seq 200); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "timed out waiting for '$2' in $1" >&2
    cat "$1" >&2
    return 1
}

# Waits until a device's receive counters stop moving: everything offered has arrived.
settle() {
    local last="" now
    now=$(offered "$1")
    until [ "$now" = "$last" ]; do
        last=$now
        sleep 0.1
        now=$(offered "$1")
    done
}

# On-CPU seconds of a single-threaded process, to the nanosecond.
cpu_of() { awk '{ printf "%.6f", $1 / 1e9 }' "/proc/$1/schedstat"; }
