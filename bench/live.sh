#!/usr/bin/env bash
# Live part of the benchmarks: two network namespaces of its own joined by veth pairs, a generator
# in one, and in the other, in turn on the same traffic: the bare libpcap floor, tcpdump and the
# headless Orvek meter. Then the meter's resident memory on three devices, and the responsiveness
# of a user-interface thread that follows the counters (also with the Details window open, when
# the build has the window library). Needs root. Usage: bench/live.sh BUILD_DIR
# ORVEK_BENCH_ONLY=ui runs the user-interface part alone; ORVEK_BENCH_REPEAT (5) sets how often
# each capturer runs on each traffic; ORVEK_BENCH_SIZES and ORVEK_BENCH_CAPTURERS pick frame sizes
# and capturers (all by default).
set -euo pipefail

bin=$(cd "$1" && pwd)/bench
results=${ORVEK_BENCH_RESULTS:-$(mktemp -d)}
mkdir -p "$results"
gen_core=0
cap_core=1
# Frames per run: enough for a second or more at full speed.
full_count=${ORVEK_BENCH_FULL_COUNT:-2000000}
repeat=${ORVEK_BENCH_REPEAT:-5}
paced_rate=${ORVEK_BENCH_PACED_RATE:-300000}
paced_count=${ORVEK_BENCH_PACED_COUNT:-900000}
sizes=(${ORVEK_BENCH_SIZES:-64 512 1514})
capturers=(${ORVEK_BENCH_CAPTURERS:-floor hfloor tcpdump meter})

source "$(dirname "$0")/links.sh"
make_links 3

# run_case REP CAPTURER SIZE COUNT RATE -> one line of results.tsv
run_case() {
    local rep=$1 capturer=$2 size=$3 count=$4 rate=$5
    local out="$results/$capturer-$size-$rate-$rep.out" err="$results/$capturer-$size-$rate-$rep.err"
    # Started directly (not through a function) so that $! is the capturer itself.
    local pid cpu0=0 cpu1=0
    : >"$out"
    case $capturer in
    floor) ip netns exec "$meter_ns" taskset -c $cap_core "$bin/orvek_bench_floor" vm0 >"$out" 2>"$err" & pid=$! ;;
    # The same loop reading only what the meter reads: its snapshot length and ring, a filter
    # (the kernel cuts packets to the snapshot length only through one).
    hfloor) ip netns exec "$meter_ns" taskset -c $cap_core "$bin/orvek_bench_floor" -s 96 -B 2097152 -f '' vm0 >"$out" 2>"$err" & pid=$! ;;
    meter) ip netns exec "$meter_ns" taskset -c $cap_core "$bin/orvek_bench_headless" >"$out" 2>"$err" & pid=$! ;;
    tcpdump)
        ip netns exec "$meter_ns" taskset -c $cap_core tcpdump -n -i vm0 -s 65535 -w /dev/null >"$out" 2>"$err" &
        pid=$!
        ;;
    esac
    if [ "$capturer" = tcpdump ]; then wait_for "$err" "listening on"; else wait_for "$out" ready; fi
    read -r bytes0 packets0 <<<"$(offered vm0)"
    [ "$capturer" = tcpdump ] && cpu0=$(cpu_of "$pid")
    local sent
    sent=$(in_gen taskset -c $gen_core "$bin/orvek_bench_generator" vg0 02:00:00:be:0d:00 "$size" "$count" "$rate")
    settle vm0
    read -r bytes1 packets1 <<<"$(offered vm0)"
    [ "$capturer" = tcpdump ] && cpu1=$(cpu_of "$pid")
    kill -INT "$pid"
    wait "$pid" || true
    local off_p=$((packets1 - packets0)) off_b=$((bytes1 - bytes0)) got_p got_b cpu
    case $capturer in
    floor | hfloor)
        got_p=$(sed -n 's/.*packets=\([0-9]*\).*/\1/p' "$out")
        got_b=$(sed -n 's/.*bytes=\([0-9]*\).*/\1/p' "$out")
        cpu=$(sed -n 's/.*cpu=\([0-9.]*\).*/\1/p' "$out")
        ;;
    meter)
        # The meter counts network-layer bytes; every frame is SIZE bytes with a 14-byte header.
        local recv
        recv=$(sed -n 's/.*recv=\([0-9]*\).*/\1/p' "$out")
        got_p=$((recv / (size - 14)))
        got_b=$((recv + got_p * 14))
        [ $((recv % (size - 14))) -eq 0 ] || got_b="$got_b(inexact)"
        # " cpu=", not the helper_cpu= that follows it.
        cpu=$(sed -n 's/.* cpu=\([0-9.]*\).*/\1/p' "$out")
        ;;
    tcpdump)
        got_p=$(sed -n 's/^\([0-9]*\) packets captured.*/\1/p' "$err")
        got_b=$((got_p * size))
        cpu=$(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN { printf "%.6f", b - a }')
        ;;
    esac
    local pps
    pps=$(sed -n 's/.*pps=\([0-9]*\).*/\1/p' <<<"$sent")
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$capturer" "$size" "$rate" "$pps" "$off_p" \
        "$off_b" "$got_p" "$got_b" "$cpu" "$rep" | tee -a "$results/results.tsv"
}

only=${ORVEK_BENCH_ONLY:-all}
if [ "$only" = all ]; then
echo "== live counting (generator on core $gen_core, capturer on core $cap_core) =="
printf 'capturer\tsize\trate\tgen_pps\toffered_pkts\toffered_bytes\tcounted_pkts\tcounted_bytes\tcpu_s\trep\n' \
    | tee "$results/results.tsv"
# Every capturer in turn, repeated: a virtual machine's neighbours make single runs vary by tens of
# per cent, so the summary takes each capturer's median.
for rep in $(seq "$repeat"); do
    for rate in "$paced_rate" 0; do
        if [ "$rate" = 0 ]; then count=$full_count; else count=$paced_count; fi
        for size in "${sizes[@]}"; do
            for capturer in "${capturers[@]}"; do
                run_case "$rep" "$capturer" "$size" "$count" "$rate"
            done
        done
    done
done

echo
echo "== summary over $repeat runs each: loss (the worst run), bytes (exact in every run or not), median CPU seconds per million packets (rate 0 = full speed) =="
awk -F'\t' "$awk_median"'
NR == 1 { next }
{
    key = $2 "\t" $3
    loss = $5 - $7
    cpus[key, $1] = cpus[key, $1] " " (($7 > 0) ? $9 / ($7 / 1e6) : 0)
    if (!((key, $1) in l) || loss > l[key, $1]) l[key, $1] = loss
    if (!((key, $1) in x)) x[key, $1] = "exact"
    if ($6 != $8) x[key, $1] = "DIFF"
    if ($1 == "meter") pps[key] = pps[key] " " $4
    if (!(key in seen)) { seen[key] = 1; order[++n] = key }
}
END {
    for (k in cpus) c[k] = median(cpus[k])
    for (k in pps) p[k] = int(median(pps[k]) / 1000) "k"
    printf "%-5s %-7s %-9s | %-28s | %-28s | %-28s | %-28s | %-13s %-12s %-12s\n", "size", "rate", "gen_pps",
        "floor loss/bytes/cpu", "headers-only floor", "tcpdump loss/bytes/cpu", "meter loss/bytes/cpu",
        "meter/hfloor", "meter/floor", "meter/tcpdump"
    for (i = 1; i <= n; i++) {
        k = order[i]; split(k, kk, "\t")
        printf "%-5s %-7s %-9s | %7d %-6s %9.3f s/Mp | %7d %-6s %9.3f s/Mp | %7d %-6s %9.3f s/Mp | %7d %-6s %9.3f s/Mp | %-13.2f %-12.2f %-12.2f\n",
            kk[1], kk[2], p[k],
            l[k, "floor"], x[k, "floor"], c[k, "floor"],
            l[k, "hfloor"], x[k, "hfloor"], c[k, "hfloor"],
            l[k, "tcpdump"], x[k, "tcpdump"], c[k, "tcpdump"],
            l[k, "meter"], x[k, "meter"], c[k, "meter"],
            (c[k, "hfloor"] > 0 ? c[k, "meter"] / c[k, "hfloor"] : 0),
            (c[k, "floor"] > 0 ? c[k, "meter"] / c[k, "floor"] : 0),
            (c[k, "tcpdump"] > 0 ? c[k, "meter"] / c[k, "tcpdump"] : 0)
    }
}' "$results/results.tsv" | tee "$results/summary.txt"

# VmHWM / VmRSS of a process, in KiB.
mem_of() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }

# Full-speed 1514-byte frames on all three links at once, one generator per link on one core.
flood_three() {
    local i pids=()
    for i in 0 1 2; do
        in_gen taskset -c $gen_core "$bin/orvek_bench_generator" "vg$i" "02:00:00:be:0d:0$i" 1514 \
            "$full_count" 0 >"$results/flood-$i.out" &
        pids+=($!)
    done
    wait "${pids[@]}"
    for i in 0 1 2; do settle "vm$i"; done
}

echo
echo "== resident memory: headless meter capturing lo, vm0, vm1, vm2 =="
out=$results/memory-meter.out
ip netns exec "$meter_ns" taskset -c $cap_core "$bin/orvek_bench_headless" >"$out" 2>&1 &
pid=$!
wait_for "$out" ready
sleep 1 # the idle second that is measured
idle_hwm=$(mem_of "$pid" VmHWM)
flood_three
busy_hwm=$(mem_of "$pid" VmHWM)
busy_rss=$(mem_of "$pid" VmRSS)
kill -INT "$pid"
wait "$pid" || true
echo "headless meter: $(head -n1 "$out"); VmHWM idle ${idle_hwm} KiB, VmHWM after three full-rate links ${busy_hwm} KiB (VmRSS ${busy_rss} KiB)" \
    | tee "$results/memory.txt"
cat "$results"/flood-*.out

# The window application, when it is built: measured the same way under a virtual display.
# ORVEK_BENCH_GUI names the binary (the benchmark build itself leaves the GUI out).
orvek=${ORVEK_BENCH_GUI:-$(find "$(dirname "$bin")" -path '*/bin/orvek' -type f -executable 2>/dev/null | head -n1)}
if [ -n "$orvek" ]; then
    echo
    echo "== resident memory: orvek window application (under Xvfb, Capture pressed) =="
    # A real virtual display, so that a key press can reach the window: Capture has the focus at
    # start, and space presses it.
    # Xvfb picks a free display and writes its number once it accepts clients.
    ip netns exec "$meter_ns" Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp \
        3>"$results/xvfb.display" >"$results/xvfb.out" 2>&1 &
    xvfb=$!
    wait_for "$results/xvfb.display" '[0-9]'
    display=:$(cat "$results/xvfb.display")
    # ip netns exec, env and taskset each exec the next: the pid is the window application's.
    ip netns exec "$meter_ns" env DISPLAY="$display" taskset -c $cap_core \
        "$orvek" >"$results/memory-gui.out" 2>&1 &
    gui=$!
    if DISPLAY="$display" timeout 20 xdotool search --sync --onlyvisible --name Orvek >/dev/null; then
        gui_idle_hwm=$(mem_of "$gui" VmHWM)
        DISPLAY="$display" xdotool search --sync --onlyvisible --name Orvek \
            windowfocus --sync key space
        # Capturing once the packet sockets of lo and the three veths are open.
        for n in $(seq 100); do
            [ "$(in_meter cat /proc/net/packet | wc -l)" -gt 4 ] && break
            sleep 0.1
        done
        echo "orvek: VmHWM idle, not capturing ${gui_idle_hwm} KiB; packet sockets open: $(($(in_meter cat /proc/net/packet | wc -l) - 1))" \
            | tee -a "$results/memory.txt"
        idle_hwm=$(mem_of "$gui" VmHWM)
        flood_three
        busy_hwm=$(mem_of "$gui" VmHWM)
        busy_rss=$(mem_of "$gui" VmRSS)
        echo "orvek: VmHWM capturing idle ${idle_hwm} KiB, VmHWM after three full-rate links ${busy_hwm} KiB (VmRSS ${busy_rss} KiB)" \
            | tee -a "$results/memory.txt"
    else
        echo "orvek did not start:"
        cat "$results/memory-gui.out"
    fi
    kill -TERM "$gui" 2>/dev/null || true
    wait "$gui" || true
    kill -TERM "$xvfb" 2>/dev/null || true
    wait "$xvfb" || true
else
    echo "(no orvek window application built: its memory is not measured)"
fi
fi # only=all

ui_rate=${ORVEK_BENCH_UI_RATE:-1000000}
ui_seconds=${ORVEK_BENCH_UI_SECONDS:-6}
# ui_load PROGRAM NAME: runs a latency benchmark (offscreen) while 64-byte frames are offered at
# ui_rate; its output is left in $out.
ui_load() {
    out=$results/$2.out
    ip netns exec "$meter_ns" env QT_QPA_PLATFORM=offscreen taskset -c $cap_core "$1" \
        "$ui_seconds" >"$out" 2>&1 &
    local pid=$!
    wait_for "$out" ready
    sent=$(in_gen taskset -c $gen_core "$bin/orvek_bench_generator" vg0 02:00:00:be:0d:00 64 \
        $((ui_rate * (ui_seconds - 1))) "$ui_rate")
    wait "$pid" || true
    echo "64-byte frames asked at $ui_rate pps: $sent"
}

if [ -x "$bin/orvek_bench_uilatency" ]; then
    echo
    echo "== user-interface thread: delay of an event posted every 10 ms =="
    out=$results/uilatency-idle.out
    ip netns exec "$meter_ns" taskset -c $cap_core "$bin/orvek_bench_uilatency" 3 >"$out" 2>&1
    echo "idle:"
    sed 1d "$out"
    ui_load "$bin/orvek_bench_uilatency" uilatency-load
    sed 1d "$out"
fi

# The same with the Details window open (table and graph, one sample a second), offscreen.
if [ -x "$bin/orvek_bench_uilatency_details" ]; then
    echo
    echo "== user-interface thread with the Details window open (offscreen) =="
    ui_load "$bin/orvek_bench_uilatency_details" uilatency-details-load
    grep -E '^(posted|timer|recv|details)' "$out"
fi
echo
echo "raw results: $results"
