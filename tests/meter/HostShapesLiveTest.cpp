// The meter on real host shapes: an uplink to an internet behind NAT, a bridge of containers, a
// tun device and loopback, with TCP and UDP traffic of known sizes. Each packet of this host must
// be counted exactly once, where it leaves or enters the host with one of the host's addresses;
// what the host only forwards, bridges or keeps to itself must not be. The expected bytes come
// from the kernel's interface counters or from the packets' known sizes, never from Orvek.

#include "FakeMeterView.h"
#include "HostShapes.h"
#include "NetNs.h"
#include "OrvekMeter.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>

using namespace orvektest;

namespace {

using Bytes = std::pair<int64_t, int64_t>; // sent, received

Bytes operator+(const Bytes& a, const Bytes& b) {
    return {a.first + b.first, a.second + b.second};
}

// What the meter counts of an Ethernet device's traffic since base: the kernel's bytes less the
// 14-byte Ethernet header of each packet.
Bytes EthernetBytes(const std::string& strDevice, const IfCounters& base) {
    return {NetworkBytesSince(strDevice, base, true), NetworkBytesSince(strDevice, base, false)};
}

// The same for br0, whose receive counter leaves the Ethernet header out already (HostShapes.h).
Bytes BridgeBytes(const IfCounters& base) {
    const IfCounters now = ReadCounters(CContainerBridge::kName);
    return {NetworkBytesSince(CContainerBridge::kName, base, true),
            static_cast<int64_t>(now.nRxBytes - base.nRxBytes)};
}

// nCount UDP datagrams of nPayload bytes as IP packets, without a link header.
int64_t UdpBytes(bool bIPv6, size_t nPayload, size_t nCount) {
    return static_cast<int64_t>(nCount * ((bIPv6 ? 40 : 20) + 8 + nPayload));
}

// Where traffic starts or ends: a namespace (null: the host's own) and an address there.
struct Place {
    const CPeerNs* pNs;
    std::string strAddress;
};

void In(const Place& place, const std::function<void()>& fn) {
    place.pNs != nullptr ? place.pNs->RunIn(fn) : fn();
}

// The host with an uplink, a bridge of two containers and a fresh meter; the meter goes first.
class MeterShapesLive : public testing::Test {
protected:
    static constexpr size_t kDatagrams = 20, kPayload = 700, kTcpBytes = 100000;

    static Place Uplink(bool bIPv6) {
        return {nullptr, bIPv6 ? CUplink::kHostIPv6 : CUplink::kHostIPv4};
    }
    static Place Bridge(bool bIPv6) {
        return {nullptr, bIPv6 ? CContainerBridge::kBridgeIPv6 : CContainerBridge::kBridgeIPv4};
    }
    static Place Loopback(bool bIPv6) { return {nullptr, bIPv6 ? "::1" : "127.0.0.1"}; }
    Place Internet(bool bIPv6) const {
        return {&m_uplink.GetInternet(), bIPv6 ? CUplink::kInternetIPv6 : CUplink::kInternetIPv4};
    }
    Place Container(size_t n, bool bIPv6) const {
        return {&m_bridge.GetContainer(n),
                bIPv6 ? CContainerBridge::GetIPv6(n) : CContainerBridge::GetIPv4(n)};
    }

    // kDatagrams UDP datagrams from client to server and, with bReply, as many back; then, with
    // bTcp, a TCP connection from client to an echo at server that carries kTcpBytes each way.
    // Returns once every packet has passed every link on its way: the datagrams have arrived and
    // the server's end of the connection has seen the last acknowledgement.
    void Exchange(const Place& client, const Place& server, bool bReply = true, bool bTcp = true) {
        const uint16_t nPort = m_nNextPort;
        m_nNextPort += 2;
        std::unique_ptr<CUdpSink> pServerSink, pClientSink;
        std::unique_ptr<CTcpEcho> pEcho;
        In(server, [&] {
            pServerSink = std::make_unique<CUdpSink>(server.strAddress, nPort);
            pEcho = std::make_unique<CTcpEcho>(server.strAddress, nPort);
        });
        In(client, [&] {
            if (bReply) {
                pClientSink = std::make_unique<CUdpSink>(client.strAddress, nPort + 1);
            }
            SendUdp(client.strAddress, server.strAddress, nPort, kPayload, kDatagrams);
            if (bTcp) {
                TcpExchange(server.strAddress, nPort, kTcpBytes);
            }
        });
        EXPECT_EQ(pServerSink->WaitFor(kDatagrams), kDatagrams) << server.strAddress;
        if (bReply) {
            In(server, [&] {
                SendUdp(server.strAddress, client.strAddress, nPort + 1, kPayload, kDatagrams);
            });
            EXPECT_EQ(pClientSink->WaitFor(kDatagrams), kDatagrams) << client.strAddress;
        }
        In(server,
           [] { EXPECT_TRUE(WaitUntil([] { return ShOut("ss -Htn state last-ack").empty(); })); });
    }

    Bytes Totals() const { return {m_meter.GetSentBytes(), m_meter.GetRecvBytes()}; }
    // A device's state and counted bytes as the meter's snapshot shows them.
    std::pair<std::string, Bytes> Shown(const std::string& strDevice) const {
        for (const DeviceSnapshot& device : m_meter.GetSnapshot().devices) {
            if (device.strName == strDevice) {
                return {device.strState, {device.nSentBytes, device.nRecvBytes}};
            }
        }
        return {"not listed", {}};
    }
    // Waits until the device shows the state and bytes (capture threads count a little later than
    // the kernel), and checks it does.
    void ExpectShown(const std::string& strDevice, const std::string& strState,
                     const Bytes& bytes) {
        const std::pair<std::string, Bytes> expected{strState, bytes};
        WaitUntil([&] { return Shown(strDevice) == expected; });
        EXPECT_EQ(Shown(strDevice), expected) << strDevice << ": state, {sent, received}";
    }
    void ExpectTotals(const Bytes& bytes) {
        WaitUntil([&] { return Totals() == bytes; });
        EXPECT_EQ(Totals(), bytes) << "{sent, received}";
    }

    CUplink m_uplink;
    CContainerBridge m_bridge{2};
    CFakeView m_view;
    COrvekMeter m_meter{m_view};
    uint16_t m_nNextPort = 7100;
};

// A desktop with containers and a VPN-like tun: every path of the host's traffic, TCP and UDP,
// IPv4 and IPv6, both ways. Counted exactly once: what the host's addresses send and what is
// addressed to them, on up0, br0 and the tun. Not counted: the containers' traffic to and from
// the internet on br0 (forwarded; it counts on up0, where NAT gave it the host's address, so a
// container's upload is sent, never received), traffic between containers (bridged, never on
// br0), the ports vethcN and loopback.
//
// Expected, independently of Orvek: up0 carries only the host's own traffic (its own and the
// containers' after NAT), so it counts its kernel counters less 14 bytes a packet, over the whole
// test. br0 carries both the host's and forwarded traffic, so the host's own part is taken from
// its counters over a first phase in which only host<->container traffic crosses it (container
// and loopback traffic, which do not cross it, run then too); it receives without the Ethernet
// header (see BridgeBytes). The tun counts the known sizes of whole IP packets.
TEST_F(MeterShapesLive, DesktopHostCountsItsOwnTrafficOnceOnUplinkBridgeAndTun) {
    CTunDevice tun("vpn0", "10.62.0.1/24", "fd62::1/64");
    ASSERT_EQ(m_meter.StartCapture(), "");
    const IfCounters upBase = ReadCounters(CUplink::kName);
    const IfCounters bridgeBase = ReadCounters(CContainerBridge::kName);
    CUdpSink tunSink4("10.62.0.1", 7000), tunSink6("fd62::1", 7000);
    Bytes tunBytes;
    for (const bool bIPv6 : {false, true}) {
        SCOPED_TRACE(bIPv6 ? "IPv6, inside the host" : "IPv4, inside the host");
        Exchange(Bridge(bIPv6), Container(1, bIPv6));
        Exchange(Container(2, bIPv6), Bridge(bIPv6));
        Exchange(Container(1, bIPv6), Container(2, bIPv6));
        Exchange(Loopback(bIPv6), Loopback(bIPv6));
        // The tun's peer writes packets to the host; the host's packets to it are read back.
        const std::string strHere = bIPv6 ? "fd62::1" : "10.62.0.1";
        const std::string strPeer = bIPv6 ? "fd62::2" : "10.62.0.2";
        for (size_t i = 0; i < kDatagrams; ++i) {
            tun.Write(MakeUdpPacket(strPeer, strHere, 7001, 7000, kPayload));
        }
        SendUdp(strHere, strPeer, 7002, kPayload, kDatagrams);
        for (size_t i = 0; i < kDatagrams; ++i) {
            EXPECT_EQ(static_cast<int64_t>(tun.Read(20000).size()), UdpBytes(bIPv6, kPayload, 1));
        }
        tunBytes = tunBytes + Bytes{UdpBytes(bIPv6, kPayload, kDatagrams),
                                    UdpBytes(bIPv6, kPayload, kDatagrams)};
    }
    EXPECT_EQ(tunSink4.WaitFor(kDatagrams) + tunSink6.WaitFor(kDatagrams), 2 * kDatagrams);
    const Bytes bridgeOwn = BridgeBytes(bridgeBase);
    ExpectShown(CContainerBridge::kName, "capturing", bridgeOwn);

    for (const bool bIPv6 : {false, true}) {
        SCOPED_TRACE(bIPv6 ? "IPv6, to the internet" : "IPv4, to the internet");
        Exchange(Uplink(bIPv6), Internet(bIPv6));
        Exchange(Internet(bIPv6), Uplink(bIPv6));
        // Through NAT: the internet cannot start anything towards a container.
        Exchange(Container(1, bIPv6), Internet(bIPv6), false);
        Exchange(Container(2, bIPv6), Internet(bIPv6), false);
    }
    // The containers' traffic did cross br0, and more than the host's own.
    const Bytes bridgeAll = BridgeBytes(bridgeBase);
    EXPECT_GT(bridgeAll.first, bridgeOwn.first);
    EXPECT_GT(bridgeAll.second, bridgeOwn.second);

    const Bytes up = EthernetBytes(CUplink::kName, upBase);
    ExpectTotals(up + bridgeOwn + tunBytes);
    ExpectShown(CUplink::kName, "capturing", up);
    ExpectShown(CContainerBridge::kName, "capturing", bridgeOwn);
    ExpectShown(tun.GetName(), "capturing", tunBytes);
    ExpectShown(CContainerBridge::GetPortName(1), "bridge port", {});
    ExpectShown(CContainerBridge::GetPortName(2), "bridge port", {});
    ExpectShown("lo", "loopback", {});
}

// A device that joins a bridge while captured is closed at once: its link's traffic now crosses
// the bridge, which counts it; counting the port too would count it twice. Its addresses move to
// the bridge as they do when a bridge is set up. Leaving the bridge (the addresses back on the
// device) opens it again. Expected from the known datagram sizes: each batch is counted once each
// way, on the device while it is free and on br0 while it is a port.
TEST_F(MeterShapesLive, DeviceJoiningTheBridgeIsNoLongerCapturedAndLeavingItIsAgain) {
    CPeerNs peer;
    const LinkEnd here{"lan0", "10.63.0.1", "fd63::1"}, there{"lan0p", "10.63.0.2", "fd63::2"};
    MakeVethPair(peer, here, there);
    ASSERT_EQ(m_meter.StartCapture(), "");
    const int64_t nBatch =
        UdpBytes(false, kPayload, kDatagrams) + UdpBytes(true, kPayload, kDatagrams);
    // UDP only, kDatagrams each way per family: nBatch bytes to the host and nBatch from it.
    const auto batch = [&] {
        Exchange({&peer, there.strIPv4}, {nullptr, here.strIPv4}, true, false);
        Exchange({&peer, there.strIPv6}, {nullptr, here.strIPv6}, true, false);
    };
    // Moves the host's addresses of the link, with the peer's static neighbour entries, to dev.
    const auto moveAddresses = [&](const std::string& strFrom, const std::string& strTo) {
        ShOk("ip addr flush dev " + strFrom + " && ip addr add 10.63.0.1/24 dev " + strTo +
             " && ip addr add fd63::1/64 dev " + strTo +
             " nodad && for a in 10.63.0.2 fd63::2; do ip neigh replace $a lladdr "
             "02:00:5e:00:00:02 dev " + strTo + " nud permanent; done");
    };

    batch();
    ExpectShown(here.strName, "capturing", {nBatch, nBatch});

    ShOk("ip link set dev " + here.strName + " master " + CContainerBridge::kName +
         " && bridge fdb replace 02:00:5e:00:00:02 dev " + here.strName + " master static");
    moveAddresses(here.strName, CContainerBridge::kName);
    ASSERT_TRUE(WaitUntil([&] { return Shown(here.strName).first == "bridge port"; }));
    batch();
    ExpectShown(CContainerBridge::kName, "capturing", {nBatch, nBatch});
    ExpectShown(here.strName, "bridge port", {nBatch, nBatch});

    ShOk("ip link set dev " + here.strName + " nomaster");
    moveAddresses(CContainerBridge::kName, here.strName);
    ShOk("ip addr add 10.61.0.1/24 dev br0 && ip addr add fd61::1/64 dev br0 nodad");
    ASSERT_TRUE(WaitUntil([&] { return Shown(here.strName).first == "capturing"; }));
    batch();
    ExpectShown(here.strName, "capturing", {2 * nBatch, 2 * nBatch});
    ExpectTotals({3 * nBatch, 3 * nBatch});
}

// Promiscuous capture keeps the old rule: sent is decided by the source, everything else the
// devices see counts as received, whatever its destination. The containers' traffic to the
// internet and to each other (br0, in promiscuous mode, sees the bridged frames too) is none of
// the host's own, yet counts as received on br0, on top of what up0 counts after NAT.
// Expected: sent = up0's sent bytes (kernel counters less 14 a packet); received = up0's received
// bytes plus everything br0 carried in either direction (its counters, none of it from a host
// address). The host's own traffic alone would be up0's.
TEST_F(MeterShapesLive, PromiscuousCountsForwardedAndBridgedTrafficAsReceived) {
    m_meter.SetCaptureSettings(COrvekMeter::kDefaultFilter, true);
    ASSERT_EQ(m_meter.StartCapture(), "");
    const IfCounters upBase = ReadCounters(CUplink::kName);
    const IfCounters bridgeBase = ReadCounters(CContainerBridge::kName);
    for (const bool bIPv6 : {false, true}) {
        SCOPED_TRACE(bIPv6 ? "IPv6" : "IPv4");
        Exchange(Container(1, bIPv6), Internet(bIPv6), false);
        Exchange(Container(2, bIPv6), Internet(bIPv6), false);
        Exchange(Container(1, bIPv6), Container(2, bIPv6));
    }
    const Bytes up = EthernetBytes(CUplink::kName, upBase);
    const Bytes bridge = BridgeBytes(bridgeBase);
    // br0 received the frames between the containers too, not only their uploads.
    EXPECT_GT(bridge.second, up.first);
    ExpectTotals({up.first, up.second + bridge.first + bridge.second});
    ExpectShown(CContainerBridge::kName, "capturing", {0, bridge.first + bridge.second});
    ExpectShown(CContainerBridge::GetPortName(1), "bridge port", {});
}

} // namespace
