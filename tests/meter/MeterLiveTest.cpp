// The meter end to end, capturing live in this process's private namespace: on a veth pair and tun
// devices, and on real host shapes: an uplink to an internet behind NAT, a bridge of containers,
// a tun device and loopback, with TCP and UDP traffic of known sizes. Each packet of this host must
// be counted exactly once, where it leaves or enters the host with one of the host's addresses;
// what the host only forwards, bridges or keeps to itself must not be. The expected bytes come
// from the kernel's interface counters or from the packets' known sizes, never from Orvek.

#include "AdapterManager.h"
#include "FakeMeterView.h"
#include "HostShapes.h"
#include "NetNs.h"
#include "OrvekMeter.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <functional>
#include <linux/udp.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <pcap/dlt.h>
#include <string>
#include <thread>
#include <utility>

using namespace orvektest;

namespace {

using Bytes = std::pair<int64_t, int64_t>; // sent, received

// Waits until the TCP connections of this namespace, and of pPeer's if given, have closed, so
// that the kernel's counters hold their last packets.
void ExpectConnectionsClosed(const CPeerNs* pPeer = nullptr) {
    const auto closed = [] {
        EXPECT_TRUE(WaitUntil([] { return ShOut("ss -Htn state last-ack").empty(); }));
    };
    closed();
    if (pPeer != nullptr) {
        pPeer->RunIn(closed);
    }
}

// A fresh meter per test; its destruction stops capture. Nothing serves the display: the totals
// are what is checked here.
class MeterLive : public testing::Test {
protected:
    // Waits until the totals are bytes (capture threads count a little later than the kernel),
    // and checks they are.
    void ExpectTotals(const Bytes& bytes) {
        const auto totals = [this] {
            return Bytes{m_meter.GetSentBytes(), m_meter.GetRecvBytes()};
        };
        WaitUntil([&] { return totals() == bytes; });
        EXPECT_EQ(totals(), bytes) << "{sent, received}";
    }

    CFakeView m_view;
    CAdapterManager m_manager;
    COrvekMeter m_meter{m_view, m_manager, m_manager};
};

// One device refusing the filter (a tun has no Ethernet header) never stops the others: Capture
// names it with libpcap's text and the veth counts. A tun that appears while capturing fails
// once, is reported once and not opened again and again by the link news that opening it in
// promiscuous mode causes; the monitor goes on following address changes.
TEST_F(MeterLive, DeviceThatRefusesTheFilterIsSkippedReportedOnceAndNotRetried) {
    CPeerNs peer;
    MakeVethPair(peer, {"mvf", "10.76.0.1", ""}, {"mvg", "10.76.0.2", ""});
    CTunDevice tun("mtf", "10.75.0.1/24", "");
    const std::string strFilter = "ether host 02:00:5e:00:00:02";
    const std::string strRefused = PcapFilterError(strFilter, DLT_RAW);
    m_meter.SetCaptureSettings(strFilter, true);
    EXPECT_EQ(m_meter.StartCapture(), "mtf: " + strRefused);
    CUdpSink sink("10.76.0.1", 7100);
    const IfCounters base = ReadCounters("mvf");
    peer.RunIn([] { SendUdp("10.76.0.2", "10.76.0.1", 7100, 300, 20); });
    EXPECT_EQ(sink.WaitFor(20), 20u);
    ExpectTotals({0, NetworkBytesSince("mvf", base, false)});

    // The monitor sees the new tun, fails it once and reports it once; counting the link news
    // about it shows it is not opened over and over.
    CChildProcess monitor({"ip", "-o", "monitor", "link", "dev", "mtg"});
    CTunDevice late("mtg", "10.74.0.1/24", "");
    ASSERT_TRUE(WaitUntil([&] { return m_view.GetMessages().size() == 1; }));
    ShOk("ip addr add 10.76.0.9/24 dev mvf");
    ASSERT_TRUE(WaitUntil([&] { return IsLocal(*m_manager.ShareAddressTable(), "10.76.0.9"); }));
    std::this_thread::sleep_for(std::chrono::seconds(1)); // time for a spin to show
    EXPECT_EQ(m_view.GetMessages(), std::vector<Texts>({{"mtg: " + strRefused, "Exception"}}));
    monitor.Signal(SIGTERM);
    monitor.Wait();
    const std::string strNews = monitor.GetStdout();
    EXPECT_LE(std::count(strNews.begin(), strNews.end(), '\n'), 6) << strNews;
}

// No link header on a tun: a packet written to it is received, one the host routes into it is
// sent, each counted whole. A stop and a start keep both totals, and addresses the host gains
// while capturing turn the packets from them into sent traffic.
TEST_F(MeterLive, TunCountsWholePacketsAcrossRestartAndAddressChanges) {
    CTunDevice tun("mtun", "10.78.0.1/24", "fd78::1/64");
    const std::pair<std::string, std::string> ends[] = {{"10.78.0.1", "10.78.0.2"},
                                                        {"fd78::1", "fd78::2"}}; // here, peer
    CUdpSink sink4(ends[0].first, 7300), sink6(ends[1].first, 7300);
    const int64_t nBoth = (20 + 8 + 500) + (40 + 8 + 500); // one packet of each family, whole
    size_t nExchanges = 0;
    // One packet each way per family, all past the capture point when this returns.
    const auto exchange = [&] {
        ++nExchanges;
        for (const auto& [strHere, strPeer] : ends) {
            tun.Write(MakeUdpPacket(strPeer, strHere, 7301, 7300, 500));
            SendUdp(strHere, strPeer, 7302, 500, 1);
        }
        EXPECT_EQ(static_cast<int64_t>(tun.Read(20000).size() + tun.Read(20000).size()), nBoth);
        EXPECT_EQ(sink4.WaitFor(nExchanges) + sink6.WaitFor(nExchanges), 2 * nExchanges);
    };
    m_meter.StartCapture();
    exchange();
    ExpectTotals({nBoth, nBoth});
    m_meter.StopCapture();
    exchange();             // nobody captures this one
    m_meter.StartCapture(); // on top of the kept totals
    exchange();
    ExpectTotals({2 * nBoth, 2 * nBoth});

    const auto fromGained = [&] {
        tun.Write(MakeUdpPacket("10.78.0.9", "10.78.0.1", 7401, 7300, 500));
        tun.Write(MakeUdpPacket("fd78::9", "fd78::1", 7401, 7300, 500));
    };
    fromGained();
    ExpectTotals({2 * nBoth, 3 * nBoth});
    ShOk("ip addr add 10.78.0.9/32 dev " + tun.GetName() +
         " && ip addr add fd78::9/128 nodad dev " + tun.GetName());
    ASSERT_TRUE(WaitUntil([&] {
        return IsLocal(*m_manager.ShareAddressTable(), "10.78.0.9") &&
               IsLocal(*m_manager.ShareAddressTable(), "fd78::9");
    }));
    fromGained();
    ExpectTotals({3 * nBoth, 3 * nBoth});
}

// Offloads merge a bulk transfer's segments into packets of up to 64 KiB (TSO and GSO when
// sending, GRO when receiving), each captured with one set of headers where the wire carries one
// per segment. They count as their segments: TCP both ways, IPv4 and IPv6, and a UDP upload of
// full-size segments (UDP_SEGMENT) count within 0.2 % of the same transfers with offloads off,
// which count exactly what the kernel's counters say.
TEST_F(MeterLive, OffloadedTransfersCountAsTheSegmentsOnTheWire) {
    CPeerNs peer;
    MakeVethPair(peer, {"mo0", "10.79.0.1", "fd79::1"}, {"mo1", "10.79.0.2", "fd79::2"});
    constexpr size_t kBytes = 8 << 20;
    constexpr uint32_t kPace = 50 << 20; // bytes a second: the capture's ring keeps up
    CTcpSink sink4("10.79.0.1", 7500), sink6("fd79::1", 7500);
    std::unique_ptr<CTcpSink> pPeer4, pPeer6;
    std::unique_ptr<CUdpSink> pPeerUdp;
    peer.RunIn([&] {
        pPeer4 = std::make_unique<CTcpSink>("10.79.0.2", 7500);
        pPeer6 = std::make_unique<CTcpSink>("fd79::2", 7500);
        pPeerUdp = std::make_unique<CUdpSink>("10.79.0.2", 7501);
    });
    size_t nDatagrams = 0;
    const auto udpUpload = [&] {
        const CZarnFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in to{AF_INET, htons(7501), {}, {}};
        inet_pton(AF_INET, "10.79.0.2", &to.sin_addr);
        const int nSegment = 1472; // full-size: the MTU less IPv4 and UDP headers
        ASSERT_EQ(setsockopt(fd.Get(), IPPROTO_UDP, UDP_SEGMENT, &nSegment, sizeof nSegment), 0);
        ASSERT_EQ(connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        // As many segments as one IPv4 packet's length can say.
        const std::vector<uint8_t> burst(40 * nSegment);
        for (size_t nSent = 0; nSent < kBytes; nSent += burst.size()) {
            ASSERT_EQ(send(fd.Get(), burst.data(), burst.size(), 0), ssize_t(burst.size()));
            nDatagrams += 40;
            std::this_thread::sleep_for(std::chrono::milliseconds(2)); // the pace, as above
        }
        EXPECT_EQ(pPeerUdp->WaitFor(nDatagrams), nDatagrams);
    };
    // Name, whether the meter's device sends the data, the transfer.
    const std::tuple<const char*, bool, std::function<void()>> transfers[] = {
        {"TCP upload", true, [&] { TcpSend("10.79.0.2", 7500, kBytes, kPace); }},
        {"TCP upload, IPv6", true, [&] { TcpSend("fd79::2", 7500, kBytes, kPace); }},
        {"TCP download", false,
         [&] { peer.RunIn([&] { TcpSend("10.79.0.1", 7500, kBytes, kPace); }); }},
        {"TCP download, IPv6", false,
         [&] { peer.RunIn([&] { TcpSend("fd79::1", 7500, kBytes, kPace); }); }},
        {"UDP upload", true, udpUpload},
    };
    // The totals once they stop moving (captures hand packets over within 100 ms).
    const auto settled = [this] {
        Bytes last{-1, -1};
        for (int nTry = 0; nTry < 100; ++nTry) {
            const Bytes now{m_meter.GetSentBytes(), m_meter.GetRecvBytes()};
            if (now == last) {
                break;
            }
            last = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        return last;
    };
    m_meter.StartCapture();
    // Offloads on both ends: off; all on; only GRO where the meter's device receives.
    const char* const modes[] = {"tso off gso off gro off tx-udp-segmentation off",
                                 "tso on gso on gro on tx-udp-segmentation on",
                                 "tso off gso off gro on tx-udp-segmentation off"};
    std::map<std::string, int64_t> offBytes;
    for (const char* szMode : modes) {
        const std::string strMode = szMode;
        ShOk("ethtool -K mo0 " + strMode);
        peer.RunIn([&] { ShOk("ethtool -K mo1 " + strMode); });
        for (const auto& [szName, bSent, fnTransfer] : transfers) {
            SCOPED_TRACE(std::string(szName) + ", " + szMode);
            const Bytes before = settled();
            const IfCounters base = ReadCounters("mo0");
            fnTransfer();
            const Bytes after = settled();
            const int64_t nCounted =
                bSent ? after.first - before.first : after.second - before.second;
            const int64_t nKernel = NetworkBytesSince("mo0", base, bSent);
            if (strMode == modes[0]) {
                EXPECT_EQ(nCounted, nKernel);
                offBytes[szName] = nCounted;
                continue;
            }
            // Merged packets, which the kernel counts with one set of headers, came.
            if (strMode == modes[1]) {
                EXPECT_LT(nKernel, nCounted * 998 / 1000);
            }
            EXPECT_NEAR(double(nCounted), double(offBytes[szName]), offBytes[szName] * 0.002);
        }
    }
}

// A macvlan device on the uplink: its frames cross the uplink too, whose capture shows them, so
// they count there once and the macvlan is shown counted on it. Exact both ways, TCP and UDP,
// with an address on the uplink and without one (the uplink is then captured for the macvlan's
// sake alone).
TEST_F(MeterLive, MacvlanOnTheUplinkCountsOnceOnTheUplink) {
    CPeerNs peer;
    MakeVethPair(peer, {"ms0", "10.80.0.1", ""}, {"ms1", "10.80.0.2", ""});
    // The macvlan's own network, which the peer's end also has.
    SetUpOrThrow("ip link add msv link ms0 address 02:00:5e:00:00:05 type macvlan mode bridge\n"
                 "quiet_up msv\nip addr add 10.81.0.1/24 dev msv\n"
                 "neigh msv 02:00:5e:00:00:02 10.81.0.2");
    peer.RunIn([] {
        SetUpOrThrow("ip addr add 10.81.0.2/24 dev ms1\nneigh ms1 02:00:5e:00:00:05 10.81.0.1");
    });
    CUdpSink hereSink("10.81.0.1", 7600);
    CTcpEcho echo("10.81.0.1", 7601);
    std::unique_ptr<CUdpSink> pPeerSink;
    peer.RunIn([&] { pPeerSink = std::make_unique<CUdpSink>("10.81.0.2", 7600); });
    m_meter.StartCapture();
    size_t nRound = 0;
    const auto exchange = [&] {
        ++nRound;
        const IfCounters base = ReadCounters("ms0");
        const Bytes before{m_meter.GetSentBytes(), m_meter.GetRecvBytes()};
        SendUdp("10.81.0.1", "10.81.0.2", 7600, 700, 20);
        peer.RunIn([] {
            SendUdp("10.81.0.2", "10.81.0.1", 7600, 700, 20);
            TcpExchange("10.81.0.1", 7601, 100000);
        });
        EXPECT_EQ(pPeerSink->WaitFor(20 * nRound), 20 * nRound);
        EXPECT_EQ(hereSink.WaitFor(20 * nRound), 20 * nRound);
        ExpectConnectionsClosed();
        ExpectTotals({before.first + NetworkBytesSince("ms0", base, true),
                      before.second + NetworkBytesSince("ms0", base, false)});
    };
    const auto shown = [&](const std::string& strDevice) {
        for (const DeviceSnapshot& device : m_meter.GetSnapshot().devices) {
            if (device.strName == strDevice) {
                return DescribeDeviceState(device) + " " + std::to_string(device.nSentBytes);
            }
        }
        return std::string("not listed");
    };
    exchange();
    EXPECT_EQ(shown("ms0"), "capturing " + std::to_string(m_meter.GetSentBytes()));
    EXPECT_EQ(shown("msv"), "counted on ms0 0");

    ShOk("ip addr flush dev ms0");
    ASSERT_TRUE(WaitUntil([&] { return !IsLocal(*m_manager.ShareAddressTable(), "10.80.0.1"); }));
    exchange();
    EXPECT_EQ(shown("ms0"), "capturing " + std::to_string(m_meter.GetSentBytes()));
    EXPECT_EQ(shown("msv"), "counted on ms0 0");
}

// A device of the meter's latest snapshot; an empty one when it is not listed.
DeviceSnapshot Shown(const COrvekMeter& meter, const std::string& strDevice) {
    for (DeviceSnapshot& device : meter.GetSnapshot().devices) {
        if (device.strName == strDevice) {
            return device;
        }
    }
    return {};
}

// A VXLAN overlay over a veth uplink: the overlay's packets leave inside UDP datagrams of the
// host, which count on the uplink, so that the totals are exactly what crossed the uplink, both
// ways. The VXLAN device is captured apart: it shows its inner traffic exactly as its own counters
// say, in no total, and its outer bytes (all of the uplink's here) 50 bytes a packet more (outer
// IPv4, UDP and VXLAN headers and the inner Ethernet header): its overhead. A macvlan stacked
// on the overlay is carried with it.
TEST_F(MeterLive, VxlanCountsOnceAsItsOuterPacketsOnTheUplinkAndShowsItsInnerTraffic) {
    CPeerNs peer;
    const LinkEnd hostEnd{"mx0", "10.82.0.1", ""}, peerEnd{"mx1", "10.82.0.2", ""};
    MakeVethPair(peer, hostEnd, peerEnd);
    MakeVxlanPair(peer, "mxv", 42, hostEnd, peerEnd, "10.83.0.1", "10.83.0.2");
    SetUpOrThrow("ip link add mxm link mxv type macvlan mode bridge\nquiet_up mxm\n"
                 "ip addr add 10.83.1.1/24 dev mxm");
    CUdpSink sink("10.83.0.1", 7700);
    CTcpEcho echo("10.83.0.1", 7701);
    std::unique_ptr<CUdpSink> pPeerSink;
    peer.RunIn([&] { pPeerSink = std::make_unique<CUdpSink>("10.83.0.2", 7700); });
    m_meter.StartCapture();
    const IfCounters base = ReadCounters("mx0"), baseOverlay = ReadCounters("mxv");
    SendUdp("10.83.0.1", "10.83.0.2", 7700, 700, 20);
    peer.RunIn([] {
        SendUdp("10.83.0.2", "10.83.0.1", 7700, 700, 20);
        TcpExchange("10.83.0.1", 7701, 100000);
    });
    EXPECT_EQ(pPeerSink->WaitFor(20), 20u);
    EXPECT_EQ(sink.WaitFor(20), 20u);
    ShOk("ping -q -c 3 -i 0.2 -W 5 10.83.0.2 >/dev/null"); // inside, what the filter leaves out
    ExpectConnectionsClosed();
    const Bytes uplink{NetworkBytesSince("mx0", base, true), NetworkBytesSince("mx0", base, false)};
    ExpectTotals(uplink);
    // A VXLAN device's counters leave the inner Ethernet header out already.
    const IfCounters overlayNow = ReadCounters("mxv");
    const Bytes inner{int64_t(overlayNow.nTxBytes - baseOverlay.nTxBytes),
                      int64_t(overlayNow.nRxBytes - baseOverlay.nRxBytes)};
    DeviceSnapshot shown;
    WaitUntil([&] {
        shown = Shown(m_meter, "mxv");
        return Bytes{shown.nInnerSentBytes, shown.nInnerRecvBytes} == inner &&
               Bytes{shown.nOuterSentBytes, shown.nOuterRecvBytes} == uplink;
    });
    EXPECT_EQ(DescribeDeviceState(shown), "carried inside mx0");
    EXPECT_EQ(Bytes(shown.nSentBytes, shown.nRecvBytes), Bytes(0, 0));
    EXPECT_EQ(Bytes(shown.nInnerSentBytes, shown.nInnerRecvBytes), inner) << "{sent, received}";
    EXPECT_TRUE(shown.bOuterKnown);
    EXPECT_EQ(Bytes(shown.nOuterSentBytes, shown.nOuterRecvBytes), uplink);
    EXPECT_EQ(Bytes(shown.nOuterSentBytes - shown.nInnerSentBytes,
                    shown.nOuterRecvBytes - shown.nInnerRecvBytes),
              Bytes(50 * shown.nInnerSentPackets, 50 * shown.nInnerRecvPackets));
    EXPECT_EQ(DescribeDeviceState(Shown(m_meter, "mxm")), "carried inside mx0: stacked on mxv");
}

// A tun device the user names a tunnel over a veth (a VPN whose program sends its packets over
// the veth, which Orvek cannot tell): captured, its inner packets shown whole and kept out of the
// totals, which are the veth's; nothing tells its outer packets, so its overhead is unknown. Said
// to be no tunnel again, it counts in the totals from then on.
TEST_F(MeterLive, TunnelTheUserNamesShowsItsInnerTrafficOutsideTheTotals) {
    CPeerNs peer;
    MakeVethPair(peer, {"mc0", "10.84.0.1", ""}, {"mc1", "10.84.0.2", ""});
    CTunDevice tun("mct", "10.85.0.1/24", "");
    CUdpSink sink("10.85.0.1", 7800);
    std::unique_ptr<CUdpSink> pPeerSink;
    peer.RunIn([&] { pPeerSink = std::make_unique<CUdpSink>("10.84.0.2", 7801); });
    constexpr int64_t nPacket = 20 + 8 + 500;
    size_t nRound = 0;
    // One packet each way through the tunnel, five datagrams over the veth.
    const auto exchange = [&] {
        ++nRound;
        tun.Write(MakeUdpPacket("10.85.0.2", "10.85.0.1", 7801, 7800, 500));
        SendUdp("10.85.0.1", "10.85.0.2", 7802, 500, 1);
        EXPECT_EQ(static_cast<int64_t>(tun.Read(20000).size()), nPacket);
        EXPECT_EQ(sink.WaitFor(nRound), nRound);
        SendUdp("10.84.0.1", "10.84.0.2", 7801, 700, 5);
        EXPECT_EQ(pPeerSink->WaitFor(5 * nRound), 5 * nRound);
    };
    m_meter.SetTunnels({{"mct", "mc0"}});
    m_meter.StartCapture();
    const IfCounters base = ReadCounters("mc0");
    exchange();
    const Bytes uplink{NetworkBytesSince("mc0", base, true), NetworkBytesSince("mc0", base, false)};
    ExpectTotals(uplink);
    DeviceSnapshot shown;
    WaitUntil([&] {
        shown = Shown(m_meter, "mct");
        return Bytes{shown.nInnerSentBytes, shown.nInnerRecvBytes} == Bytes{nPacket, nPacket};
    });
    EXPECT_EQ(DescribeDeviceState(shown), "carried inside mc0 (set by the user)");
    EXPECT_EQ(Bytes(shown.nInnerSentBytes, shown.nInnerRecvBytes), Bytes(nPacket, nPacket));
    EXPECT_EQ(Bytes(shown.nSentBytes, shown.nRecvBytes), Bytes(0, 0));
    EXPECT_FALSE(shown.bOuterKnown);

    m_meter.SetTunnels({});
    ASSERT_TRUE(
        WaitUntil([&] { return DescribeDeviceState(Shown(m_meter, "mct")) == "capturing"; }));
    exchange();
    ExpectTotals({NetworkBytesSince("mc0", base, true) + nPacket,
                  NetworkBytesSince("mc0", base, false) + nPacket});
    shown = Shown(m_meter, "mct");
    EXPECT_EQ(Bytes(shown.nSentBytes, shown.nRecvBytes), Bytes(nPacket, nPacket));
    EXPECT_EQ(Bytes(shown.nInnerSentBytes, shown.nInnerRecvBytes), Bytes(nPacket, nPacket));
}

// Waits until a tunnel shows inner packets both ways and an overhead of nPerPacket bytes a packet
// each way (its outer packets' own headers), and checks it.
void ExpectOverheadPerPacket(const COrvekMeter& meter, const std::string& strTunnel,
                             int64_t nPerPacket) {
    DeviceSnapshot tunnel;
    const auto overhead = [&] {
        return Bytes{tunnel.nOuterSentBytes - tunnel.nInnerSentBytes,
                     tunnel.nOuterRecvBytes - tunnel.nInnerRecvBytes};
    };
    const auto expected = [&] {
        return Bytes{nPerPacket * tunnel.nInnerSentPackets, nPerPacket * tunnel.nInnerRecvPackets};
    };
    WaitUntil([&] {
        tunnel = Shown(meter, strTunnel);
        return tunnel.nInnerSentPackets > 0 && tunnel.nInnerRecvPackets > 0 &&
               overhead() == expected();
    });
    EXPECT_TRUE(tunnel.bOuterKnown);
    EXPECT_GT(tunnel.nInnerSentPackets, 0);
    EXPECT_GT(tunnel.nInnerRecvPackets, 0);
    EXPECT_EQ(Bytes(tunnel.nSentBytes, tunnel.nRecvBytes), Bytes(0, 0)) << "in no total";
    EXPECT_EQ(overhead(), expected()) << "overhead {sent, received}";
}

// One end of a user-space VPN: the forwarder (over UDP, or the mode's TCP end), connecting
// szDelayMs after it made its tun device, then that device: up, quiet, small enough that the
// datagrams carrying its packets need no fragments on the uplink.
std::unique_ptr<CChildProcess> StartVpnEnd(const std::string& strTun, const std::string& strLocal,
                                           const std::string& strPeer,
                                           const std::string& strAddress, const char* szDelayMs,
                                           const char* szMode = "udp") {
    auto pForwarder = std::make_unique<CChildProcess>(std::vector<std::string>{
        ORVEK_TUNFWD, strTun, strLocal, "1194", strPeer, "1194", szDelayMs, szMode});
    EXPECT_TRUE(WaitUntil([&] { return pForwarder->GetStdout() == "ready\n"; }))
        << pForwarder->GetStderr();
    SetUpOrThrow("ip link set " + strTun + " mtu 1400\nquiet_up " + strTun + "\nip addr add " +
                 strAddress + "/24 dev " + strTun);
    return pForwarder;
}

// The peer's end of a VPN: its forwarder, and a TCP echo at its tun device's address.
struct PeerVpnEnd {
    std::unique_ptr<CChildProcess> pForwarder;
    std::unique_ptr<CTcpEcho> pEcho;
};
PeerVpnEnd StartPeerVpnEnd(const CPeerNs& peer, const std::string& strTun,
                           const std::string& strLocal, const std::string& strPeer,
                           const std::string& strAddress, uint16_t nEchoPort,
                           const char* szMode = "udp") {
    PeerVpnEnd end;
    peer.RunIn([&] {
        end.pForwarder = StartVpnEnd(strTun, strLocal, strPeer, strAddress, "0", szMode);
        end.pEcho = std::make_unique<CTcpEcho>(strAddress, nEchoPort);
    });
    return end;
}

// A user-space VPN over a veth uplink: a forwarder process on each end carries its tun device's
// packets as UDP datagrams to the other's. The host's tun device, made while capturing by a
// forwarder that connects a second later, is found to be carried inside the uplink by its
// holder's connected socket when it is looked at again, and is captured apart, in no total, so
// that TCP both ways counts exactly what crossed the uplink; its overhead is what its holder's
// datagrams add. A tun device whose holder sends its packets to a local process counts as any
// device; and the user's "not a tunnel" makes a found VPN's tun device count again.
TEST_F(MeterLive, UserSpaceVpnCountsOnceAsItsDatagramsOnTheUplink) {
    CPeerNs peer;
    MakeVethPair(peer, {"mu0", "10.84.0.1", ""}, {"mu1", "10.84.0.2", ""});
    const PeerVpnEnd twin =
        StartPeerVpnEnd(peer, "mut", "10.84.0.2", "10.84.0.1", "10.85.0.2", 7711);
    // A local tun device whose holder sends to a process on this host: no tunnel.
    CUdpSink local("127.0.0.1", 7712);
    CChildProcess localHolder({ORVEK_TUNFWD, "mul", "127.0.0.1", "7713", "127.0.0.1", "7712"});
    ASSERT_TRUE(WaitUntil([&] { return localHolder.GetStdout() == "ready\n"; }));
    SetUpOrThrow("quiet_up mul\nip addr add 10.86.0.1/24 dev mul");

    m_meter.StartCapture();
    const auto shown = [this](const std::string& strDevice) {
        for (const DeviceSnapshot& device : m_meter.GetSnapshot().devices) {
            if (device.strName == strDevice) {
                return DescribeDeviceState(device) + " / " + device.strReason;
            }
        }
        return std::string("not listed");
    };
    const auto pVpn = StartVpnEnd("mut", "10.84.0.1", "10.84.0.2", "10.85.0.1", "1000");
    CTcpEcho echo("10.85.0.1", 7710);
    const std::string strCarried = "carried inside mu0: orvek-tunfwd sends it over UDP to "
                                   "10.84.0.2:1194 / orvek-tunfwd sends it over UDP to "
                                   "10.84.0.2:1194";
    WaitUntil([&] { return shown("mut") == strCarried; });
    EXPECT_EQ(shown("mut"), strCarried);
    EXPECT_EQ(shown("mul"),
              "capturing / held by orvek-tunfwd, whose connections stay on this host");
    const IfCounters base = ReadCounters("mu0");
    const IfCounters localBase = ReadCounters("mul");
    TcpExchange("10.85.0.2", 7711, 200000);
    peer.RunIn([] { TcpExchange("10.85.0.1", 7710, 200000); });
    SendUdp("10.86.0.1", "10.86.0.2", 7714, 500, 10);
    EXPECT_EQ(local.WaitFor(10), 10u);
    ExpectConnectionsClosed(&peer);
    ExpectTotals({NetworkBytesSince("mu0", base, true) +
                      static_cast<int64_t>(ReadCounters("mul").nTxBytes - localBase.nTxBytes),
                  NetworkBytesSince("mu0", base, false)});
    // Its outer packets are its holder's datagrams: each inner packet plus IPv4 and UDP headers,
    // also of what the filter ("tcp or udp") leaves out inside the tunnel.
    ShOk("ping -q -c 3 -i 0.2 -W 5 10.85.0.2 >/dev/null");
    ExpectOverheadPerPacket(m_meter, "mut", 20 + 8);

    m_meter.SetNotTunnels({"mut"});
    EXPECT_TRUE(WaitUntil([&] { return shown("mut").starts_with("capturing"); }));
    EXPECT_EQ(shown("mut"), "capturing / set by the user");
}

// The host of both shapes at once: a user-space VPN and a macvlan with an address of its own on
// one uplink, TCP and UDP both ways on each path. Each byte counts once, as it crossed the uplink,
// and the tunnel's overhead is its holder's datagram headers. Here the VPN's forwarder is
// connected before its device is up, so the first look finds it.
TEST_F(MeterLive, VpnAndMacvlanOnOneUplinkCountEachByteOnce) {
    CPeerNs peer;
    MakeVethPair(peer, {"mw0", "10.87.0.1", ""}, {"mw1", "10.87.0.2", ""});
    SetUpOrThrow("ip link add mwv link mw0 address 02:00:5e:00:00:05 type macvlan mode bridge\n"
                 "quiet_up mwv\nip addr add 10.87.1.1/24 dev mwv\n"
                 "neigh mwv 02:00:5e:00:00:02 10.87.1.2");
    const PeerVpnEnd twin =
        StartPeerVpnEnd(peer, "mwt", "10.87.0.2", "10.87.0.1", "10.88.0.2", 7721);
    std::unique_ptr<CTcpEcho> pPeerMacvlanEcho;
    std::unique_ptr<CUdpSink> pPeerSink;
    peer.RunIn([&] {
        SetUpOrThrow("ip addr add 10.87.1.2/24 dev mw1\nneigh mw1 02:00:5e:00:00:05 10.87.1.1");
        pPeerMacvlanEcho = std::make_unique<CTcpEcho>("10.87.1.2", 7722);
        pPeerSink = std::make_unique<CUdpSink>("10.87.1.2", 7723);
    });
    m_meter.StartCapture();
    const auto pVpn = StartVpnEnd("mwt", "10.87.0.1", "10.87.0.2", "10.88.0.1", "0");
    CTcpEcho echo("10.88.0.1", 7720), macvlanEcho("10.87.1.1", 7724);
    CUdpSink sink("10.88.0.1", 7725);
    ASSERT_TRUE(WaitUntil([&] {
        return DescribeDeviceState(Shown(m_meter, "mwt")).starts_with("carried inside mw0:");
    })) << DescribeDeviceState(Shown(m_meter, "mwt"))
        << " / " << Shown(m_meter, "mwt").strReason;
    EXPECT_EQ(DescribeDeviceState(Shown(m_meter, "mwv")), "counted on mw0");

    const IfCounters base = ReadCounters("mw0");
    TcpExchange("10.88.0.2", 7721, 150000);
    TcpExchange("10.87.1.2", 7722, 150000);
    SendUdp("10.87.1.1", "10.87.1.2", 7723, 900, 20);
    peer.RunIn([] {
        TcpExchange("10.88.0.1", 7720, 150000);
        TcpExchange("10.87.1.1", 7724, 150000);
        SendUdp("10.88.0.2", "10.88.0.1", 7725, 900, 20);
    });
    EXPECT_EQ(pPeerSink->WaitFor(20), 20u);
    EXPECT_EQ(sink.WaitFor(20), 20u);
    ExpectConnectionsClosed(&peer);
    ExpectTotals({NetworkBytesSince("mw0", base, true), NetworkBytesSince("mw0", base, false)});
    ExpectOverheadPerPacket(m_meter, "mwt", 20 + 8);
}

// A VPN over TCP, as OpenVPN may run: its connection is its outer traffic, so that the tunnel's
// outer bytes are exactly what crossed the uplink, both ways, its overhead what the connection
// added (headers, framing, acknowledgements).
TEST_F(MeterLive, VpnOverTcpHasItsConnectionForOuterBytes) {
    CPeerNs peer;
    MakeVethPair(peer, {"mv0", "10.91.0.1", ""}, {"mv1", "10.91.0.2", ""});
    const PeerVpnEnd twin =
        StartPeerVpnEnd(peer, "mvt", "10.91.0.2", "10.91.0.1", "10.92.0.2", 7731, "tcp-listen");
    m_meter.StartCapture();
    const auto pVpn =
        StartVpnEnd("mvt", "10.91.0.1", "10.91.0.2", "10.92.0.1", "300", "tcp-connect");
    CTcpEcho echo("10.92.0.1", 7730);
    ASSERT_TRUE(WaitUntil(
        [&] { return DescribeDeviceState(Shown(m_meter, "mvt")).starts_with("carried"); }));
    EXPECT_EQ(DescribeDeviceState(Shown(m_meter, "mvt")),
              "carried inside mv0: orvek-tunfwd sends it over TCP to 10.91.0.2:1194");

    // From here: its handshake may have come before the tunnel was found, or after.
    const DeviceSnapshot before = Shown(m_meter, "mvt");
    const Bytes totals{m_meter.GetSentBytes(), m_meter.GetRecvBytes()};
    const IfCounters base = ReadCounters("mv0");
    TcpExchange("10.92.0.2", 7731, 200000);
    peer.RunIn([] { TcpExchange("10.92.0.1", 7730, 200000); });
    ExpectConnectionsClosed(&peer);
    // The VPN's own connection may still acknowledge late: the uplink is read until all agree.
    Bytes uplink, counted, outer;
    DeviceSnapshot tunnel;
    WaitUntil([&] {
        uplink = {NetworkBytesSince("mv0", base, true), NetworkBytesSince("mv0", base, false)};
        counted = {m_meter.GetSentBytes() - totals.first, m_meter.GetRecvBytes() - totals.second};
        tunnel = Shown(m_meter, "mvt");
        outer = {tunnel.nOuterSentBytes - before.nOuterSentBytes,
                 tunnel.nOuterRecvBytes - before.nOuterRecvBytes};
        return counted == uplink && outer == uplink;
    });
    EXPECT_EQ(counted, uplink) << "totals {sent, received}";
    EXPECT_TRUE(tunnel.bOuterKnown);
    EXPECT_EQ(outer, uplink) << "outer {sent, received}";
    EXPECT_GT(tunnel.nInnerSentBytes, 200000);
    EXPECT_LT(tunnel.nInnerSentBytes, tunnel.nOuterSentBytes);
    EXPECT_LT(tunnel.nInnerRecvBytes, tunnel.nOuterRecvBytes);
}

constexpr const char *kUplink = CDesktopShape::kUplink, *kBridge = CDesktopShape::kBridge;
constexpr int kUplinkNet = CDesktopShape::kUplinkNet, kBridgeNet = CDesktopShape::kBridgeNet;
constexpr size_t kDatagrams = 20, kPayload = 700, kTcpBytes = 100000;
// kDatagrams UDP datagrams of kPayload bytes over IPv4 and as many over IPv6, as IP packets
// (without a link header).
constexpr int64_t kUdpBatch = kDatagrams * (20 + 8 + kPayload) + kDatagrams * (40 + 8 + kPayload);

// What the meter counts of a device's traffic since base: the kernel's bytes less the 14-byte
// Ethernet header of each packet. br0's receive counter leaves the header out already
// (HostShapes.h).
Bytes Counted(const std::string& strDevice, const IfCounters& base) {
    const int64_t nRecv = strDevice == kBridge
                              ? static_cast<int64_t>(ReadCounters(kBridge).nRxBytes - base.nRxBytes)
                              : NetworkBytesSince(strDevice, base, false);
    return {NetworkBytesSince(strDevice, base, true), nRecv};
}

// Where traffic starts or ends: a namespace (null: the host's own) and an address there.
struct Place {
    const CPeerNs* pNs;
    std::string strAddress;
};

void In(const Place& place, const std::function<void()>& fn) {
    place.pNs != nullptr ? place.pNs->RunIn(fn) : fn();
}

Place Host(int nNet, bool bIPv6) {
    return {nullptr, ShapeAddress(nNet, 1, bIPv6)};
}

// The host shaped as a desktop around a fresh meter, whose capture stops before the shape goes.
class MeterShapesLive : public MeterLive {
protected:
    void TearDown() override { m_meter.StopCapture(); }
    Place Internet(bool bIPv6) const {
        return {&m_shape.m_internet, ShapeAddress(kUplinkNet, 2, bIPv6)};
    }
    Place Container(int nContainer, bool bIPv6) const {
        return {&m_shape.m_containers[nContainer - 1],
                ShapeAddress(kBridgeNet, 10 + nContainer, bIPv6)};
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
        In(server, [] { ExpectConnectionsClosed(); });
    }

    // A device's state and counted bytes as the meter's snapshot shows them.
    std::pair<std::string, Bytes> Shown(const std::string& strDevice) const {
        for (const DeviceSnapshot& device : m_meter.GetSnapshot().devices) {
            if (device.strName == strDevice) {
                return {DescribeDeviceState(device), {device.nSentBytes, device.nRecvBytes}};
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
        EXPECT_EQ(Shown(strDevice), expected)
            << strDevice << ": state, {sent, received}; packets the kernel dropped: "
            << ::Shown(m_meter, strDevice).nDrops;
    }

    CDesktopShape m_shape;
    uint16_t m_nNextPort = 7100;
};

// A desktop with containers: every path of the host's traffic, TCP and UDP, IPv4 and IPv6, both
// ways. Counted exactly once: what the host's addresses send and what is addressed to them, on
// up0 and br0 (a tun of its own counts as the tun test above shows). Not counted: the containers'
// traffic to and from the internet on br0 (forwarded; it counts on up0, where NAT gave it the
// host's address, so a container's upload is sent, never received), traffic between containers
// (bridged, never on br0), the ports vethcN and loopback.
//
// Expected, independently of Orvek: up0 carries only the host's own traffic (its own and the
// containers' after NAT), so it counts its kernel counters less 14 bytes a packet, over the whole
// test. br0 carries both the host's and forwarded traffic, so the host's own part is taken from
// its counters over a first phase in which only host<->container traffic crosses it (container
// and loopback traffic, which do not cross it, run then too); it receives without the Ethernet
// header (see Counted).
TEST_F(MeterShapesLive, DesktopHostCountsItsOwnTrafficOnceOnUplinkAndBridge) {
    // Rings of the default size: each holds all the packets of this test, so that the kernel drops
    // none however long a capture thread waits for a processor on a busy machine, and the counts
    // are exact. (A small ring, some 360 packets, overflows on up0 when its thread waits 25 ms:
    // the test below counts on small rings, with traffic they hold.)
    ASSERT_EQ(m_meter.StartCapture(), "");
    const IfCounters upBase = ReadCounters(kUplink), bridgeBase = ReadCounters(kBridge);
    for (const bool bIPv6 : {false, true}) {
        SCOPED_TRACE(bIPv6 ? "IPv6, inside the host" : "IPv4, inside the host");
        Exchange(Host(kBridgeNet, bIPv6), Container(1, bIPv6));
        Exchange(Container(2, bIPv6), Host(kBridgeNet, bIPv6));
        Exchange(Container(1, bIPv6), Container(2, bIPv6));
        const Place loopback{nullptr, bIPv6 ? "::1" : "127.0.0.1"};
        Exchange(loopback, loopback);
    }
    const Bytes bridgeOwn = Counted(kBridge, bridgeBase);

    for (const bool bIPv6 : {false, true}) {
        SCOPED_TRACE(bIPv6 ? "IPv6, to the internet" : "IPv4, to the internet");
        Exchange(Host(kUplinkNet, bIPv6), Internet(bIPv6));
        Exchange(Internet(bIPv6), Host(kUplinkNet, bIPv6));
        // Through NAT: the internet cannot start anything towards a container.
        Exchange(Container(1, bIPv6), Internet(bIPv6), false);
        Exchange(Container(2, bIPv6), Internet(bIPv6), false);
    }
    // The containers' traffic did cross br0, and more than the host's own.
    const Bytes bridgeAll = Counted(kBridge, bridgeBase);
    EXPECT_GT(bridgeAll.first, bridgeOwn.first);
    EXPECT_GT(bridgeAll.second, bridgeOwn.second);

    const Bytes up = Counted(kUplink, upBase);
    ExpectTotals({up.first + bridgeOwn.first, up.second + bridgeOwn.second});
    ExpectShown(kUplink, "capturing", up);
    ExpectShown(kBridge, "capturing", bridgeOwn);
    ExpectShown(CDesktopShape::PortName(1), "bridge port", {});
    ExpectShown(CDesktopShape::PortName(2), "bridge port", {});
    ExpectShown("lo", "loopback", {});
}

// A device that joins a bridge while captured is closed at once: its link's traffic now crosses
// the bridge, which counts it; counting the port too would count it twice. Its addresses move to
// the bridge as they do when a bridge is set up. Leaving the bridge (the addresses back on the
// device) opens it again. Expected from the known datagram sizes: each batch is counted once each
// way, on the device while it is free and on br0 while it is a port.
TEST_F(MeterShapesLive, DeviceJoiningTheBridgeIsNoLongerCapturedAndLeavingItIsAgain) {
    CPeerNs peer;
    MakeVethPair(peer, {"lan0", "10.63.0.1", "fd63::1"}, {"lan0p", "10.63.0.2", "fd63::2"});
    // Every device gets the small ring of immediate delivery that devices beyond the first 32 get.
    // Each opening here carries 80 packets, which it holds even when its capture thread waits for
    // a processor until the end: it counts exactly.
    m_manager.SetLargeRingLimit(0);
    ASSERT_EQ(m_meter.StartCapture(), "");
    // UDP only, kDatagrams each way per family: kUdpBatch bytes to the host and as many from it.
    const auto batch = [&] {
        for (const bool bIPv6 : {false, true}) {
            Exchange({&peer, ShapeAddress(63, 2, bIPv6)}, Host(63, bIPv6), true, false);
        }
    };
    // Moves the host's addresses of the link, with the peer's static neighbour entries, to dev,
    // and waits until the meter has followed: a marker address added last is known only once the
    // flush and the additions before it have been seen, so no packet meets a half-moved table.
    int nMarker = 10;
    const auto moveAddresses = [&](const std::string& strFrom, const std::string& strTo) {
        const std::string strMarker = "10.69.63." + std::to_string(++nMarker);
        SetUpOrThrow("ip addr flush dev " + strFrom + "\nip addr add 10.63.0.1/24 dev " + strTo +
                     "\nip addr add fd63::1/64 dev " + strTo + " nodad\nneigh " + strTo +
                     " 02:00:5e:00:00:02 10.63.0.2 fd63::2\nip addr add " + strMarker +
                     "/32 dev " + strTo);
        ASSERT_TRUE(
            WaitUntil([&] { return IsLocal(*m_manager.ShareAddressTable(), strMarker); }));
    };

    batch();
    ExpectShown("lan0", "capturing", {kUdpBatch, kUdpBatch});

    ShOk("ip link set dev lan0 master br0 && bridge fdb replace 02:00:5e:00:00:02 dev lan0 master "
         "static");
    moveAddresses("lan0", kBridge);
    ASSERT_TRUE(WaitUntil([&] { return Shown("lan0").first == "bridge port"; }));
    batch();
    ExpectShown(kBridge, "capturing", {kUdpBatch, kUdpBatch});
    ExpectShown("lan0", "bridge port", {kUdpBatch, kUdpBatch});

    ShOk("ip link set dev lan0 nomaster");
    moveAddresses(kBridge, "lan0");
    ShOk("ip addr add 10.61.0.1/24 dev br0 && ip addr add fd61::1/64 dev br0 nodad");
    ASSERT_TRUE(WaitUntil([&] { return Shown("lan0").first == "capturing"; }));
    batch();
    ExpectShown("lan0", "capturing", {2 * kUdpBatch, 2 * kUdpBatch});
    ExpectTotals({3 * kUdpBatch, 3 * kUdpBatch});
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
    const IfCounters upBase = ReadCounters(kUplink), bridgeBase = ReadCounters(kBridge);
    for (const bool bIPv6 : {false, true}) {
        SCOPED_TRACE(bIPv6 ? "IPv6" : "IPv4");
        Exchange(Container(1, bIPv6), Internet(bIPv6), false);
        Exchange(Container(2, bIPv6), Internet(bIPv6), false);
        Exchange(Container(1, bIPv6), Container(2, bIPv6));
    }
    const Bytes up = Counted(kUplink, upBase), bridge = Counted(kBridge, bridgeBase);
    // br0 received the frames between the containers too, not only their uploads.
    EXPECT_GT(bridge.second, up.first);
    ExpectTotals({up.first, up.second + bridge.first + bridge.second});
    ExpectShown(kBridge, "capturing", {0, bridge.first + bridge.second});
    ExpectShown(CDesktopShape::PortName(1), "bridge port", {});
}

} // namespace
