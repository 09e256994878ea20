// The meter's pure side on crafted packets. No refresh runs in this process, so the host has no
// addresses and every packet counts as received.

#include "FakeMeterView.h"
#include "ZarnException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <pcap/pcap.h>
#include <thread>

using namespace orvektest;

namespace {

// Filler link header, then a network header. Only the captured bytes exist, in a heap block of
// exactly that size: AddressSanitizer sees any read past them.
struct CraftedPacket {
    CraftedPacket(uint32_t nHeader, ENetworkProtocol eProtocol, uint32_t nWire, uint32_t nCapLen)
        : pBytes(new uint8_t[nCapLen]) {
        std::vector<uint8_t> frame(std::max(nWire, nHeader + 40), 0xEE);
        frame[nHeader] = eProtocol == ENetworkProtocol::IPv6 ? 0x60 : 0x45;
        std::memcpy(pBytes.get(), frame.data(), nCapLen);
        header = {{}, nCapLen, nWire};
        info = {&header, pBytes.get(), nHeader, eProtocol};
    }
    std::unique_ptr<uint8_t[]> pBytes;
    pcap_pkthdr header{};
    PacketInfo info{};
};

TEST(MeterCount, ThresholdOverEveryLinkHeaderAndShortCapturesCountAsReceived) {
    using Row = std::pair<uint32_t, int64_t>; // wire length, bytes counted
    // Traced as header/protocol/wire/captured.
    for (const uint32_t nHeader : {0u, 4u, 14u, 16u, 18u, 20u}) {
        for (const auto eProtocol :
             {ENetworkProtocol::IPv4, ENetworkProtocol::IPv6, ENetworkProtocol::Other}) {
            const uint32_t nNeeded = nHeader + (eProtocol == ENetworkProtocol::IPv6 ? 24 : 16);
            // Shorter than the link header, one byte short of the minimum network header, exactly
            // it, a full frame; each with every capture length up to the wire length, which is
            // what counts.
            for (const auto& [nWire, nCount] :
                 {Row{std::max(nHeader, 2u) - 1, 0}, Row{nHeader + 19, 0}, Row{nHeader + 20, 20},
                  Row{nHeader + 1500, 1500}}) {
                for (uint32_t nCapLen = 0; nCapLen <= nWire; ++nCapLen) {
                    SCOPED_TRACE(testing::Message() << nHeader << "/" << int(eProtocol) << "/"
                                                    << nWire << "/" << nCapLen);
                    CraftedPacket packet(nHeader, eProtocol, nWire, nCapLen);
                    EXPECT_EQ(FindPacketSource(packet.info).eKind == PacketSource::EKind::Unseen,
                              nCapLen < nNeeded);
                    CFakeMeterView view;
                    view.AnalyzePacket(&packet.info);
                    EXPECT_EQ(view.GetRecvBytes(), nCount);
                    EXPECT_EQ(view.GetSentBytes(), 0);
                    // An ignored packet leaves the display alone.
                    EXPECT_EQ(view.GetPostCount(), nCount > 0 ? 1 : 0);
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

TEST(MeterDisplay, OneUpdatePendingUntilReleasedAndReleaseTellsWhetherTotalsMoved) {
    CFakeMeterView view;
    CraftedPacket packet(14, ENetworkProtocol::IPv4, 1514, 54);
    for (int i = 0; i < 1000; ++i) {
        view.AnalyzePacket(&packet.info);
    }
    EXPECT_EQ(view.GetPostCount(), 1);
    view.UpdateCounters();
    EXPECT_FALSE(view.Release()); // nothing moved since it was shown
    view.AnalyzePacket(&packet.info);
    EXPECT_EQ(view.GetPostCount(), 2);
    view.UpdateCounters();
    view.AnalyzePacket(&packet.info); // while shown: posts nothing, the release hands it over
    EXPECT_EQ(view.GetPostCount(), 2);
    EXPECT_TRUE(view.Release());
    view.UpdateCounters();
    EXPECT_FALSE(view.Release());
    EXPECT_EQ(view.GetLastShown().first, COrvekMeter::FormatRecv(1503000));
}

// Each packet moves the text, so the last text shows exactly whether the last total was shown.
TEST(MeterDisplay, ConcurrentCaptureThreadsLoseNoCountAndTheLastTotalIsShown) {
    CFakeMeterView view;
    constexpr int kThreads = 4, kPackets = 250000;
    std::atomic<int> nFinished{0};
    std::vector<std::jthread> capture;
    for (int t = 0; t < kThreads; ++t) {
        capture.emplace_back([&] {
            CraftedPacket packet(14, ENetworkProtocol::IPv4, 1514, 54);
            for (int i = 0; i < kPackets; ++i) {
                view.AnalyzePacket(&packet.info);
            }
            nFinished.fetch_add(1);
        });
    }
    // This thread is the user-interface thread; the last serve sees every post made before. The
    // counting is over once every thread has finished (they are joined at the end).
    while (nFinished.load() < kThreads) {
        view.ServePosted();
    }
    view.ServePosted();
    constexpr int64_t nExpected = int64_t{kThreads} * kPackets * 1500;
    EXPECT_EQ(std::make_pair(view.GetRecvBytes(), view.GetSentBytes()),
              std::make_pair(nExpected, int64_t{0}));
    EXPECT_EQ(view.GetLastShown(), Texts(COrvekMeter::FormatRecv(nExpected), " Sent  0.000 Mb"));
    EXPECT_FALSE(view.SawDoublePending());
}

TEST(MeterException, ShowsOnlyDescribedFailuresUnderExceptionCaption) {
    CFakeMeterView view;
    view.OnException(CZarnException(EPERM));
    view.OnException(CZarnException(0, "syntax error"));
    EXPECT_EQ(view.GetMessages(), std::vector<Texts>({{"syntax error", "Exception"}}));
}

} // namespace
