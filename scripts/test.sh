#!/usr/bin/env bash
# Installs what is missing, builds Orvek and runs the whole test suite. Live tests need root: they
# make private network namespaces and capture in them. Every build here treats warnings as errors
# (ORVEK_WERROR, off by default for other builds).
# ORVEK_FUZZ_SECONDS sets the length of the fuzzing run (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${ORVEK_FUZZ_SECONDS:-60}

scripts/install-deps.sh test

stage() { printf '\n== %s ==\n' "$*"; }

stage "debug build, whole suite"
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DORVEK_WERROR=ON >/dev/null
cmake --build build/test -j"$jobs"
ctest --test-dir build/test --output-on-failure --timeout 600

stage "optimised build (RelWithDebInfo, as distributions build), unit tests"
cmake -S . -B build/relwithdebinfo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEK_WERROR=ON >/dev/null
cmake --build build/relwithdebinfo -j"$jobs"
ctest --test-dir build/relwithdebinfo --output-on-failure --timeout 600 -L unit

stage "capture and meter under ThreadSanitizer"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DORVEK_WERROR=ON -DORVEK_BUILD_GUI=OFF \
    -DORVEK_SANITIZE=thread >/dev/null
cmake --build build/tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0" \
    ctest --test-dir build/tsan --output-on-failure --timeout 900 -L 'unit|live'

stage "whole suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DORVEK_WERROR=ON \
    -DORVEK_SANITIZE=address,undefined >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS="detect_leaks=1 abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1" \
    LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
    ctest --test-dir build/asan --output-on-failure --timeout 900

stage "fuzzing the packet readers and the capture helper's protocol for ${fuzz_seconds} s each"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DORVEK_WERROR=ON \
    -DORVEK_BUILD_GUI=OFF -DORVEK_BUILD_FUZZ=ON >/dev/null
cmake --build build/fuzz --target fuzz_packet fuzz_protocol -j"$jobs"
# fuzz TARGET SEEDS: a fresh corpus grown from the seeds; a crash fails the stage.
fuzz() {
    rm -rf "build/fuzz/corpus-$1" && mkdir -p "build/fuzz/corpus-$1"
    "build/fuzz/tests/fuzz/$1" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
        "build/fuzz/corpus-$1" "$2" 2>&1 | tail -n 3
}
fuzz fuzz_packet tests/fuzz/corpus
fuzz fuzz_protocol tests/fuzz/protocol_corpus
echo "fuzzing: 2 passed, 0 failed"

stage "Debian packages: built, checked by lintian, installed, used, upgraded and purged"
tests/package/package-test.sh
