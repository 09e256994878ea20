#include "HostShapes.h"

namespace orvektest {

namespace {

// Shell functions for the set-up (NetNs.h's quiet_up and neigh at hand), with the addresses of
// the header; hardware addresses on the bridge's network end in the host's number.
//
// make_bridge (on the host) makes br0 with its NAT; port N NETNS (on the host) makes container
// N's veth into NETNS and joins it to br0 (without IPv6 it has no address to announce; it carries
// frames only); container N OTHER (in the container) brings its eth0 up.
const char* const g_szFunctions = R"(
make_bridge() {
    ip link add br0 address 02:00:5e:00:61:01 type bridge stp_state 0 forward_delay 0 \
        mcast_snooping 0
    quiet_up br0
    ip addr add 10.61.0.1/24 dev br0
    ip addr add fd61::1/64 dev br0 nodad
    nft -f - <<'EOF'
table inet orvek_masquerade {
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        oifname "up0" ip saddr 10.61.0.0/24 masquerade
        oifname "up0" ip6 saddr fd61::/64 masquerade
    }
}
EOF
}
port() {
    ip link add vethc$1 type veth peer name eth0 address 02:00:5e:00:61:1$1 netns $2
    sysctl -qw net.ipv6.conf.vethc$1.disable_ipv6=1
    ip link set dev vethc$1 master br0 multicast off arp off up
    bridge link set dev vethc$1 flood off mcast_flood off
    bridge fdb replace 02:00:5e:00:61:1$1 dev vethc$1 master static
    neigh br0 02:00:5e:00:61:1$1 10.61.0.1$1 fd61::1$1
}
container() {
    quiet_up eth0
    ip addr add 10.61.0.1$1/24 dev eth0
    ip addr add fd61::1$1/64 dev eth0 nodad
    neigh eth0 02:00:5e:00:61:01 10.61.0.1 fd61::1
    neigh eth0 02:00:5e:00:61:1$2 10.61.0.1$2 fd61::1$2
    ip route add default via 10.61.0.1 dev eth0
    ip -6 route add default via fd61::1 dev eth0
}
)";

// Deletes what the host holds of the shape (the peers' ends go with their namespaces) and stops
// forwarding; steps that were never made fail quietly.
void Undo() {
    Sh("nft delete table inet orvek_masquerade; for d in up0 br0 vethc1 vethc2; do ip link del $d; "
       "done; sysctl -qw net.ipv4.ip_forward=0 net.ipv6.conf.all.forwarding=0");
}

} // namespace

std::string ShapeAddress(int nNet, int nHost, bool bIPv6) {
    return bIPv6 ? "fd" + std::to_string(nNet) + "::" + std::to_string(nHost)
                 : "10." + std::to_string(nNet) + ".0." + std::to_string(nHost);
}

CDesktopShape::CDesktopShape() try {
    // all.forwarding also sets default.forwarding, which then goes back off (see the header).
    SetUpOrThrow("sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1 "
                 "net.ipv6.conf.default.forwarding=0");
    MakeVethPair(m_internet, {kUplink, "10.60.0.1", "fd60::1"}, {"isp0", "10.60.0.2", "fd60::2"});
    SetUpOrThrow(g_szFunctions + std::string("ip route add default via 10.60.0.2 dev up0\n") +
                 "ip -6 route add default via fd60::2 dev up0\nmake_bridge\nport 1 " +
                 m_containers[0].GetPath() + "\nport 2 " + m_containers[1].GetPath());
    m_containers[0].RunIn([] { SetUpOrThrow(g_szFunctions + std::string("container 1 2")); });
    m_containers[1].RunIn([] { SetUpOrThrow(g_szFunctions + std::string("container 2 1")); });
} catch (...) {
    Undo();
    throw;
}

CDesktopShape::~CDesktopShape() {
    Undo();
}

} // namespace orvektest
