#!/usr/bin/env bash
# Takes the README's picture of the Details window: the window application in a network namespace
# of its own under Xvfb, with traffic between veth pairs to a peer namespace (nothing leaves the
# machine), a VPN whose tun device is carried inside eth0 (a small forwarder on each end sends its
# packets over UDP), a device that is down and one excluded by the settings file, the graph on its
# logarithmic scale with the pointer on it. Needs root, Xvfb, xdotool, ImageMagick and python3.
# Usage: scripts/details-screenshot.sh path/to/orvek out.png
# (SECS sets how long traffic runs before the picture; the default 40).
set -euo pipefail
bin=$(realpath "$1"); out=$2
ns=orvek-shot-$$; peer=orvek-shot-peer-$$
work=$(mktemp -d)
cleanup() {
    for pid in $(ip netns pids "$ns" 2>/dev/null) $(ip netns pids "$peer" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
    ip netns del "$ns" 2>/dev/null || true; ip netns del "$peer" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"; ip netns add "$peer"
ip -n "$ns" link set lo up; ip -n "$peer" link set lo up
i=0
for dev in eth0 wlan0; do
  ip -n "$ns" link add "$dev" type veth peer name "p$i" netns "$peer"
  ip -n "$ns" addr add "10.98.$i.1/24" dev "$dev"; ip -n "$peer" addr add "10.98.$i.2/24" dev "p$i"
  ip -n "$ns" link set "$dev" up; ip -n "$peer" link set "p$i" up
  i=$((i+1))
done
ip -n "$ns" link add docker0 type bridge; ip -n "$ns" link set docker0 up
ip -n "$ns" tuntap add tap0 mode tap; ip -n "$ns" addr add 10.95.0.1/24 dev tap0; ip -n "$ns" link set tap0 up
ip -n "$ns" link add down0 type veth peer name down1; ip -n "$ns" addr add 10.96.0.1/24 dev down0
mkdir -p "$work/config/Orvek"; printf '[devices]\nexcluded=tap0\n' > "$work/config/Orvek/Orvek.conf"
# The VPN: each end makes tun0 and carries its packets as UDP datagrams to the other's.
cat > "$work/vpn.py" <<'PY'
import fcntl, os, select, socket, struct, sys
name, local, peer = sys.argv[1:4]
open("/proc/self/comm", "w").write("vpnclient")
tun = os.open("/dev/net/tun", os.O_RDWR)
fcntl.ioctl(tun, 0x400454ca, struct.pack("16sH", name.encode(), 0x0001 | 0x1000))  # TUNSETIFF: IFF_TUN, IFF_NO_PI
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind((local, 1194)); s.connect((peer, 1194))
print("ready", flush=True)
while True:
    for ready in select.select([tun, s], [], [])[0]:
        try:
            if ready == tun: s.send(os.read(tun, 65536))
            else: os.write(tun, s.recv(65536))
        except OSError: pass  # the other end not there yet
PY
vpn_end() { # NS ADDRESS-ON-ETH ADDRESS-OF-PEER TUN-ADDRESS
  ip netns exec "$1" python3 "$work/vpn.py" tun0 "$2" "$3" > "$work/vpn-$1" &
  for n in $(seq 100); do grep -q ready "$work/vpn-$1" && break; sleep 0.1; done
  ip -n "$1" link set tun0 mtu 1400; ip -n "$1" addr add "$4/24" dev tun0; ip -n "$1" link set tun0 up
}
vpn_end "$peer" 10.98.0.2 10.98.0.1 10.97.0.2
vpn_end "$ns" 10.98.0.1 10.98.0.2 10.97.0.1
ip netns exec "$ns" Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.out" 2>&1 &
for n in $(seq 100); do grep -q '[0-9]' "$work/display" && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
ip netns exec "$ns" env XDG_CONFIG_HOME="$work/config" "$bin" >"$work/orvek.out" 2>&1 &
xdotool search --sync --onlyvisible --name Orvek >/dev/null
win=$(xdotool search --onlyvisible --name Orvek | head -n1)
xdotool windowfocus --sync "$win" key space
sleep 1
# Traffic: a steady stream on eth0 both ways, bursts on wlan0, and a stream each way through the
# VPN.
cat > "$work/traffic.py" <<'PY'
import socket, sys, time, math
src, dst, rate, secs, burst = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4]), sys.argv[5] == "1"
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind((src, 0))
t0 = time.time(); sent = 0.0; data = b"x" * 1200; owed = 0.0; last = t0
while time.time() - t0 < secs:
    now = time.time(); t = now - t0
    r = rate * (1 + 0.7 * math.sin(t / 4)) if not burst else (rate if int(t / 5) % 2 == 0 else rate / 10)
    owed += r * (now - last) / 1228; last = now
    while owed >= 1:
        try: s.sendto(data, (dst, 9))
        except OSError: pass
        owed -= 1
    time.sleep(0.005)
PY
secs=${SECS:-40}
ip netns exec "$peer" python3 "$work/traffic.py" 10.98.0.2 10.98.0.1 600000 "$secs" 0 &
ip netns exec "$ns" python3 "$work/traffic.py" 10.98.0.1 10.98.0.2 150000 "$secs" 0 &
ip netns exec "$peer" python3 "$work/traffic.py" 10.98.1.2 10.98.1.1 2500000 "$secs" 1 &
ip netns exec "$ns" python3 "$work/traffic.py" 10.97.0.1 10.97.0.2 80000 "$secs" 0 &
ip netns exec "$peer" python3 "$work/traffic.py" 10.97.0.2 10.97.0.1 200000 "$secs" 0 &
sleep 2
# A double-click on the received counter opens the Details window; Alt+L ticks its graph's
# logarithmic scale, and the pointer rests on the graph, which then tells the rates under it.
xdotool mousemove --window "$win" 60 110 click --repeat 2 --delay 80 1
xdotool search --sync --onlyvisible --name "Orvek - Details" >/dev/null
det=$(xdotool search --onlyvisible --name "Orvek - Details" | head -n1)
xdotool windowfocus --sync "$det" key alt+l
sleep $((secs - 7))
xdotool mousemove --window "$det" 900 500
sleep 2
import -window "$det" "$out"
cat "$work/orvek.out" "$work/xvfb.out"
