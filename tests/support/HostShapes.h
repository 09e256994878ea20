#pragma once

// Shapes of real hosts for live tests, built in the calling thread's namespace (the "host",
// normally the test process's own) with anonymous peer namespaces: an uplink to an "internet"
// and a bridge of containers behind NAT. Build and destroy them on the same thread. The links
// carry only the traffic a test makes, so tests can expect exact interface counters.
//
// Frame sizes for those expectations: a UDP datagram of P payload bytes is 14 + 20 + 8 + P bytes
// on the wire over IPv4 and 14 + 40 + 8 + P over IPv6, on every link it crosses (NAT changes no
// size). The one exception is br0's receive counter (see CContainerBridge).

#include "NetNs.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace orvektest {

// Runs a shell command on destruction, in the destroying thread's namespace: undoes set-up steps
// even when a later one throws.
class CShellUndo {
public:
    explicit CShellUndo(std::string strCommand) : m_strCommand(std::move(strCommand)) {}
    CShellUndo(const CShellUndo&) = delete;
    CShellUndo& operator=(const CShellUndo&) = delete;
    ~CShellUndo();

private:
    std::string m_strCommand;
};

// The host's way out: veth "up0" in the host to "isp0" in an anonymous "internet" namespace,
// 10.60.0.1/24 and fd60::1/64 on the host, .2 and ::2 in the internet; the host's default routes
// (IPv4 and IPv6) lead there, and the host forwards (net.ipv4.ip_forward=1,
// net.ipv6.conf.all.forwarding=1; restored on destruction). Made quiet by MakeVethPair.
//
// Kernel traffic: none remains. Forwarding would add some: a link that registers while IPv6
// forwarding is on and multicast is on joins the all-routers group ff02::2 and reports it with
// two MLD reports when it comes up (90-byte frames, on up0 and on every later link). So new links
// register with forwarding off (net.ipv6.conf.default.forwarding=0): the kernel forwards by
// net.ipv6.conf.all.forwarding alone. Links that exist before, which that switch turns to
// forwarding, stay quiet when they have multicast off, as MakeVethPair's do. The internet has no
// route to the containers' networks: it sees them only as the host, through NAT.
class CUplink {
public:
    static constexpr const char* kName = "up0";
    static constexpr const char* kPeerName = "isp0";
    static constexpr const char* kHostIPv4 = "10.60.0.1";
    static constexpr const char* kHostIPv6 = "fd60::1";
    static constexpr const char* kInternetIPv4 = "10.60.0.2";
    static constexpr const char* kInternetIPv6 = "fd60::2";

    // Throws std::runtime_error when a step fails, having undone the ones before.
    CUplink();
    CUplink(const CUplink&) = delete;
    CUplink& operator=(const CUplink&) = delete;

    const CPeerNs& GetInternet() const { return m_internet; }
    void RunInInternet(const std::function<void()>& fn) const { m_internet.RunIn(fn); }

private:
    CPeerNs m_internet;
    CShellUndo m_undo; // deletes up0 (its routes go with it), restores forwarding
};

// A bridge "br0" on the host with 10.61.0.1/24 and fd61::1/64, and containers 1..N, each an
// anonymous namespace joined by a veth: "vethcN" on the host, a port of br0, "eth0" in the
// container with 10.61.0.(10+N)/24 and fd61::(10+N)/64 and default routes via the bridge's
// addresses. The host masquerades 10.61.0.0/24 and fd61::/64 leaving through up0 (nft table
// "orvek_masquerade"), so with a CUplink the containers reach the internet as the host does.
//
// Quiet: no link-local addresses, router solicitation, DAD, ARP or multicast on br0 and the
// containers' eth0; IPv6 off on the ports; static neighbours between all of them and static
// bridge entries for the containers, flooding off on the ports, so a frame reaches only its
// destination's port; STP and multicast snooping off (no hellos, no queries), forwarding delay 0.
// Kernel traffic: none remains.
//
// Counters: br0 counts received frames without their 14-byte Ethernet header (the bridge has
// taken it off before counting) and sent frames with it; ports and eth0 count whole frames.
// Traffic between two containers crosses their ports and eth0 but not br0.
class CContainerBridge {
public:
    static constexpr const char* kName = "br0";
    static constexpr const char* kBridgeIPv4 = "10.61.0.1";
    static constexpr const char* kBridgeIPv6 = "fd61::1";

    // nContainers from 1 to 99. Throws std::runtime_error when a step fails, having undone the
    // ones before.
    explicit CContainerBridge(size_t nContainers);
    CContainerBridge(const CContainerBridge&) = delete;
    CContainerBridge& operator=(const CContainerBridge&) = delete;

    // Containers are numbered from 1.
    static std::string GetIPv4(size_t nContainer);
    static std::string GetIPv6(size_t nContainer);
    static std::string GetPortName(size_t nContainer); // "vethcN", on the host
    size_t GetCount() const { return m_containers.size(); }
    const CPeerNs& GetContainer(size_t nContainer) const { return m_containers.at(nContainer - 1); }
    void RunInContainer(size_t nContainer, const std::function<void()>& fn) const {
        GetContainer(nContainer).RunIn(fn);
    }

private:
    std::vector<CPeerNs> m_containers;
    CShellUndo m_undo; // deletes the table, br0 and the ports
};

// Constructs a T (a sink, an echo server) in peerNs, where its socket stays bound.
template <class T, class... Args> std::unique_ptr<T> MakeIn(const CPeerNs& peerNs, Args&&... args) {
    std::unique_ptr<T> pMade;
    peerNs.RunIn([&] { pMade = std::make_unique<T>(std::forward<Args>(args)...); });
    return pMade;
}

// A UDP receiver, like CUdpSink, that also records where datagrams came from: shows what NAT
// made of their source.
class CUdpSourceSink {
public:
    CUdpSourceSink(const std::string& strAddress, uint16_t nPort);
    CUdpSourceSink(const CUdpSourceSink&) = delete;
    CUdpSourceSink& operator=(const CUdpSourceSink&) = delete;
    ~CUdpSourceSink();

    // Waits (up to a generous bound) until nCount datagrams have arrived; returns how many did.
    size_t WaitFor(size_t nCount);
    // Source addresses in numeric form, without ports.
    std::set<std::string> GetSources() const;

private:
    void Serve();

    CZarnFd m_fdSocket;
    CZarnEvent m_stopEvent;
    mutable std::mutex m_mtx;
    std::set<std::string> m_sources; // guarded by m_mtx
    std::atomic<size_t> m_nReceived{0};
    std::thread m_worker; // last: starts once everything it uses exists
};

} // namespace orvektest
