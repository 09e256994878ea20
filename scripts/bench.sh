#!/usr/bin/env bash
# Builds the benchmarks and the window application (Release) and runs them all: the per-packet
# path, live counting against bare libpcap loops and tcpdump in network namespaces of its own,
# resident memory (headless and window), user-interface responsiveness (also with the Details
# window open), 41 devices, the exporter under hostile clients, the capture helper's cost, the
# Details window's opening, the attribution resolver's cost, a look for user-space tunnels, the
# usage file's write cost and size, the terminal view at 1 000 connections and its answer to keys
# at 300 000 packets a second. Needs root (and tmux). Never part of the suite.
# ORVEK_BENCH_BUILD sets the build directory (default build/bench).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ORVEK_BENCH_BUILD:-build/bench}

scripts/install-deps.sh bench

echo "== build (Release) in $build =="
# With the window: its memory, and the user-interface benchmarks with the Details window open.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DORVEK_BUILD_BENCH=ON -DORVEK_BUILD_GUI=ON \
    -DORVEK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

echo
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, kernel $(uname -r)"
echo
echo "== per-packet path (ns per packet; threads:2 = two capture threads, one meter) =="
taskset -c 0,1 "$build/bench/orvek_bench_perpacket" --benchmark_min_time=0.5
echo
echo "== per-packet path: instructions per packet (callgrind; the same on any load) =="
bash bench/instructions.sh "$build"
echo
bash bench/live.sh "$build"
echo
echo "== many devices: Capture and Stop with 41 devices, memory, threads, idle CPU =="
bash bench/manydevices.sh "$build"
echo
echo "== the exporter: hostile clients, concurrent scrapers, address changes (40 devices) =="
bash bench/exporter.sh "$build"
echo
bash bench/helper.sh "$build"
echo
echo "== the Details window on 40 devices: opening and refreshing (offscreen) =="
QT_QPA_PLATFORM=offscreen "$build/bench/orvek_bench_detailsopen" 20
echo
echo "== attribution: the resolver at 10 000 and 1 000 new connections a second =="
"$build/bench/orvek_bench_resolver" 10000 5
"$build/bench/orvek_bench_resolver" 1000 5
echo
echo "== user-space tunnels: one look, with 300 extra processes =="
"$build/bench/orvek_bench_usertunnels" 300 50
echo
echo "== the usage file: CPU per flush with 40 devices, a simulated year's size =="
mkdir -p "$build/storebench"
"$build/bench/orvek_bench_store" flush "$build/storebench" 300
"$build/bench/orvek_bench_store" year /dev/shm/orvek-bench-year40-$$.sqlite 40
"$build/bench/orvek_bench_store" year /dev/shm/orvek-bench-year3-$$.sqlite 3
rm -f /dev/shm/orvek-bench-year40-$$.sqlite* /dev/shm/orvek-bench-year3-$$.sqlite*
echo
echo "== the terminal view at 1 000 connections: a refresh, and orvek-top's CPU at one a second =="
"$build/bench/orvek_bench_top" --top "$build/bin/orvek-top" --seconds 30
echo
bash bench/topkeys.sh "$build"
