#!/usr/bin/env bash
# Installs what is missing, builds Orvek and runs the whole test suite. Live tests need root: they
# make private network namespaces and capture in them.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh test

echo "== build and test =="
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/test -j"$jobs"
ctest --test-dir build/test --output-on-failure --timeout 600

echo "== capture and meter under ThreadSanitizer =="
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DORVEK_BUILD_GUI=OFF -DORVEK_SANITIZE=thread >/dev/null
cmake --build build/tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build/tsan --output-on-failure --timeout 900 -L 'unit|live'
