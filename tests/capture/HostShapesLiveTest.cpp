#include "HostShapes.h"
#include "NetNs.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

using namespace orvektest;
using namespace std::chrono_literals;

namespace {

using Sources = std::set<std::string>;

// The wire size of one UDP datagram of nPayload bytes.
uint64_t Frame(bool bIPv6, uint64_t nPayload) {
    return 14 + (bIPv6 ? 40 : 20) + 8 + nPayload;
}

// An uplink and a bridge of containers behind it, as on a host that runs containers.
class HostShapesLive : public testing::Test {
protected:
    static std::string Internet(bool bIPv6) {
        return bIPv6 ? CUplink::kInternetIPv6 : CUplink::kInternetIPv4;
    }
    static std::string Container(size_t n, bool bIPv6) {
        return bIPv6 ? CContainerBridge::GetIPv6(n) : CContainerBridge::GetIPv4(n);
    }

    CUplink m_uplink;
    CContainerBridge m_bridge{3}; // the third is a bystander
};

TEST_F(HostShapesLive, ContainersReachTheInternetAsTheHost) {
    for (const bool bIPv6 : {false, true}) {
        SCOPED_TRACE(bIPv6 ? "IPv6" : "IPv4");
        const std::string strInternet = Internet(bIPv6);
        const auto pSink = MakeIn<CUdpSourceSink>(m_uplink.GetInternet(), strInternet, 7000);
        m_bridge.RunInContainer(1,
                                [&] { SendUdp(Container(1, bIPv6), strInternet, 7000, 100, 5); });
        EXPECT_EQ(pSink->WaitFor(5), 5u);
        EXPECT_EQ(pSink->GetSources(), Sources{bIPv6 ? CUplink::kHostIPv6 : CUplink::kHostIPv4});
        const auto pEcho = MakeIn<CTcpEcho>(m_uplink.GetInternet(), strInternet, 7001);
        m_bridge.RunInContainer(2, [&] { TcpExchange(strInternet, 7001, 200000); });
    }
}

TEST_F(HostShapesLive, HostAndContainersReachEachOther) {
    for (const bool bIPv6 : {false, true}) {
        SCOPED_TRACE(bIPv6 ? "IPv6" : "IPv4");
        const std::string strBridge =
            bIPv6 ? CContainerBridge::kBridgeIPv6 : CContainerBridge::kBridgeIPv4;
        // Host to container from the bridge's address, container to container unchanged: only
        // what leaves through the uplink is masqueraded.
        const auto pSink =
            MakeIn<CUdpSourceSink>(m_bridge.GetContainer(1), Container(1, bIPv6), 7002);
        SendUdp(strBridge, Container(1, bIPv6), 7002, 100, 3);
        EXPECT_EQ(pSink->WaitFor(3), 3u);
        m_bridge.RunInContainer(
            2, [&] { SendUdp(Container(2, bIPv6), Container(1, bIPv6), 7002, 100, 3); });
        EXPECT_EQ(pSink->WaitFor(6), 6u);
        EXPECT_EQ(pSink->GetSources(), (Sources{strBridge, Container(2, bIPv6)}));
        const auto pEcho = MakeIn<CTcpEcho>(m_bridge.GetContainer(2), Container(2, bIPv6), 7003);
        TcpExchange(Container(2, bIPv6), 7003, 200000);
    }
}

// Every link counts exactly the test's datagrams, each on the links of its path only: the kernel
// sends nothing of its own and the bridge floods nothing.
TEST_F(HostShapesLive, LinksCarryOnlyTheTestsTraffic) {
    // The kernel's link-up chatter (DAD, router solicitations, unsolicited MLD and IGMP reports)
    // would come within about a second of the links coming up; an idle spell lets it show.
    std::this_thread::sleep_for(3s);

    // Datagrams of distinct sizes per path, so that a misrouted one shows as a wrong sum.
    struct Flow {
        size_t nCount;
        uint64_t nBytes; // on the wire, all datagrams together
    };
    const auto flow = [](bool bIPv6, size_t nPayload, size_t nCount) {
        return Flow{nCount, nCount * Frame(bIPv6, nPayload)};
    };
    const Flow toInternet4 = flow(false, 100, 5), toInternet6 = flow(true, 200, 4),
               toHost = flow(false, 300, 3), toContainer = flow(true, 400, 2),
               between = flow(false, 50, 6);
    {
        const CPeerNs& internet = m_uplink.GetInternet();
        const auto pInternet4 = MakeIn<CUdpSink>(internet, CUplink::kInternetIPv4, 7000);
        const auto pInternet6 = MakeIn<CUdpSink>(internet, CUplink::kInternetIPv6, 7000);
        CUdpSink host(CUplink::kHostIPv4, 7001);
        const auto pContainer1 =
            MakeIn<CUdpSink>(m_bridge.GetContainer(1), Container(1, true), 7002);
        const auto pContainer2 =
            MakeIn<CUdpSink>(m_bridge.GetContainer(2), Container(2, false), 7003);
        // Each destination is sent to before it has sent anything itself, so that a bridge that
        // only learnt addresses would flood the first frames to the bystander, container 3.
        SendUdp(CContainerBridge::kBridgeIPv6, Container(1, true), 7002, 400, toContainer.nCount);
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
        EXPECT_EQ(pContainer1->WaitFor(toContainer.nCount), toContainer.nCount);
        EXPECT_EQ(pContainer2->WaitFor(between.nCount), between.nCount);
    }

    const auto sum = [](const Flow& a, const Flow& b) {
        return Flow{a.nCount + b.nCount, a.nBytes + b.nBytes};
    };
    const Flow outbound = sum(toInternet4, toInternet6);
    // The bridge counts what it receives without the Ethernet header.
    const Flow outboundAtBridge{outbound.nCount, outbound.nBytes - 14 * outbound.nCount};
    const auto expect = [](const IfCounters& c, const Flow& rx, const Flow& tx,
                           const std::string& strWhere) {
        EXPECT_EQ(c.nRxPackets, rx.nCount) << strWhere;
        EXPECT_EQ(c.nRxBytes, rx.nBytes) << strWhere;
        EXPECT_EQ(c.nTxPackets, tx.nCount) << strWhere;
        EXPECT_EQ(c.nTxBytes, tx.nBytes) << strWhere;
    };
    expect(ReadCounters(CUplink::kName), toHost, outbound, "up0");
    m_uplink.RunInInternet(
        [&] { expect(ReadCounters(CUplink::kPeerName), outbound, toHost, "isp0"); });
    expect(ReadCounters(CContainerBridge::kName), outboundAtBridge, toContainer, "br0");
    expect(ReadCounters(CContainerBridge::GetPortName(1)), sum(toInternet4, between), toContainer,
           "vethc1");
    expect(ReadCounters(CContainerBridge::GetPortName(2)), toInternet6, between, "vethc2");
    m_bridge.RunInContainer(1, [&] {
        expect(ReadCounters("eth0"), toContainer, sum(toInternet4, between), "container 1");
    });
    m_bridge.RunInContainer(
        2, [&] { expect(ReadCounters("eth0"), between, toInternet6, "container 2"); });
    const Flow none{0, 0};
    expect(ReadCounters(CContainerBridge::GetPortName(3)), none, none, "vethc3");
    m_bridge.RunInContainer(3, [&] { expect(ReadCounters("eth0"), none, none, "container 3"); });
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
