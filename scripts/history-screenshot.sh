#!/usr/bin/env bash
# Takes the README's pictures of the History view (its years by month) and of the tray menu: the
# window application under Xvfb with trayer as the panel's tray (an X11 tray), on a usage file of
# a simulated year with a plan of 300 GB, 12 applications and 45 days asleep in the summer
# (bench/store.cpp), in a network namespace of its own.
# Needs root, Xvfb, xdotool, trayer and ImageMagick (scripts/install-deps.sh bench).
# Usage: scripts/history-screenshot.sh BUILD_DIR OUT_DIR, BUILD_DIR a benchmark build with the
# window (bin/orvek, bench/orvek_bench_store); writes OUT_DIR/history.png and OUT_DIR/tray.png.
set -euo pipefail
build=$(realpath "$1"); out=$(realpath "$2")
ns=orvek-history-shot-$$
work=$(mktemp -d)
cleanup() {
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"; ip -n "$ns" link set lo up
mkdir -p "$work/data/Orvek" "$work/config"
"$build/bench/orvek_bench_store" year "$work/data/Orvek/usage.sqlite" 3 300GB 12 45
ip netns exec "$ns" Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" \
    >"$work/xvfb.out" 2>&1 &
for n in $(seq 100); do grep -q '[0-9]' "$work/display" && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
ip netns exec "$ns" trayer --edge top --align right --widthtype request --height 28 \
    --transparent false --tint 0xd8d8d8 --SetDockType true >"$work/trayer.out" 2>&1 &
sleep 1
ip netns exec "$ns" env XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" \
    "$build/bin/orvek" >"$work/orvek.out" 2>&1 &
xdotool search --sync --onlyvisible --name Orvek >/dev/null
win=$(xdotool search --onlyvisible --name Orvek | head -n1)
sleep 1
# A double-click on the received counter opens the Details window; Alt+H its History view.
xdotool mousemove --window "$win" 60 110 click --repeat 2 --delay 80 1
det=$(xdotool search --sync --onlyvisible --name "Orvek - Details" | head -n1)
xdotool windowsize "$det" 960 640
xdotool windowfocus --sync "$det" key alt+h
sleep 1
# The list's choice above it, turned by the wheel to the years by month (a popup would need a
# compositor); then the pointer out of the way of the tooltips.
xdotool mousemove --window "$det" 100 343 click 5
xdotool mousemove --window "$det" 950 5
sleep 1
import -window "$det" "$out/history.png"
# A right click on the icon in the tray opens its menu.
tray=$(xdotool search --onlyvisible --class trayer | head -n1)
eval "$(xdotool getwindowgeometry --shell "$tray")"
xdotool mousemove $((X + WIDTH - 14)) $((Y + 14)) click 3
sleep 1
import -window root -crop 150x130+$((X + WIDTH - 150))+$Y +repage "$out/tray.png"
cat "$work/orvek.out"
