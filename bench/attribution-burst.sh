#!/bin/bash
# Shares of their bytes that three applications get whose sockets end at once (a bulk upload at
# full speed, 300 short TCP connections closed together, 300 UDP exchanges each from a new
# socket, over IPv4 and IPv6), with the meter in process as root and as orvek-headless run by
# nobody with CAP_NET_RAW alone: runs the live test RUNS times (default 5) and prints its lines.
# As root, after a build of build/test (attribution_live).
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${RUNS:-5}
TEST=build/test/tests/attribution/attribution_live
for ((n = 1; n <= RUNS; n++)); do
    echo "run $n"
    "$TEST" --gtest_filter='*SocketsThatEndAtOnce*' 2>&1 |
        grep -E '^(root|nobody with CAP_NET_RAW): |not attributed|OK +\]|FAILED +\]' | sort -u
done
