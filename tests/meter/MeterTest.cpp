// The meter's pure side on crafted packets, with a fixed table of host addresses and a view that
// the test serves as the user-interface thread would.

#include "FakeMeterView.h"
#include "OrvekMeter.h"
#include "ZarnException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <thread>

using namespace orvektest;

namespace {

// Filler link header of 0xEE bytes, then a network header whose source address is all 0xEE. Only
// the captured bytes exist, in a heap block of exactly that size: AddressSanitizer sees any read
// past them.
struct CraftedPacket {
    CraftedPacket(uint32_t nHeader, ENetworkProtocol eProtocol, uint32_t nWire, uint32_t nCapLen,
                  DeviceCounters* pCounters)
        : pBytes(new uint8_t[nCapLen]) {
        std::vector<uint8_t> frame(std::max(nWire, nHeader + 40), 0xEE);
        frame[nHeader] = eProtocol == ENetworkProtocol::IPv6 ? 0x60 : 0x45;
        std::memcpy(pBytes.get(), frame.data(), nCapLen);
        header = {{}, nCapLen, nWire};
        info = {&header, pBytes.get(), nHeader, eProtocol, pCounters};
    }
    std::unique_ptr<uint8_t[]> pBytes;
    pcap_pkthdr header{};
    PacketInfo info{};
};

// The host's addresses: the crafted sources, or nothing.
CAddressTable MakeTable(bool bCraftedSourceIsLocal) {
    CAddressTable table;
    if (bCraftedSourceIsLocal) {
        table.AddIPv4(0xEEEEEEEE);
        CAddressTable::Address6 address6;
        address6.fill(0xEE);
        table.AddIPv6(address6);
    }
    table.Seal();
    return table;
}

TEST(MeterCount, ThresholdOverEveryLinkHeaderAndSourceDecidesDirection) {
    using Row = std::pair<uint32_t, int64_t>; // wire length, bytes counted
    for (const bool bLocal : {false, true}) {
        const CAddressTable table = MakeTable(bLocal);
        for (const uint32_t nHeader : {0u, 4u, 14u, 16u, 18u, 20u}) {
            for (const auto eProtocol :
                 {ENetworkProtocol::IPv4, ENetworkProtocol::IPv6, ENetworkProtocol::Other}) {
                const uint32_t nNeeded = nHeader + (eProtocol == ENetworkProtocol::IPv6 ? 24 : 16);
                // Shorter than the link header, one byte short of the minimum network header,
                // exactly it, a full frame; each with every capture length up to the wire length,
                // which is what counts. A capture too short to hold the source counts as received.
                for (const auto& [nWire, nCount] :
                     {Row{std::max(nHeader, 2u) - 1, 0}, Row{nHeader + 19, 0},
                      Row{nHeader + 20, 20}, Row{nHeader + 1500, 1500}}) {
                    for (uint32_t nCapLen = 0; nCapLen <= nWire; ++nCapLen) {
                        SCOPED_TRACE(testing::Message()
                                     << bLocal << "/" << nHeader << "/" << int(eProtocol) << "/"
                                     << nWire << "/" << nCapLen);
                        CFakeView view;
                        COrvekMeter meter(view, table);
                        CraftedPacket packet(nHeader, eProtocol, nWire, nCapLen,
                                             meter.GetDeviceCounters("eth0"));
                        meter.AnalyzePacket(&packet.info);
                        const bool bSent = bLocal && nCapLen >= nNeeded;
                        EXPECT_EQ(meter.GetSentBytes(), bSent ? nCount : 0);
                        EXPECT_EQ(meter.GetRecvBytes(), bSent ? 0 : nCount);
                        // An ignored packet leaves the display alone.
                        EXPECT_EQ(view.GetUpdateCount(), nCount > 0 ? 1 : 0);
                    }
                }
            }
        }
    }
}

TEST(MeterFormat, ShowsMebibytesWithThreeDecimals) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "0.000"},       {524, "0.000"},           {525, "0.001"},           {1000000, "0.954"},
        {1048576, "1.000"}, {1073741824, "1024.000"}, {6000000000, "5722.046"},
    };
    for (const auto& [nBytes, szNumber] : cases) {
        EXPECT_EQ(COrvekMeter::FormatRecv(nBytes), std::string(" Recv  ") + szNumber + " Mb");
        EXPECT_EQ(COrvekMeter::FormatSent(nBytes), std::string(" Sent  ") + szNumber + " Mb");
    }
}

// A view serves one update at a time; what arrives while it is pending is shown by the update's
// end, and totals survive in the counters of every device.
TEST(MeterDisplay, OneUpdatePendingAndWhatArrivedMeanwhileIsShown) {
    CFakeView view;
    const CAddressTable table = MakeTable(false);
    COrvekMeter meter(view, table);
    CraftedPacket packet(14, ENetworkProtocol::IPv4, 1514, 54, meter.GetDeviceCounters("a"));
    CraftedPacket other(14, ENetworkProtocol::IPv4, 114, 54, meter.GetDeviceCounters("b"));
    for (int i = 0; i < 1000; ++i) {
        meter.AnalyzePacket(&packet.info);
    }
    meter.AnalyzePacket(&other.info);
    EXPECT_EQ(view.GetUpdateCount(), 1);
    view.Serve();
    EXPECT_EQ(view.GetShown(),
              Texts(COrvekMeter::FormatRecv(1000 * 1500 + 100), " Sent  0.000 Mb"));
    meter.AnalyzePacket(&packet.info);
    EXPECT_EQ(view.GetUpdateCount(), 2);
    view.Serve();
    EXPECT_EQ(view.GetShown().first, COrvekMeter::FormatRecv(1001 * 1500 + 100));
    EXPECT_FALSE(view.SawDoublePending());
}

// Short bursts from a capture thread while this thread serves the view: the first packet starts
// an update, the second comes a little later each time, so that some land while the update is
// being released. Once a burst is counted and the view has run what was posted, the shown totals
// are the burst's: a release that lost the wake-up of a packet counted during it would leave them
// one update short for good.
TEST(MeterDisplay, EveryBurstEndsShownWhileTheViewServesConcurrently) {
    CFakeView view;
    const CAddressTable table = MakeTable(false);
    COrvekMeter meter(view, table);
    CraftedPacket packet(14, ENetworkProtocol::IPv4, 114, 54, meter.GetDeviceCounters("a"));
    for (int nBurst = 1; nBurst <= 4000; ++nBurst) {
        std::atomic<bool> bDone{false};
        std::jthread capture([&] {
            meter.AnalyzePacket(&packet.info);
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::nanoseconds(nBurst % 97 * 40);
            while (std::chrono::steady_clock::now() < until) {
            }
            meter.AnalyzePacket(&packet.info);
            bDone.store(true);
        });
        while (!bDone.load()) {
            view.Serve();
        }
        capture.join();
        view.Serve();
        ASSERT_EQ(view.GetShown().first, COrvekMeter::FormatRecv(int64_t{nBurst} * 200))
            << "burst " << nBurst;
    }
    EXPECT_FALSE(view.SawDoublePending());
}

// Four capture threads, each with its own device, against one view thread: nothing lost, the
// last total shown, never two updates pending.
TEST(MeterDisplay, ConcurrentCaptureThreadsLoseNoCount) {
    CFakeView view;
    const CAddressTable table = MakeTable(true);
    COrvekMeter meter(view, table);
    constexpr int kThreads = 4, kPackets = 200000;
    std::atomic<int> nFinished{0};
    std::vector<std::jthread> capture;
    for (int t = 0; t < kThreads; ++t) {
        capture.emplace_back([&, t] {
            CraftedPacket packet(14, ENetworkProtocol::IPv4, 1514, 54,
                                 meter.GetDeviceCounters("eth" + std::to_string(t)));
            for (int i = 0; i < kPackets; ++i) {
                meter.AnalyzePacket(&packet.info);
            }
            nFinished.fetch_add(1);
        });
    }
    while (nFinished.load() < kThreads) {
        view.Serve();
    }
    view.Serve();
    constexpr int64_t nExpected = int64_t{kThreads} * kPackets * 1500;
    EXPECT_EQ(meter.GetSentBytes(), nExpected);
    EXPECT_EQ(meter.GetRecvBytes(), 0);
    EXPECT_EQ(view.GetShown(), Texts(" Recv  0.000 Mb", COrvekMeter::FormatSent(nExpected)));
    EXPECT_FALSE(view.SawDoublePending());
    EXPECT_EQ(meter.GetDeviceCounters("eth0")->nSentPackets.load(), kPackets);
}

TEST(MeterException, ShowsOnlyDescribedFailuresUnderExceptionCaption) {
    CFakeView view;
    const CAddressTable table;
    COrvekMeter meter(view, table);
    meter.OnException(CZarnException(EPERM));
    meter.OnException(CZarnException(0, "syntax error"));
    EXPECT_EQ(view.GetMessages(), std::vector<Texts>({{"syntax error", "Exception"}}));
}

} // namespace
