#!/usr/bin/env bash
# The system service on one host. (a) orvekd alone, then orvekd with its clients: a window-like
# client (orvek-headless printing a JSON line ten times a second, the window's counters' pace),
# `orvek top` (in a detached tmux), `orvek report` on the service's file once a second, and the
# exporter (orvek-headless --metrics, scraped once a second), each asking for the service's pushes
# at its own pace (the window-like client ten a second, `orvek top` and the exporter one); each time
# the generator sends COUNT frames of 512 bytes at RATE a second into the meter's namespace.
# Measured: the packet sockets of every process there (/proc/net/packet against each one's
# descriptors; they must be the service's, one per captured device) and the CPU seconds of the
# service and of the clients over the traffic. orvekd on core 1, the generator on core 0, the
# clients where the scheduler puts them. (b) From the service's start to the first byte in its usage
# file, the network up, no client, traffic already flowing (1 000 frames a second).
#
# Needs root. Usage: bench/service.sh BUILD_DIR
# Environment: ORVEK_SERVICE_RATE (300000), ORVEK_SERVICE_SECONDS (6), ORVEK_BENCH_REPEAT (3);
# ORVEK_SERVICE_ALONE=1 measures the service alone, no client and no (b);
# ORVEK_GENERATOR_PROTOCOL=1 sends the frames as ICMP (the generator's).
set -euo pipefail

build=$(cd "$1" && pwd)
bin=$build/bin
generator=$build/bench/orvek_bench_generator
rate=${ORVEK_SERVICE_RATE:-300000}
seconds=${ORVEK_SERVICE_SECONDS:-6}
repeat=${ORVEK_BENCH_REPEAT:-3}
count=$((rate * seconds))
size=512
dir=$(mktemp -d)
socket=$dir/orvekd.sock
tmux_server=orvek-bench-service-$$

source "$(dirname "$0")/links.sh"
cleanup_service() {
    tmux -L "$tmux_server" kill-server 2>/dev/null || true
    cleanup_links
    rm -rf "$dir"
}
trap cleanup_service EXIT
make_links 1
# The generator's frames go to 10.231.0.99: the meter's host, so that the service counts them.
ip -n "$meter_ns" addr add 10.231.0.99/32 dev vm0
export ORVEK_SOCKET=$socket

# On-CPU seconds of every thread of a process so far, to the nanosecond (threads that ended are
# not in it: none of these programs ends a thread while traffic runs).
cpu_s() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.4f", s / 1e9 }'; }

# Every process in the meter's namespace with the packet sockets it holds: "name:count ...".
packet_sockets() {
    local inodes pid n
    inodes=$(in_meter awk 'NR > 1 { print $9 }' /proc/net/packet | sort -u)
    for pid in $(ip netns pids "$meter_ns"); do
        n=0
        for fd in /proc/"$pid"/fd/*; do
            local target
            target=$(readlink "$fd" 2>/dev/null) || continue
            [[ $target == socket:\[*\] ]] || continue
            grep -qx "${target//[^0-9]/}" <<<"$inodes" && n=$((n + 1))
        done
        [ -e /proc/"$pid"/comm ] && printf '%s:%d ' "$(cat /proc/"$pid"/comm)" "$n"
    done
    echo "(in all $(echo "$inodes" | grep -c .))"
}

start_service() {
    rm -rf "$dir/state"
    ip netns exec "$meter_ns" taskset -c 1 "$bin/orvekd" --state-dir "$dir/state" \
        --socket "$socket" 2>"$dir/orvekd.err" &
    service_pid=$!
    wait_for "$dir/orvekd.err" counting
}

stop_service() {
    kill "$service_pid"
    wait "$service_pid" || true
}

client_pids=()
start_clients() {
    client_pids=()
    ip netns exec "$meter_ns" "$bin/orvek-headless" --json --interval 0.1 >"$dir/window.out" 2>&1 &
    client_pids+=($!)
    ip netns exec "$meter_ns" "$bin/orvek-headless" --metrics 127.0.0.1:9465 --interval 0 \
        >"$dir/exporter.out" 2>&1 &
    client_pids+=($!)
    tmux -L "$tmux_server" new-session -d -x 120 -y 40 \
        "ip netns exec $meter_ns env ORVEK_SOCKET=$socket $bin/orvek-top"
    sleep 1
    client_pids+=($(pgrep -f "^$bin/orvek-top" | head -1))
    # The report and the scrapes, once a second while the clients run.
    (
        while :; do
            "$bin/orvek-report" --database "$dir/state/usage.sqlite" >/dev/null 2>&1 || true
            in_meter curl -sf http://127.0.0.1:9465/metrics >/dev/null || true
            sleep 1
        done
    ) &
    poller_pid=$!
    wait_for "$dir/window.out" sent_bytes
}

stop_clients() {
    kill "$poller_pid" 2>/dev/null || true
    wait "$poller_pid" 2>/dev/null || true
    tmux -L "$tmux_server" kill-server 2>/dev/null || true
    kill "${client_pids[@]}" 2>/dev/null || true
    wait "${client_pids[@]}" 2>/dev/null || true
    client_pids=()
}

# The traffic; prints "service_cpu clients_cpu sent_by_generator".
traffic() {
    local s0 c0=0 c1=0 pid
    declare -A before
    s0=$(cpu_s "$service_pid")
    for pid in "${client_pids[@]}"; do
        before[$pid]=$(cpu_s "$pid")
        c0=$(awk -v a="$c0" -v b="${before[$pid]}" 'BEGIN { print a + b }')
    done
    in_gen taskset -c 0 "$generator" vg0 02:00:00:be:0d:00 "$size" "$count" "$rate" >"$dir/gen.out"
    settle vm0
    sleep 0.2
    for pid in "${client_pids[@]}"; do
        c1=$(awk -v a="$c1" -v b="$(cpu_s "$pid")" 'BEGIN { print a + b }')
        awk -v n="$(cat /proc/"$pid"/comm)" -v a="${before[$pid]}" -v b="$(cpu_s "$pid")" \
            'BEGIN { printf "%s %.4f s\n", n, b - a }' >>"$dir/clients.txt"
    done
    awk -v s0="$s0" -v s1="$(cpu_s "$service_pid")" -v c0="$c0" -v c1="$c1" \
        'BEGIN { printf "%.4f %.4f", s1 - s0, c1 - c0 }'
    echo " $(tr -d '\n' <"$dir/gen.out" | tr ' ' ',')"
}

echo "== (a) one capture, and CPU with clients against the service alone: $count frames of $size bytes at $rate/s =="
printf 'rep\tcase\tservice_cpu_s\tclients_cpu_s\tgenerator\tcounted_by_a_client\n' |
    tee "$dir/service.tsv"
: >"$dir/clients.txt"
for rep in $(seq "$repeat"); do
    start_service
    read -r s c g <<<"$(traffic)"
    printf '%s\talone\t%s\t%s\t%s\n' "$rep" "$s" "$c" "$g" | tee -a "$dir/service.tsv"
    if [ "${ORVEK_SERVICE_ALONE:-0}" = 1 ]; then
        stop_service
        continue
    fi
    start_clients
    [ "$rep" = 1 ] && echo "packet sockets: $(packet_sockets)"
    read -r s c g <<<"$(traffic)"
    sleep 0.3
    counted=$(tail -n 1 "$dir/window.out" | grep -o '"received_bytes":[0-9]*' | head -1 | cut -d: -f2)
    printf '%s\tclients\t%s\t%s\t%s\t%s of %s\n' "$rep" "$s" "$c" "$g" "$counted" \
        "$((count * (size - 14)))" | tee -a "$dir/service.tsv"
    stop_clients
    stop_service
done
awk -F'\t' -v n="$count" "$awk_median"'
NR == 1 { next }
{ s[$2] = s[$2] " " $3; c[$2] = c[$2] " " $4 }
END {
    a = median(s["alone"]); w = median(s["clients"]); k = median(c["clients"])
    printf "median CPU s: service alone %.2f; with clients: service %.2f, clients %.2f, all %.2f\n", a, w, k, w + k
    printf "ratio to the service alone: service %.3f, service and clients %.3f\n", w / a, (w + k) / a
    printf "per packet: service alone %.1f ns, service with clients %.1f ns, all %.1f ns\n", a / n * 1e9, w / n * 1e9, (w + k) / n * 1e9
}' "$dir/service.tsv"
echo "each client's CPU over the traffic, every run:"
sort "$dir/clients.txt" | awk '{ c[$1] = c[$1] " " $2 } END { for (k in c) print "  " k ":" c[k] }'

[ "${ORVEK_SERVICE_ALONE:-0}" = 1 ] && exit 0
echo
echo "== (b) from the start to the first recorded byte (network up, no client, 1 000 frames/s) =="
for rep in $(seq "$repeat"); do
    ip netns exec "$gen_ns" "$generator" vg0 02:00:00:be:0d:00 "$size" 30000 1000 >/dev/null &
    gen_pid=$!
    sleep 0.5
    rm -rf "$dir/state"
    t0=$(date +%s.%N)
    ip netns exec "$meter_ns" "$bin/orvekd" --state-dir "$dir/state" --socket "$socket" \
        2>"$dir/orvekd.err" &
    service_pid=$!
    for n in $(seq 1500); do
        bytes=$(sqlite3 "file:$dir/state/usage.sqlite?mode=ro" \
            'SELECT coalesce(sum(sent + received), 0) FROM usage' 2>/dev/null || true)
        [ "${bytes:-0}" -gt 0 ] && break
        sleep 0.02
    done
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" -v r="$rep" 'BEGIN { printf "run %d: first recorded byte after %.2f s\n", r, b - a }'
    stop_service
    kill "$gen_pid" 2>/dev/null || true
    wait "$gen_pid" 2>/dev/null || true
done
