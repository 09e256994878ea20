#!/usr/bin/env bash
# Takes the README's picture of the Details window's Applications tab: the window application in a
# network namespace of its own under Xvfb, and three "applications" in control groups named as a
# desktop and systemd name them, talking TCP and UDP to a peer namespace over a veth pair (nothing
# leaves the machine), and datagrams to a port nobody listens on for a row not attributed. Needs root, cgroup v2,
# Xvfb, xdotool, ImageMagick and python3.
# Usage: scripts/applications-screenshot.sh path/to/orvek out.png (SECS: traffic time, 20)
set -euo pipefail
bin=$(realpath "$1"); out=$2
ns=orvek-apps-shot-$$; peer=orvek-apps-shot-peer-$$
cgroot=/sys/fs/cgroup/unified
[ -e $cgroot/cgroup.procs ] || cgroot=/sys/fs/cgroup
cg=$cgroot/orvek-shot-$$
work=$(mktemp -d)
cleanup() {
    for pid in $(ip netns pids "$ns" 2>/dev/null) $(ip netns pids "$peer" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
    sleep 0.5
    for d in "$cg"/*/; do [ -d "$d" ] && rmdir "$d" 2>/dev/null || true; done
    rmdir "$cg" 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true; ip netns del "$peer" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"; ip netns add "$peer"
ip -n "$ns" link set lo up; ip -n "$peer" link set lo up
ip -n "$ns" link add eth0 type veth peer name p0 netns "$peer"
ip -n "$ns" addr add 10.95.0.1/24 dev eth0; ip -n "$peer" addr add 10.95.0.2/24 dev p0
ip -n "$peer" addr add 10.95.0.3/24 dev p0
ip -n "$ns" addr add fd95::1/64 nodad dev eth0; ip -n "$peer" addr add fd95::2/64 nodad dev p0
ip -n "$ns" link set eth0 up; ip -n "$peer" link set p0 up
mkdir -p "$cg" "$work/config"
ip netns exec "$ns" Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.out" 2>&1 &
for n in $(seq 100); do grep -q '[0-9]' "$work/display" && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
# nsenter, not ip netns exec, which mounts a /sys of its own without the control groups.
nsenter --net=/run/netns/"$ns" env XDG_CONFIG_HOME="$work/config" "$bin" >"$work/orvek.out" 2>&1 &
xdotool search --sync --onlyvisible --name Orvek >/dev/null
win=$(xdotool search --onlyvisible --name Orvek | head -n1)
xdotool windowfocus --sync "$win" key space
sleep 1
# The peer: a TCP sink and echo, a UDP echo.
cat > "$work/peer.py" <<'PY'
import socket, threading
def serve(family, address):
    s = socket.socket(family, socket.SOCK_STREAM); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((address, 80)); s.listen(64)
    while True:
        c, _ = s.accept()
        threading.Thread(target=lambda c=c: [c.sendall(d) for d in iter(lambda: c.recv(65536), b"")], daemon=True).start()
def udp(family, address):
    s = socket.socket(family, socket.SOCK_DGRAM); s.bind((address, 53))
    while True:
        d, a = s.recvfrom(2048); s.sendto(d, a)
for f, a in ((socket.AF_INET, "10.95.0.2"), (socket.AF_INET, "10.95.0.3"), (socket.AF_INET6, "fd95::2")):
    threading.Thread(target=serve, args=(f, a), daemon=True).start()
    threading.Thread(target=udp, args=(f, a), daemon=True).start()
threading.Event().wait()
PY
# An application: RATE bytes a second echoed over one TCP connection, a short connection now and
# then, and UDP questions.
cat > "$work/app.py" <<'PY'
import socket, sys, time
server, rate, secs = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
family = socket.AF_INET6 if ":" in server else socket.AF_INET
bulk = socket.create_connection((server, 80)); u = socket.socket(family, socket.SOCK_DGRAM)
t0 = time.time(); chunk = b"x" * 16384
while time.time() - t0 < secs:
    for _ in range(max(1, int(rate / 16384 / 20))):
        bulk.sendall(chunk); got = 0
        while got < len(chunk): got += len(bulk.recv(65536))
    if int((time.time() - t0) * 20) % 5 == 0:
        c = socket.create_connection((server, 80)); c.sendall(b"y" * 2048); c.recv(4096); c.close()
    u.sendto(b"q" * 100, (server, 53)); u.recv(2048)
    time.sleep(0.05)
PY
ip netns exec "$peer" python3 "$work/peer.py" &
sleep 1
secs=${SECS:-20}
app() { # CGROUP SERVER RATE
    mkdir -p "$cg/$1"
    nsenter --net=/run/netns/"$ns" sh -c "echo \$\$ > '$cg/$1/cgroup.procs'; exec python3 '$work/app.py' $2 $3 $secs" &
}
app app-gnome-firefox-4242.scope 10.95.0.2 3000000
app app-flatpak-org.example.Music-77.scope fd95::2 600000
app nginx.service 10.95.0.3 150000
# Datagrams to a port nobody listens on: bytes of no socket.
ip netns exec "$peer" python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
while True:
    s.sendto(b"z" * 1200, ("10.95.0.1", 9999)); time.sleep(0.02)' &
sleep 2
# A double-click on the received counter opens the Details window; Alt+A its Applications tab.
xdotool mousemove --window "$win" 60 110 click --repeat 2 --delay 80 1
det=$(xdotool search --sync --onlyvisible --name "Orvek - Details" | head -n1)
xdotool windowsize "$det" 900 360
xdotool windowfocus --sync "$det" key alt+a
sleep $((secs - 5))
import -window "$det" "$out"
cat "$work/orvek.out"
