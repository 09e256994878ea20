#include "NetNs.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace orvektest;

namespace {

bool SameCounters(const IfCounters& a, const IfCounters& b) {
    return a.nRxBytes == b.nRxBytes && a.nRxPackets == b.nRxPackets && a.nTxBytes == b.nTxBytes &&
           a.nTxPackets == b.nTxPackets;
}

// Other tests count bytes exactly on these links, so the kernel must add nothing of its own.
TEST(TestHosts, VethCarriesExactlyTheTestTraffic) {
    CPeerNs peer;
    MakeVethPair(peer, {"hq0", "10.81.0.1", "fd81::1"}, {"hq1", "10.81.0.2", "fd81::2"});
    struct Cleanup {
        ~Cleanup() { Sh("ip link del hq0"); }
    } cleanup;
    IfCounters peerCounters;
    const auto readPeer = [&] { peer.RunIn([&] { peerCounters = ReadCounters("hq1"); }); };

    // Unsolicited reports the kernel might send come within a second of the link going up.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    readPeer();
    EXPECT_TRUE(SameCounters(ReadCounters("hq0"), IfCounters{}));
    EXPECT_TRUE(SameCounters(peerCounters, IfCounters{}));

    {
        CUdpSink sink4("10.81.0.1", 6000);
        CUdpSink sink6("fd81::1", 6001);
        peer.RunIn([] {
            SendUdp("10.81.0.2", "10.81.0.1", 6000, 100, 10);
            SendUdp("fd81::2", "fd81::1", 6001, 300, 10);
        });
        EXPECT_EQ(sink4.WaitFor(10), 10u);
        EXPECT_EQ(sink6.WaitFor(10), 10u);
    }
    const IfCounters udp = ReadCounters("hq0");
    EXPECT_EQ(udp.nRxPackets, 20u);
    EXPECT_EQ(udp.nRxBytes, 10u * (14 + 20 + 8 + 100) + 10u * (14 + 40 + 8 + 300));
    EXPECT_EQ(udp.nTxPackets, 0u);

    {
        CTcpEcho echo("fd81::1", 6002);
        peer.RunIn([] { TcpExchange("fd81::1", 6002, 100000); });
    }
    // Whatever one end sent, the other received, and nothing else.
    EXPECT_TRUE(WaitUntil([&] {
        readPeer();
        const IfCounters local = ReadCounters("hq0");
        return local.nRxBytes == peerCounters.nTxBytes && local.nTxBytes == peerCounters.nRxBytes &&
               local.nRxPackets == peerCounters.nTxPackets &&
               local.nTxPackets == peerCounters.nRxPackets;
    }));
    EXPECT_GT(ReadCounters("hq0").nTxBytes, 100000u);
}

TEST(TestHosts, TunCarriesHandMadePacketsBothWays) {
    CTunDevice tun("tq0", "10.82.0.1/24", "fd82::1/64");
    CUdpSink sink4("10.82.0.1", 7000);
    CUdpSink sink6("fd82::1", 7000);
    // The kernel drops datagrams with a wrong checksum: arriving proves both checksums right.
    const std::vector<uint8_t> packet4 = MakeUdpPacket("10.82.0.2", "10.82.0.1", 7000, 7000, 51);
    const std::vector<uint8_t> packet6 = MakeUdpPacket("fd82::2", "fd82::1", 7000, 7000, 61);
    ASSERT_EQ(packet4.size(), 20u + 8 + 51);
    ASSERT_EQ(packet6.size(), 40u + 8 + 61);
    tun.Write(packet4);
    tun.Write(packet6);
    EXPECT_EQ(sink4.WaitFor(1), 1u);
    EXPECT_EQ(sink6.WaitFor(1), 1u);

    SendUdp("10.82.0.1", "10.82.0.2", 7001, 30, 1);
    const std::vector<uint8_t> sent = tun.Read(20000);
    ASSERT_EQ(sent.size(), 20u + 8 + 30);
    EXPECT_EQ(sent[0], 0x45);

    const IfCounters counters = ReadCounters("tq0");
    EXPECT_EQ(counters.nRxPackets, 2u);
    EXPECT_EQ(counters.nRxBytes, packet4.size() + packet6.size());
    EXPECT_EQ(counters.nTxPackets, 1u);
    EXPECT_EQ(counters.nTxBytes, sent.size());
}

} // namespace
