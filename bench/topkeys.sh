#!/usr/bin/env bash
# orvek top's answer to a key under traffic: the time from a key sent to the terminal to the
# first look at the screen that shows what the key did. `orvek-top` (100x30, a detached tmux of
# the script's own) counts the meter's namespace while the generator sends frames of 512 bytes
# paced at 300 000 a second (core 0) to an address the meter holds. Two ways: through a capture
# helper of its own (ORVEK_SOCKET=none), and through the system service (orvekd on core 1).
# While the traffic flows, KEYS view switches (a, c, d in turn, each changing the header's
# "View: ..." line at once), 0.1-0.4 s apart so that they fall anywhere in the one-second sample
# interval; each is timed from just before `tmux send-keys` to the end of the first
# `tmux capture-pane` that shows the new view, the screen read every 2 ms (plus a capture's own
# time). The tmux round trip alone (a send-keys and a capture-pane that changes nothing) is
# measured too: it is in every figure. Also the offered rate while the keys ran, what the view
# showed for it, the processors' busy share, the load average and the CPU of orvek-top and of
# whatever captured for it.
#
# Needs root and tmux. Usage: bench/topkeys.sh [BUILD_DIR]   (default build/bench; builds what it
# runs, Release, as scripts/bench.sh configures it)
# Environment: ORVEK_TOPKEYS_KEYS (50), ORVEK_TOPKEYS_RATE (300000), ORVEK_TOPKEYS_WAYS
# ("helper service").
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
keys=${ORVEK_TOPKEYS_KEYS:-50}
rate=${ORVEK_TOPKEYS_RATE:-300000}
ways=${ORVEK_TOPKEYS_WAYS:-helper service}
size=512

echo "== build (Release) in $build =="
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DORVEK_BUILD_BENCH=ON -DORVEK_BUILD_GUI=ON \
    -DORVEK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target orvek-top orvek-capture orvekd orvek_bench_generator \
    >/dev/null
build=$(cd "$build" && pwd)
bin=$build/bin
generator=$build/bench/orvek_bench_generator
dir=$(mktemp -d)
socket=$dir/orvekd.sock
tmux_server=orvek-bench-topkeys-$$

source bench/links.sh
tm() { tmux -f /dev/null -L "$tmux_server" "$@"; }
cleanup_topkeys() {
    tm kill-server 2>/dev/null || true
    cleanup_links
    rm -rf "$dir"
}
trap cleanup_topkeys EXIT
trap 'exit 130' INT TERM HUP
make_links 1
# The generator's frames go to 10.231.0.99: the meter's host, so that they are counted.
ip -n "$meter_ns" addr add 10.231.0.99/32 dev vm0

# A descriptor nothing is ever written to: `read -t` on it waits without a process of its own.
exec {pause_fd}<> <(:)
pause() { read -r -t "$1" -u "$pause_fd" _ || true; }
now_us() { now=${EPOCHREALTIME/./}; }

# Waits (up to 30 s) for the pane to match an extended regular expression.
wait_pane() {
    local n pane
    for n in $(seq 600); do
        pane=$(tm capture-pane -p -t top)
        [[ $pane =~ $1 ]] && return 0
        pause 0.05
    done
    echo "timed out waiting for /$1/ on the screen:" >&2
    echo "$pane" >&2
    return 1
}

# One key: sends it, reads the screen until it holds the text; prints microseconds (a time-out
# after 5 s prints 5000000 and counts as missed).
press() {
    local key=$1 want=$2 t0 pane
    now_us
    t0=$now
    tm send-keys -t top "$key"
    while :; do
        pane=$(tm capture-pane -p -t top)
        now_us
        [[ $pane == *"$want"* ]] && break
        if ((now - t0 > 5000000)); then
            echo "key '$key': no '$want' after 5 s" >&2
            now=$((t0 + 5000000))
            break
        fi
        pause 0.002
    done
    echo $((now - t0))
}

# On-CPU seconds of every thread of a process so far.
cpu_s() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.3f", s / 1e9 }'; }
# "busy total" jiffies of all processors.
proc_stat() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8 }' /proc/stat; }
# Median, 95th percentile (nearest rank), max and count over 100 ms of microsecond figures, in ms.
summary() {
    sort -n | awk '{ v[NR] = $1; if ($1 > 100000) over++ }
        END { r = int(NR * 0.95); if (r < NR * 0.95) r++
              printf "n %d  median %.1f ms  p95 %.1f ms  max %.1f ms  over 100 ms: %d\n",
                     NR, (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) / 1000,
                     v[r] / 1000, v[NR] / 1000, over + 0 }'
}

echo
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB, kernel $(uname -r)"
echo "date: $(date -u '+%F %H:%M UTC'), tmux $(tmux -V | cut -d' ' -f2), $keys keys, $size-byte frames at $rate/s"

for way in $ways; do
    echo
    echo "== orvek top through $([ "$way" = service ] && echo "the system service (orvekd on core 1)" || echo "a capture helper of its own (ORVEK_SOCKET=none)") =="
    service_pid=
    if [ "$way" = service ]; then
        ip netns exec "$meter_ns" taskset -c 1 "$bin/orvekd" --state-dir "$dir/state" \
            --socket "$socket" 2>"$dir/orvekd.err" &
        service_pid=$!
        wait_for "$dir/orvekd.err" counting
        source_env=ORVEK_SOCKET=$socket
    else
        source_env=ORVEK_SOCKET=none
    fi
    tm new-session -d -s top -x 100 -y 30 "ip netns exec $meter_ns env $source_env $bin/orvek-top"
    wait_pane 'vm0 +[a-z]+ +capturing'
    # The pane's process, or its child when a shell stayed between them.
    top_pid=$(tm display -p -t top '#{pane_pid}')
    [ "$(cat /proc/"$top_pid"/comm)" = orvek-top ] || top_pid=$(pgrep -P "$top_pid" -x orvek-top)
    if [ "$way" = service ]; then
        capturer_pid=$service_pid
    else
        capturer_pid=$(pgrep -P "$top_pid" -x orvek-capture)
    fi

    # Not through in_gen: a function in the background is a subshell, and its id not the
    # generator's.
    ip netns exec "$gen_ns" taskset -c 0 "$generator" vg0 02:00:00:be:0d:00 "$size" \
        $((rate * 600)) "$rate" >"$dir/gen.out" &
    gen_pid=$!
    wait_pane 'vm0 .*MiB/s'
    pause 2 # past the first samples of the traffic
    # The tmux round trip alone, under the same traffic: a key that changes nothing (an unbound
    # function key) and one look at the screen.
    for n in $(seq 20); do
        now_us
        t0=$now
        tm send-keys -t top F12
        tm capture-pane -p -t top >/dev/null
        now_us
        echo $((now - t0))
    done | summary | sed 's/^/tmux send-keys + capture-pane alone: /'

    read -r rx0 < <(offered vm0 | cut -d' ' -f2)
    read -r busy0 total0 < <(proc_stat)
    load0=$(cut -d' ' -f1 /proc/loadavg)
    top_cpu0=$(cpu_s "$top_pid")
    cap_cpu0=$(cpu_s "$capturer_pid")
    now_us
    start=$now
    : >"$dir/$way.keys"
    for n in $(seq "$keys"); do
        case $((n % 3)) in
        1) key=a want="View: applications" ;;
        2) key=c want="View: connections" ;;
        0) key=d want="View: devices" ;;
        esac
        echo "$key $(press "$key" "$want")" >>"$dir/$way.keys"
        printf -v gap '0.%03d' $((100 + RANDOM % 300))
        pause "$gap"
    done
    now_us
    seconds=$(awk -v a="$start" -v b="$now" 'BEGIN { printf "%.2f", (b - a) / 1e6 }')
    read -r rx1 < <(offered vm0 | cut -d' ' -f2)
    read -r busy1 total1 < <(proc_stat)
    load1=$(cut -d' ' -f1 /proc/loadavg)
    top_cpu1=$(cpu_s "$top_pid")
    cap_cpu1=$(cpu_s "$capturer_pid")
    running=$(kill -0 "$gen_pid" 2>/dev/null && echo "still sending" || echo "HAD ENDED")
    tm send-keys -t top d
    wait_pane 'View: devices'
    shown=$(tm capture-pane -p -t top | grep -E '^(Sent|vm0 )' | tr -s ' ' | paste -sd'|')
    for pid in $gen_pid $(ip netns pids "$gen_ns"); do
        kill "$pid" 2>/dev/null || true
    done
    wait "$gen_pid" 2>/dev/null || true

    echo "key to screen, all keys: $(cut -d' ' -f2 "$dir/$way.keys" | summary)"
    for key in a c d; do
        echo "  $key: $(awk -v k="$key" '$1 == k { print $2 }' "$dir/$way.keys" | summary)"
    done
    echo "every key (ms, in order): $(awk '{ printf "%s%.1f", (NR > 1 ? " " : ""), $2 / 1000 }' "$dir/$way.keys")"
    awk -v p0="$rx0" -v p1="$rx1" -v s="$seconds" -v r="$running" \
        'BEGIN { printf "offered while the keys ran: %.0f frames/s over %s s (generator %s)\n", (p1 - p0) / s, s, r }'
    echo "shown after: $shown"
    awk -v b0="$busy0" -v b1="$busy1" -v t0="$total0" -v t1="$total1" -v l0="$load0" -v l1="$load1" \
        'BEGIN { printf "load: processors %.0f %% busy (both), 1-minute load average %s -> %s\n", 100 * (b1 - b0) / (t1 - t0), l0, l1 }'
    awk -v s="$seconds" -v a0="$top_cpu0" -v a1="$top_cpu1" -v c0="$cap_cpu0" -v c1="$cap_cpu1" \
        -v w="$([ "$way" = service ] && echo orvekd || echo orvek-capture)" \
        'BEGIN { printf "CPU over the keys: orvek-top %.1f %% of a core, %s %.1f %%\n", 100 * (a1 - a0) / s, w, 100 * (c1 - c0) / s }'

    tm kill-server 2>/dev/null || true
    if [ -n "$service_pid" ]; then
        kill "$service_pid"
        wait "$service_pid" 2>/dev/null || true
    fi
    rm -rf "$dir/state"
done
