#include "HostShapes.h"
#include "NetNs.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

using namespace orvektest;
using namespace std::chrono_literals;

namespace {

using Sources = std::set<std::string>;

// Datagrams of one path, and their bytes on the wire.
struct Flow {
    size_t nCount = 0;
    uint64_t nBytes = 0;
};

Flow MakeFlow(bool bIPv6, size_t nPayload, size_t nCount) {
    return {nCount, nCount * (14 + (bIPv6 ? 40 : 20) + 8 + nPayload)};
}

Flow Sum(std::initializer_list<Flow> flows) {
    Flow total;
    for (const Flow& flow : flows) {
        total = {total.nCount + flow.nCount, total.nBytes + flow.nBytes};
    }
    return total;
}

void ExpectCounters(const std::string& strInterface, const Flow& rx, const Flow& tx,
                    const std::string& strWhere = "the host") {
    const IfCounters c = ReadCounters(strInterface);
    EXPECT_EQ(std::tuple(c.nRxPackets, c.nRxBytes, c.nTxPackets, c.nTxBytes),
              std::tuple(rx.nCount, rx.nBytes, tx.nCount, tx.nBytes))
        << strInterface << " in " << strWhere << ": received packets, bytes; sent packets, bytes";
}

// An uplink and a bridge of containers behind it, as on a host that runs containers.
class HostShapesLive : public testing::Test {
protected:
    static std::string Container(size_t n, bool bIPv6) {
        return bIPv6 ? CContainerBridge::GetIPv6(n) : CContainerBridge::GetIPv4(n);
    }

    CUplink m_uplink;
    CContainerBridge m_bridge{3}; // the third is a bystander
};

// Every link counts exactly the test's datagrams, each on the links of its path only: the kernel
// sends nothing of its own and the bridge floods nothing. The internet sees the containers as the
// host; the containers see the host and each other as themselves.
TEST_F(HostShapesLive, LinksCarryOnlyTheTestsTraffic) {
    // The kernel's link-up chatter (DAD, router solicitations, unsolicited MLD and IGMP reports)
    // would come within about a second of the links coming up; an idle spell lets it show.
    std::this_thread::sleep_for(3s);

    // Distinct sizes per path, so that a misrouted datagram shows as a wrong sum.
    const Flow toInternet4 = MakeFlow(false, 100, 5), toInternet6 = MakeFlow(true, 200, 4),
               toHost = MakeFlow(false, 300, 3), toContainer6 = MakeFlow(true, 400, 2),
               toContainer4 = MakeFlow(false, 500, 1), between = MakeFlow(false, 50, 6);
    {
        const CPeerNs& internet = m_uplink.GetInternet();
        const auto pInternet4 = MakeIn<CUdpSourceSink>(internet, CUplink::kInternetIPv4, 7000);
        const auto pInternet6 = MakeIn<CUdpSourceSink>(internet, CUplink::kInternetIPv6, 7000);
        CUdpSink host(CUplink::kHostIPv4, 7001);
        const auto pContainer1 =
            MakeIn<CUdpSink>(m_bridge.GetContainer(1), Container(1, true), 7002);
        const auto pContainer2 =
            MakeIn<CUdpSourceSink>(m_bridge.GetContainer(2), Container(2, false), 7003);
        // Each container is sent to before it has sent anything itself, so that a bridge that
        // only learnt addresses would flood the first frames to the bystander, container 3.
        SendUdp(CContainerBridge::kBridgeIPv6, Container(1, true), 7002, 400, toContainer6.nCount);
        SendUdp(CContainerBridge::kBridgeIPv4, Container(2, false), 7003, 500, toContainer4.nCount);
        m_bridge.RunInContainer(1, [&] {
            SendUdp(Container(1, false), Container(2, false), 7003, 50, between.nCount);
            SendUdp(Container(1, false), CUplink::kInternetIPv4, 7000, 100, toInternet4.nCount);
        });
        m_bridge.RunInContainer(2, [&] {
            SendUdp(Container(2, true), CUplink::kInternetIPv6, 7000, 200, toInternet6.nCount);
        });
        m_uplink.RunInInternet(
            [&] { SendUdp(CUplink::kInternetIPv4, CUplink::kHostIPv4, 7001, 300, toHost.nCount); });
        // Once all have arrived, every link on the way has counted them.
        EXPECT_EQ(pInternet4->WaitFor(toInternet4.nCount), toInternet4.nCount);
        EXPECT_EQ(pInternet6->WaitFor(toInternet6.nCount), toInternet6.nCount);
        EXPECT_EQ(host.WaitFor(toHost.nCount), toHost.nCount);
        EXPECT_EQ(pContainer1->WaitFor(toContainer6.nCount), toContainer6.nCount);
        const size_t nToContainer2 = between.nCount + toContainer4.nCount;
        EXPECT_EQ(pContainer2->WaitFor(nToContainer2), nToContainer2);
        EXPECT_EQ(pInternet4->GetSources(), Sources{CUplink::kHostIPv4});
        EXPECT_EQ(pInternet6->GetSources(), Sources{CUplink::kHostIPv6});
        EXPECT_EQ(pContainer2->GetSources(),
                  (Sources{CContainerBridge::kBridgeIPv4, Container(1, false)}));
    }

    const Flow outbound = Sum({toInternet4, toInternet6}), none;
    ExpectCounters(CUplink::kName, toHost, outbound);
    m_uplink.RunInInternet(
        [&] { ExpectCounters(CUplink::kPeerName, outbound, toHost, "the internet"); });
    // The bridge counts what it receives without the Ethernet header.
    ExpectCounters(CContainerBridge::kName,
                   {outbound.nCount, outbound.nBytes - 14 * outbound.nCount},
                   Sum({toContainer6, toContainer4}));
    ExpectCounters(CContainerBridge::GetPortName(1), Sum({toInternet4, between}), toContainer6);
    ExpectCounters(CContainerBridge::GetPortName(2), toInternet6, Sum({between, toContainer4}));
    ExpectCounters(CContainerBridge::GetPortName(3), none, none);
    m_bridge.RunInContainer(1, [&] {
        ExpectCounters("eth0", toContainer6, Sum({toInternet4, between}), "container 1");
    });
    m_bridge.RunInContainer(2, [&] {
        ExpectCounters("eth0", Sum({between, toContainer4}), toInternet6, "container 2");
    });
    m_bridge.RunInContainer(3, [&] { ExpectCounters("eth0", none, none, "container 3"); });
}

// Connections pass NAT and the bridge both ways.
TEST_F(HostShapesLive, TcpThroughNatAndBridge) {
    for (const bool bIPv6 : {false, true}) {
        SCOPED_TRACE(bIPv6 ? "IPv6" : "IPv4");
        const std::string strInternet = bIPv6 ? CUplink::kInternetIPv6 : CUplink::kInternetIPv4;
        const auto pInternet = MakeIn<CTcpEcho>(m_uplink.GetInternet(), strInternet, 7004);
        m_bridge.RunInContainer(1, [&] { TcpExchange(strInternet, 7004, 200000); });
        const auto pContainer =
            MakeIn<CTcpEcho>(m_bridge.GetContainer(2), Container(2, bIPv6), 7005);
        TcpExchange(Container(2, bIPv6), 7005, 200000);
    }
}

// A shape that fails half-way leaves nothing behind, and a whole one restores what it changed.
TEST(HostShapesUndo, HalfMadeAndWholeShapesLeaveNothing) {
    const std::string strForwarding =
        ShOut("sysctl -n net.ipv4.ip_forward net.ipv6.conf.all.forwarding "
              "net.ipv6.conf.default.forwarding");
    { const CUplink uplink; }
    EXPECT_EQ(ShOut("sysctl -n net.ipv4.ip_forward net.ipv6.conf.all.forwarding "
                    "net.ipv6.conf.default.forwarding"),
              strForwarding);
    EXPECT_NE(Sh("ip link show up0"), 0);

    // The second container's port name is taken, so building stops there.
    ShOk("ip link add vethc2 type veth peer name vethc2x");
    EXPECT_THROW(CContainerBridge(2), std::runtime_error);
    Sh("ip link del vethc2");
    EXPECT_EQ(ShOut("ip -o link show | grep -c -e br0 -e vethc"), "0\n");
    EXPECT_NE(Sh("nft list table inet orvek_masquerade"), 0);
}

} // namespace
