#pragma once

// The shape of a real desktop host for live tests, built in the calling thread's namespace (the
// "host", normally the test process's own) with anonymous peer namespaces: an uplink to an
// "internet" and a bridge of two containers behind NAT. Build and destroy it on the same thread.
// The links carry only the traffic a test makes, so tests can expect exact interface counters.
//
// Frame sizes for those expectations: a UDP datagram of P payload bytes is 14 + 20 + 8 + P bytes
// on the wire over IPv4 and 14 + 40 + 8 + P over IPv6, on every link it crosses (NAT changes no
// size). The one exception is br0's receive counter (see below).

#include "NetNs.h"

#include <string>

namespace orvektest {

// The shapes' addresses: 10.N.0.H over IPv4, fdN::H over IPv6.
std::string ShapeAddress(int nNet, int nHost, bool bIPv6);

// The uplink: veth "up0" in the host to "isp0" in the internet namespace, network kUplinkNet with
// the host at 1 and the internet at 2; the host's default routes (IPv4 and IPv6) lead there, and
// the host forwards (net.ipv4.ip_forward=1, net.ipv6.conf.all.forwarding=1; back to the private
// namespace's 0 on destruction). Made quiet by MakeVethPair. The internet has no route to the
// containers' network: it sees them only as the host, through NAT.
//
// Kernel traffic on it: none remains. Forwarding would add some: a link that registers while IPv6
// forwarding is on and multicast is on joins the all-routers group ff02::2 and reports it with
// two MLD reports when it comes up (90-byte frames, on up0 and on every later link). So new links
// register with forwarding off (net.ipv6.conf.default.forwarding=0): the kernel forwards by
// net.ipv6.conf.all.forwarding alone. Links that exist before, which that switch turns to
// forwarding, stay quiet when they have multicast off, as MakeVethPair's do.
//
// The bridge: "br0" on the host, network kBridgeNet with the bridge at 1 and container N (1 or 2)
// at 10 + N, each container an anonymous namespace joined by a veth: port "vethcN" of br0 on the
// host, "eth0" in the container with default routes via the bridge. The host masquerades the
// bridge's network leaving through up0 (nft table "orvek_masquerade"), so the containers reach the
// internet as the host does.
//
// Quiet: no link-local addresses, router solicitation, DAD, ARP or multicast on br0 and the
// containers' eth0; IPv6 off on the ports; static neighbours between all of them and static
// bridge entries for the containers, flooding off on the ports, so a frame reaches only its
// destination's port; STP and multicast snooping off (no hellos, no queries), forwarding delay 0.
// Kernel traffic on it: none remains.
//
// Counters: br0 counts received frames without their 14-byte Ethernet header (the bridge has
// taken it off before counting) and sent frames with it; ports and eth0 count whole frames.
// Traffic between two containers crosses their ports and eth0 but not br0 (unless br0 is
// promiscuous, which passes it up to br0 too).
struct CDesktopShape {
    static constexpr const char* kUplink = "up0";
    static constexpr const char* kBridge = "br0";
    static constexpr int kUplinkNet = 60, kBridgeNet = 61;

    // Throws std::runtime_error when a step fails, having undone the ones before.
    CDesktopShape();
    ~CDesktopShape();
    CDesktopShape(const CDesktopShape&) = delete;
    CDesktopShape& operator=(const CDesktopShape&) = delete;

    static std::string PortName(size_t nContainer) { return "vethc" + std::to_string(nContainer); }

    CPeerNs m_internet;
    CPeerNs m_containers[2]; // container N is m_containers[N - 1]
};

} // namespace orvektest
