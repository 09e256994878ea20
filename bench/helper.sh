#!/usr/bin/env bash
# The capture helper's cost: CPU and memory of capturing through it against the meter in the
# capturing process itself, as the programs captured before the helper. Two programs, each in
# turn in-process and through the helper (--helper): the headless meter (orvek_bench_headless) and
# the window's user-interface work with the Details window open (orvek_bench_uilatency_details,
# offscreen: counters at their pace, a snapshot a second, table and graph). Each is measured idle
# (capturing, no traffic, 5 s) and on 900 000 frames of 512 bytes paced at 300 000 a second;
# ORVEK_BENCH_REPEAT (5) times, medians. Capturer and helper on core 1, generator on core 0.
# Needs root. Usage: bench/helper.sh BUILD_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
bin=$build/bench
export ORVEK_CAPTURE_HELPER=$build/libexec/orvek/orvek-capture
results=${ORVEK_BENCH_RESULTS:-$(mktemp -d)}
mkdir -p "$results"
repeat=${ORVEK_BENCH_REPEAT:-5}
rate=300000
count=900000
size=512
window_seconds=5

source "$(dirname "$0")/links.sh"
make_links 1

# Context switches of every thread of a process so far (0 when there is none).
switches_of() {
    [ -n "$1" ] || { echo 0; return; }
    cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { s += $2 } END { print s + 0 }'
}

# run PROGRAM MODE LOAD REP -> one line of helper.tsv
run() {
    local program=$1 mode=$2 load=$3 rep=$4 pid
    local out="$results/$program-$mode-$load-$rep.out"
    local args=()
    [ "$mode" = helper ] && args=(--helper)
    if [ "$program" = headless ]; then
        ip netns exec "$meter_ns" taskset -c 1 "$bin/orvek_bench_headless" "${args[@]}" \
            >"$out" 2>&1 &
    else
        ip netns exec "$meter_ns" env QT_QPA_PLATFORM=offscreen taskset -c 1 \
            "$bin/orvek_bench_uilatency_details" "${args[@]}" "$window_seconds" >"$out" 2>&1 &
    fi
    pid=$!
    wait_for "$out" ready
    if [ "$load" = paced ]; then
        in_gen taskset -c 0 "$bin/orvek_bench_generator" vg0 02:00:00:be:0d:00 "$size" "$count" \
            "$rate" >/dev/null
        settle vm0
    else
        # Wake-ups while idle: the capturer's own (the window's probe timer wakes it every 10 ms)
        # and the helper's, over 4 s.
        local helper_pid s0 h0
        helper_pid=$(pgrep -P "$pid" || true)
        s0=$(switches_of "$pid")
        h0=$(switches_of "$helper_pid")
        sleep 4
        echo "$(($(switches_of "$pid") - s0)) $(($(switches_of "$helper_pid") - h0))" \
            >"${out%.out}.switches"
        [ "$program" = headless ] && sleep 1
    fi
    [ "$program" = headless ] && kill -INT "$pid"
    wait "$pid" || true
    local cpu helper_cpu hwm helper_hwm
    read -r cpu helper_cpu hwm helper_hwm <<<"$(sed -n \
        's/.*cpu=\([0-9.]*\) helper_cpu=\([0-9.]*\) hwm=\([0-9]*\) helper_hwm=\([0-9]*\).*/\1 \2 \3 \4/p' \
        "$out")"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$program" "$mode" "$load" "$rep" "$cpu" \
        "$helper_cpu" "$hwm" "$helper_hwm" | tee -a "$results/helper.tsv"
}

echo "== capture helper: CPU seconds and peak memory, in-process against through the helper =="
printf 'program\tmode\tload\trep\tcpu_s\thelper_cpu_s\thwm_kib\thelper_hwm_kib\n' |
    tee "$results/helper.tsv"
for rep in $(seq "$repeat"); do
    for program in headless window; do
        for load in idle paced; do
            for mode in inprocess helper; do
                run "$program" "$mode" "$load" "$rep"
            done
        done
    done
done

echo
echo "== summary: medians of $repeat runs (CPU seconds over the run; the helper's apart; peak KiB) =="
awk -F'\t' "$awk_median"'
NR == 1 { next }
{
    key = $1 "\t" $3 "\t" $2
    cpu[key] = cpu[key] " " $5; hcpu[key] = hcpu[key] " " $6; sum[key] = sum[key] " " ($5 + $6)
    hwm[key] = hwm[key] " " $7; hhwm[key] = hhwm[key] " " $8
    if (!(key in seen)) { seen[key] = 1; order[++n] = key }
}
END {
    printf "%-9s %-6s %-10s | %9s %9s %9s | %9s %9s\n", "program", "load", "mode", "cpu", "helper", "total",
        "hwm KiB", "helper"
    for (i = 1; i <= n; i++) {
        k = order[i]; split(k, kk, "\t")
        printf "%-9s %-6s %-10s | %9.4f %9.4f %9.4f | %9d %9d\n", kk[1], kk[2], kk[3],
            median(cpu[k]), median(hcpu[k]), median(sum[k]), median(hwm[k]), median(hhwm[k])
    }
}' "$results/helper.tsv" | tee "$results/helper-summary.txt"
echo
echo "== context switches over 4 idle seconds: median capturer, median helper =="
for program in headless window; do
    for mode in inprocess helper; do
        cat "$results/$program-$mode"-idle-*.switches |
            awk -v name="$program $mode" "$awk_median"'
            { c = c " " $1; h = h " " $2 } END { printf "%-20s %6d %6d\n", name, median(c), median(h) }'
    done
done | tee -a "$results/helper-summary.txt"
echo
echo "== the window's snapshot a second, on its user-interface thread: median p50, largest max (ms) =="
for mode in inprocess helper; do
    cat "$results"/window-"$mode"-*.out | sed -n 's/^snapshot_ms p50=\([0-9.]*\) max=\([0-9.]*\).*/\1 \2/p' |
        awk -v mode="$mode" "$awk_median"'
        { p = p " " $1; if ($2 > m) m = $2 } END { printf "%-10s p50 %.3f  max %.3f\n", mode, median(p), m }'
done | tee -a "$results/helper-summary.txt"
echo
echo "raw results: $results"
