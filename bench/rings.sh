#!/usr/bin/env bash
# Ring size and snapshot length: loss and CPU per packet of the bare libpcap floor, tcpdump and
# the headless meter on the same traffic as bench/live.sh, one veth pair, generator on core 0,
# capturer on core 1. Needs root.
#
# Usage: bench/rings.sh BUILD_DIR [CAPTURER...]
#   CAPTURER: tcpdump | floor:BYTES:SNAPLEN:FILTER[:read] (FILTER "none" = no filter, "empty" = the
#             empty filter, anything else is the expression; "read": the floor reads each frame's
#             Ethernet type and IPv4 addresses) | meter (orvek_bench_headless)
# Environment: ORVEK_RINGS_REPEAT (2), ORVEK_RINGS_SIZES ("64 512 1514"), ORVEK_RINGS_RATES
#   ("300000 0", 0 = full speed), ORVEK_BENCH_PACED_COUNT (900000), ORVEK_BENCH_FULL_COUNT (2000000),
#   ORVEK_BENCH_RESULTS (raw output directory).
# Prints one tab-separated line per run (load = 1-minute load average when the run started).
set -euo pipefail

bin=$(cd "$1" && pwd)/bench
shift
capturers=("$@")
[ ${#capturers[@]} -gt 0 ] || capturers=(tcpdump floor:2097152:65535:none meter)
results=${ORVEK_BENCH_RESULTS:-$(mktemp -d)}
mkdir -p "$results"
gen_core=0
cap_core=1
repeat=${ORVEK_RINGS_REPEAT:-2}
read -r -a sizes <<<"${ORVEK_RINGS_SIZES:-64 512 1514}"
read -r -a rates <<<"${ORVEK_RINGS_RATES:-300000 0}"
full_count=${ORVEK_BENCH_FULL_COUNT:-2000000}
paced_count=${ORVEK_BENCH_PACED_COUNT:-900000}

source "$(dirname "$0")/links.sh"
make_links 1

# run_case REP CAPTURER SIZE COUNT RATE -> one line of results.tsv
run_case() {
    local rep=$1 what=$2 size=$3 count=$4 rate=$5
    local kind=${what%%:*} tag=${what//[:\/]/_}
    local out="$results/$tag-$size-$rate-$rep.out" err="$results/$tag-$size-$rate-$rep.err"
    local cpu0=0 cpu1=0 load
    load=$(cut -d' ' -f1 /proc/loadavg)
    : >"$out"
    case $kind in
    floor)
        local bytes snap filter reads
        IFS=: read -r _ bytes snap filter reads <<<"$what"
        local args=(-B "$bytes" -s "$snap")
        [ "$reads" = read ] && args+=(-r)
        case $filter in
        none) ;;
        empty) args+=(-f "") ;;
        *) args+=(-f "$filter") ;;
        esac
        ip netns exec "$meter_ns" taskset -c $cap_core "$bin/orvek_bench_floor" "${args[@]}" vm0 \
            >"$out" 2>"$err" &
        pid=$!
        ;;
    meter)
        ip netns exec "$meter_ns" taskset -c $cap_core "$bin/orvek_bench_headless" >"$out" 2>"$err" &
        pid=$!
        ;;
    tcpdump)
        ip netns exec "$meter_ns" taskset -c $cap_core tcpdump -n -i vm0 -s 65535 -w /dev/null \
            >"$out" 2>"$err" &
        pid=$!
        ;;
    esac
    if [ "$kind" = tcpdump ]; then wait_for "$err" "listening on"; else wait_for "$out" ready; fi
    sleep 0.3
    read -r bytes0 packets0 <<<"$(offered vm0)"
    [ "$kind" = tcpdump ] && cpu0=$(cpu_of "$pid")
    local sent
    sent=$(in_gen taskset -c $gen_core "$bin/orvek_bench_generator" vg0 02:00:00:be:0d:00 "$size" \
        "$count" "$rate")
    sleep 0.6
    read -r bytes1 packets1 <<<"$(offered vm0)"
    [ "$kind" = tcpdump ] && cpu1=$(cpu_of "$pid")
    kill -INT "$pid"
    wait "$pid" || true
    pid=
    local off_p=$((packets1 - packets0)) got_p cpu extra=""
    case $kind in
    floor)
        got_p=$(sed -n 's/.*packets=\([0-9]*\).*/\1/p' "$out")
        cpu=$(sed -n 's/.*cpu=\([0-9.]*\).*/\1/p' "$out")
        extra="caplen/pkt=$(awk -v p="$got_p" '{ match($0, /caplen=[0-9]+/); c = substr($0, RSTART + 7, RLENGTH - 7); printf "%.0f", p ? c / p : 0 }' "$out")"
        ;;
    meter)
        local recv
        recv=$(sed -n 's/.*recv=\([0-9]*\).*/\1/p' "$out")
        got_p=$((recv / (size - 14)))
        [ $((recv % (size - 14))) -eq 0 ] || extra="inexact"
        cpu=$(sed -n 's/.* cpu=\([0-9.]*\).*/\1/p' "$out")
        ;;
    tcpdump)
        got_p=$(sed -n 's/^\([0-9]*\) packets captured.*/\1/p' "$err")
        cpu=$(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN { printf "%.6f", b - a }')
        ;;
    esac
    local pps
    pps=$(sed -n 's/.*pps=\([0-9]*\).*/\1/p' <<<"$sent")
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%.3f\t%s\t%s\n' "$rep" "$what" "$size" "$rate" \
        "$pps" "$off_p" "$got_p" "$((off_p - got_p))" "$cpu" \
        "$(awk -v c="$cpu" -v p="$got_p" 'BEGIN { print (p > 0 ? c / (p / 1e6) : 0) }')" "$load" \
        "$extra" | tee -a "$results/rings.tsv"
}

printf 'rep\tcapturer\tsize\trate\tgen_pps\toffered\tcounted\tloss\tcpu_s\tcpu_s_per_Mp\tload1\tnote\n' \
    | tee "$results/rings.tsv"
for rep in $(seq "$repeat"); do
    for rate in "${rates[@]}"; do
        if [ "$rate" = 0 ]; then count=$full_count; else count=$paced_count; fi
        for size in "${sizes[@]}"; do
            for what in "${capturers[@]}"; do
                run_case "$rep" "$what" "$size" "$count" "$rate"
            done
        done
    done
done

echo
echo "== per capturer: loss of each repetition, median CPU per counted packet, generator rate, load =="
awk -F'\t' "$awk_median"'
NR == 1 { next }
{
    key = $3 "/" ($4 == 0 ? "full" : $4)
    if (!(key in seenk)) { seenk[key] = 1; keys[++nk] = key }
    if (!($2 in seenc)) { seenc[$2] = 1; caps[++nc] = $2 }
    loss[key, $2] = loss[key, $2] (loss[key, $2] == "" ? "" : ",") $8
    cpu[key, $2] = cpu[key, $2] " " $10
    pps[key, $2] = pps[key, $2] (pps[key, $2] == "" ? "" : ",") int($5 / 1000) "k"
    ld[key, $2] = ld[key, $2] (ld[key, $2] == "" ? "" : ",") $11
}
END {
    for (c = 1; c <= nc; c++) {
        print caps[c]
        for (k = 1; k <= nk; k++) {
            kk = keys[k]
            printf "  %-12s loss %-22s cpu %5.0f ns/pkt  gen %-18s load %s\n", kk, loss[kk, caps[c]],
                1000 * median(cpu[kk, caps[c]]), pps[kk, caps[c]], ld[kk, caps[c]]
        }
    }
}' "$results/rings.tsv" | tee "$results/summary.txt"
echo "raw results: $results"
