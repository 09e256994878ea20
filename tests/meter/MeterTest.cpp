// The meter's pure side: counting and classifying crafted packets, the counter texts, display
// coalescing under concurrent capture threads, and failure messages. The manager's address map is
// empty in this process (no refresh runs), so every source here is foreign and counts as received.

#include "FakeMeterView.h"
#include "ZarnException.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <pcap/pcap.h>
#include <thread>
#include <vector>

using orvektest::CFakeMeterView;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#elif defined(__has_feature)
constexpr bool kUnderThreadSanitizer = __has_feature(thread_sanitizer);
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

constexpr std::array<uint8_t, 4> kSource4 = {203, 0, 113, 7};
constexpr std::array<uint8_t, 16> kSource6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                              0,    0,    0,    0,    0, 0, 0, 0x07};
constexpr std::array<uint8_t, 4> kOther = {198, 51, 100, 9};

// Every link-header length the capture library reports: raw IP, BSD loopback, cooked, Ethernet,
// one VLAN tag, cooked v2.
constexpr std::array<uint32_t, 6> kHeaderLengths = {0, 4, 14, 16, 18, 20};
constexpr std::array<ENetworkProtocol, 3> kProtocols = {
    ENetworkProtocol::IPv4, ENetworkProtocol::IPv6, ENetworkProtocol::Other};

const char* ProtocolName(ENetworkProtocol eProtocol) {
    switch (eProtocol) {
    case ENetworkProtocol::IPv4:
        return "IPv4";
    case ENetworkProtocol::IPv6:
        return "IPv6";
    case ENetworkProtocol::Other:
        break;
    }
    return "Other";
}

// Captured bytes the source address needs after the link header.
uint32_t SourceEnd(ENetworkProtocol eProtocol) {
    return eProtocol == ENetworkProtocol::IPv6 ? 24 : 16;
}

// One crafted frame: a link header of filler bytes, then a network header with its source where
// the protocol puts it. Only the captured bytes exist, in a heap block of exactly that size, so
// that AddressSanitizer catches any read past them.
class CCraftedPacket {
public:
    CCraftedPacket(uint32_t nHeader, ENetworkProtocol eProtocol, uint32_t nWire, uint32_t nCapLen)
        : m_pBytes(new uint8_t[nCapLen]) {
        std::vector<uint8_t> frame(std::max(nWire, nHeader + 40));
        for (size_t i = 0; i < frame.size(); ++i) {
            frame[i] = static_cast<uint8_t>(i < nHeader ? 0xEE : i * 7 + 1);
        }
        uint8_t* pNetwork = frame.data() + nHeader;
        if (eProtocol == ENetworkProtocol::IPv4) {
            pNetwork[0] = 0x45;
            std::memcpy(pNetwork + 12, kSource4.data(), kSource4.size());
        } else if (eProtocol == ENetworkProtocol::IPv6) {
            pNetwork[0] = 0x60;
            std::memcpy(pNetwork + 8, kSource6.data(), kSource6.size());
        } else {
            std::memcpy(pNetwork + 12, kOther.data(), kOther.size());
        }
        std::memcpy(m_pBytes.get(), frame.data(), nCapLen);
        m_header.caplen = nCapLen;
        m_header.len = nWire;
        m_info = {&m_header, m_pBytes.get(), nHeader, eProtocol};
    }

    PacketInfo* GetInfo() { return &m_info; }
    const uint8_t* GetData() const { return m_pBytes.get(); }

private:
    std::unique_ptr<uint8_t[]> m_pBytes;
    pcap_pkthdr m_header{};
    PacketInfo m_info{};
};

TEST(MeterCount, CountsTheWireLengthAfterTheLinkHeaderAboveTheMinimum) {
    struct Case {
        uint32_t nHeader;
        ENetworkProtocol eProtocol;
        uint32_t nWire;
        uint32_t nCapLen;
        int64_t nCount; // 0: ignored
    };
    const Case cases[] = {
        {14, ENetworkProtocol::IPv4, 33, 33, 0},      // one byte short of an IPv4 header
        {14, ENetworkProtocol::IPv4, 34, 34, 20},     // exactly one
        {14, ENetworkProtocol::IPv4, 13, 13, 0},      // shorter than the link header
        {14, ENetworkProtocol::Other, 1, 1, 0},       //
        {20, ENetworkProtocol::IPv6, 19, 19, 0},      //
        {14, ENetworkProtocol::IPv4, 1514, 54, 1500}, // the wire length counts, not the capture
        {14, ENetworkProtocol::IPv6, 1514, 1514, 1500},
        {0, ENetworkProtocol::IPv4, 19, 19, 0},
        {0, ENetworkProtocol::IPv6, 20, 20, 20},
        {4, ENetworkProtocol::IPv4, 23, 23, 0},
        {4, ENetworkProtocol::IPv4, 24, 24, 20},
        {16, ENetworkProtocol::IPv6, 35, 35, 0},
        {16, ENetworkProtocol::IPv6, 36, 36, 20},
        {18, ENetworkProtocol::IPv4, 37, 37, 0},
        {18, ENetworkProtocol::IPv4, 38, 38, 20},
        {20, ENetworkProtocol::IPv4, 39, 39, 0},
        {20, ENetworkProtocol::Other, 40, 40, 20},
        {20, ENetworkProtocol::IPv6, 65555, 96, 65535},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "header " << c.nHeader << " " << ProtocolName(c.eProtocol) << " wire "
                     << c.nWire << " captured " << c.nCapLen);
        CFakeMeterView view;
        CCraftedPacket packet(c.nHeader, c.eProtocol, c.nWire, c.nCapLen);
        view.AnalyzePacket(packet.GetInfo());
        EXPECT_EQ(view.GetRecvBytes(), c.nCount);
        EXPECT_EQ(view.GetSentBytes(), 0);
        // An ignored packet leaves the display alone.
        EXPECT_EQ(view.GetPostCount(), c.nCount > 0 ? 1 : 0);
    }
}

TEST(MeterSource, ReadsTheSourceOfEachNetworkProtocolAfterEachLinkHeader) {
    for (const uint32_t nHeader : kHeaderLengths) {
        for (const ENetworkProtocol eProtocol : kProtocols) {
            SCOPED_TRACE(testing::Message()
                         << "header " << nHeader << " " << ProtocolName(eProtocol));
            const uint32_t nWire = nHeader + 1500;
            CCraftedPacket packet(nHeader, eProtocol, nWire, nWire);
            const PacketSource source = FindPacketSource(*packet.GetInfo());
            if (eProtocol == ENetworkProtocol::IPv6) {
                ASSERT_EQ(source.eKind, PacketSource::EKind::IPv6);
                EXPECT_EQ(source.pbIPv6, packet.GetData() + nHeader + 8);
                EXPECT_EQ(std::memcmp(source.pbIPv6, kSource6.data(), kSource6.size()), 0);
            } else {
                const auto& expected = eProtocol == ENetworkProtocol::IPv4 ? kSource4 : kOther;
                uint32_t nExpected;
                std::memcpy(&nExpected, expected.data(), sizeof nExpected);
                ASSERT_EQ(source.eKind, PacketSource::EKind::IPv4);
                EXPECT_EQ(source.nIPv4, nExpected);
            }

            CFakeMeterView view;
            view.AnalyzePacket(packet.GetInfo());
            EXPECT_EQ(view.GetRecvBytes(), 1500);
            EXPECT_EQ(view.GetSentBytes(), 0);
        }
    }
}

TEST(MeterSource, ShortCaptureCountsAsReceivedAndIsNotReadPastItsEnd) {
    for (const uint32_t nHeader : kHeaderLengths) {
        for (const ENetworkProtocol eProtocol : kProtocols) {
            const uint32_t nNeeded = nHeader + SourceEnd(eProtocol);
            for (uint32_t nCapLen = 0; nCapLen <= nNeeded; ++nCapLen) {
                SCOPED_TRACE(testing::Message()
                             << "header " << nHeader << " " << ProtocolName(eProtocol)
                             << " captured " << nCapLen);
                CCraftedPacket packet(nHeader, eProtocol, nHeader + 1500, nCapLen);
                const PacketSource source = FindPacketSource(*packet.GetInfo());
                EXPECT_EQ(source.eKind == PacketSource::EKind::Unseen, nCapLen < nNeeded);

                CFakeMeterView view;
                view.AnalyzePacket(packet.GetInfo());
                EXPECT_EQ(view.GetRecvBytes(), 1500);
                EXPECT_EQ(view.GetSentBytes(), 0);
            }
        }
    }
}

TEST(MeterFormat, ShowsMebibytesWithThreeDecimals) {
    const struct {
        int64_t nBytes;
        const char* szNumber;
    } cases[] = {
        {0, "0.000"},       {524, "0.000"},           {525, "0.001"},           {1000000, "0.954"},
        {1048576, "1.000"}, {1073741824, "1024.000"}, {6000000000, "5722.046"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(COrvekMeter::FormatRecv(c.nBytes), std::string(" Recv  ") + c.szNumber + " Mb");
        EXPECT_EQ(COrvekMeter::FormatSent(c.nBytes), std::string(" Sent  ") + c.szNumber + " Mb");
    }
}

TEST(MeterDisplay, CoalescesUpdatesUntilTheViewReleasesAndNeverDropsTheLast) {
    CFakeMeterView view;
    CCraftedPacket packet(14, ENetworkProtocol::IPv4, 1514, 54);
    view.UpdateCounters(); // as the window does when it opens
    EXPECT_EQ(view.GetLastShown().first, " Recv  0.000 Mb");
    EXPECT_EQ(view.GetLastShown().second, " Sent  0.000 Mb");

    // However many packets arrive, one update is pending until the view releases it.
    for (int i = 0; i < 1000; ++i) {
        view.AnalyzePacket(packet.GetInfo());
    }
    EXPECT_EQ(view.GetPostCount(), 1);
    view.UpdateCounters();
    EXPECT_EQ(view.GetLastShown().first, COrvekMeter::FormatRecv(1500000));
    EXPECT_FALSE(view.Release()); // nothing moved since it was shown
    EXPECT_EQ(view.GetPostCount(), 1);

    // The next packet asks again.
    view.AnalyzePacket(packet.GetInfo());
    EXPECT_EQ(view.GetPostCount(), 2);
    view.UpdateCounters();
    // Counts that arrive while the update is shown post nothing; the release hands them over.
    view.AnalyzePacket(packet.GetInfo());
    EXPECT_EQ(view.GetPostCount(), 2);
    EXPECT_TRUE(view.Release());
    view.UpdateCounters();
    EXPECT_EQ(view.GetLastShown().first, COrvekMeter::FormatRecv(1503000));
    EXPECT_FALSE(view.Release());

    // A packet that is ignored does not ask.
    CCraftedPacket runt(14, ENetworkProtocol::IPv4, 33, 33);
    view.AnalyzePacket(runt.GetInfo());
    EXPECT_EQ(view.GetPostCount(), 2);
    view.AnalyzePacket(packet.GetInfo());
    EXPECT_EQ(view.GetPostCount(), 3);
    view.ServeOwnedUpdate();

    EXPECT_EQ(view.GetOwners(), 0);
    EXPECT_FALSE(view.SawDoublePending());
    EXPECT_EQ(view.GetLastShown().first, COrvekMeter::FormatRecv(1504500));
    EXPECT_EQ(view.GetLastShown().second, " Sent  0.000 Mb");
}

// Several capture threads count at once while a user-interface thread serves the updates. Each
// packet counts 1500 bytes, more than one step of the shown text, so the last text shows exactly
// whether the last total was shown.
TEST(MeterDisplay, ConcurrentCaptureThreadsLoseNoCountAndTheLastTotalIsShown) {
    constexpr int kPacketsPerThread = kUnderThreadSanitizer ? 200000 : 1000000;
    constexpr int kThreads = 4;
    CFakeMeterView view;
    view.SetShowTime(std::chrono::microseconds(300));
    view.UpdateCounters();
    std::atomic<bool> bCaptureDone{false};

    std::thread ui([&view, &bCaptureDone] {
        for (;;) {
            // Every post made before the capture threads ended is seen by the wait after it.
            const bool bDone = bCaptureDone.load();
            if (view.WaitForPost(bDone ? 0 : 100)) {
                view.ServeOwnedUpdate();
            } else if (bDone) {
                return;
            }
        }
    });
    std::vector<std::thread> capture;
    for (int t = 0; t < kThreads; ++t) {
        capture.emplace_back([&view] {
            CCraftedPacket packet(14, ENetworkProtocol::IPv4, 1514, 54);
            for (int i = 0; i < kPacketsPerThread; ++i) {
                view.AnalyzePacket(packet.GetInfo());
            }
        });
    }
    for (std::thread& thread : capture) {
        thread.join();
    }
    bCaptureDone.store(true);
    ui.join();

    constexpr int64_t nExpected = int64_t{kThreads} * kPacketsPerThread * 1500;
    EXPECT_EQ(view.GetRecvBytes(), nExpected);
    EXPECT_EQ(view.GetSentBytes(), 0);
    EXPECT_FALSE(view.SawDoublePending());
    EXPECT_EQ(view.GetOwners(), 0);
    EXPECT_GE(view.GetPostCount(), 1);
    EXPECT_EQ(view.GetLastShown().first, COrvekMeter::FormatRecv(nExpected));
    EXPECT_EQ(view.GetLastShown().second, COrvekMeter::FormatSent(0));
}

TEST(MeterException, ShowsDescribedFailuresFromAnyThreadUnderExceptionCaption) {
    CFakeMeterView view;
    view.OnException(CZarnException(EPERM));
    EXPECT_TRUE(view.GetMessages().empty());

    view.OnException(CZarnException(0, "eth9: No such device exists"));
    std::thread other([&view] {
        view.OnException(CZarnException(ENOMEM));
        view.OnException(CZarnException(0, "syntax error"));
    });
    other.join();

    const auto messages = view.GetMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].strText, "eth9: No such device exists");
    EXPECT_EQ(messages[0].strCaption, "Exception");
    EXPECT_EQ(messages[1].strText, "syntax error");
    EXPECT_EQ(messages[1].strCaption, "Exception");
}

} // namespace
