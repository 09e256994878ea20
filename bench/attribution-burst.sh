#!/bin/bash
# Shares of their bytes that three applications get whose sockets end at once (a bulk upload at
# full speed, 300 short TCP connections closed together, 300 UDP exchanges each from a new
# socket, over IPv4 and IPv6), with the meter in process as root, as orvek-headless run by nobody
# with CAP_NET_RAW alone, and in process with the in-kernel flow owners (as root; also the share
# of what the meter counted): runs the live tests RUNS times (default 5) and prints their lines.
# As root, after a build of build/test (attribution_live).
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${RUNS:-5}
TEST=build/test/tests/attribution/attribution_live
for ((n = 1; n <= RUNS; n++)); do
    echo "run $n"
    "$TEST" --gtest_filter='*SocketsThatEndAtOnce*' 2>&1 |
        grep -E '^(root|nobody with CAP_NET_RAW|in the kernel \(root\)|orvek-headless as root): |not attributed|OK +\]|FAILED +\]' |
        sort -u
done
