// The meter end to end: live capture on veth pairs and tun devices in this process's private
// namespace, real traffic of known sizes, totals compared with the bytes the kernel moved.

#include "AdapterManager.h"
#include "FakeMeterView.h"
#include "NetNs.h"
#include "ZarnException.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

using namespace orvektest;

namespace {

// The bytes a veth end carried after its Ethernet headers, from a baseline on.
struct LinkBytes {
    int64_t nRecv;
    int64_t nSent;
};

LinkBytes ReadLinkBytes(const std::string& strInterface) {
    const IfCounters counters = ReadCounters(strInterface);
    return {static_cast<int64_t>(counters.nRxBytes - 14 * counters.nRxPackets),
            static_cast<int64_t>(counters.nTxBytes - 14 * counters.nTxPackets)};
}

int64_t UdpPacketSize(const std::string& strAddress, size_t nPayload) {
    const bool bIPv6 = strAddress.find(':') != std::string::npos;
    return static_cast<int64_t>(nPayload + 8 + (bIPv6 ? 40 : 20));
}

bool IsLocal(const std::string& strAddress) {
    uint8_t address[16];
    const CAdapterManager* pManager = CAdapterManager::GetInstance();
    if (inet_pton(AF_INET6, strAddress.c_str(), address) == 1) {
        return pManager->IsLocalAddress6(address);
    }
    uint32_t nAddress = 0;
    return inet_pton(AF_INET, strAddress.c_str(), &nAddress) == 1 &&
           pManager->IsLocalAddress(nAddress);
}

// Every test gets a fresh meter, a user-interface thread serving its display updates, and stops
// capture when it ends, failed or not: the manager is shared by the whole process.
class MeterLive : public testing::Test {
protected:
    MeterLive() {
        m_ui = std::thread([this] {
            while (!m_bStopUi.load()) {
                if (m_view.WaitForPost(50)) {
                    m_view.ServeOwnedUpdate();
                }
            }
        });
    }
    ~MeterLive() override {
        m_bStopUi.store(true);
        m_ui.join();
    }

    void TearDown() override {
        m_view.StopCapture();
        EXPECT_FALSE(m_view.SawDoublePending());
    }

    // Waits until the meter's totals are these.
    testing::AssertionResult WaitForTotals(int64_t nRecv, int64_t nSent) {
        if (WaitUntil(
                [&] { return m_view.GetRecvBytes() == nRecv && m_view.GetSentBytes() == nSent; })) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure()
               << "meter " << m_view.GetRecvBytes() << " received, " << m_view.GetSentBytes()
               << " sent; expected " << nRecv << ", " << nSent;
    }

    // Waits until the meter's totals are what the veth end carried since the baseline, both read
    // afresh each time: a last acknowledgement may still be on its way.
    testing::AssertionResult WaitForLinkTotals(const std::string& strInterface,
                                               const LinkBytes& base) {
        const auto equal = [&] {
            const LinkBytes now = ReadLinkBytes(strInterface);
            return m_view.GetRecvBytes() == now.nRecv - base.nRecv &&
                   m_view.GetSentBytes() == now.nSent - base.nSent;
        };
        if (WaitUntil(equal)) {
            return testing::AssertionSuccess();
        }
        const LinkBytes now = ReadLinkBytes(strInterface);
        return testing::AssertionFailure()
               << "meter " << m_view.GetRecvBytes() << " received, " << m_view.GetSentBytes()
               << " sent; link " << now.nRecv - base.nRecv << " received, "
               << now.nSent - base.nSent << " sent";
    }

    // Waits until the view shows these totals.
    testing::AssertionResult WaitForShown(int64_t nRecv, int64_t nSent) {
        const auto expected =
            std::make_pair(COrvekMeter::FormatRecv(nRecv), COrvekMeter::FormatSent(nSent));
        if (WaitUntil([&] { return m_view.GetLastShown() == expected; })) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << "shown \"" << m_view.GetLastShown().first << "\", \""
                                           << m_view.GetLastShown().second << "\"";
    }

    static std::string NextName(const char* szPrefix) {
        static std::atomic<int> s_nNext{0};
        return szPrefix + std::to_string(s_nNext.fetch_add(1));
    }

    CFakeMeterView m_view;

private:
    std::atomic<bool> m_bStopUi{false};
    std::thread m_ui;
};

// UDP and TCP, both ways, both families, through a veth pair: each packet on the local end counts
// once, its wire length less the Ethernet header, and only the traffic the test made is there.
TEST_F(MeterLive, VethTrafficCountsExactlyTheBytesBeyondTheLinkHeader) {
    CPeerNs peer;
    const LinkEnd local{NextName("mvl"), "10.77.0.1", "fd77::1"};
    const LinkEnd remote{NextName("mvr"), "10.77.0.2", "fd77::2"};
    MakeVethPair(peer, local, remote);
    const LinkBytes base = ReadLinkBytes(local.strName);
    EXPECT_EQ(m_view.GetFilter(), "tcp or udp");
    m_view.StartCapture();

    struct Case {
        bool bIPv6;
        bool bTcp;
        bool bOutgoing; // the local end starts it
    };
    const Case cases[] = {
        {false, false, true}, {false, false, false}, {true, false, true}, {true, false, false},
        {false, true, true},  {false, true, false},  {true, true, true},  {true, true, false},
    };
    constexpr size_t kPayload = 1000;
    constexpr size_t kDatagrams = 50;
    constexpr size_t kTcpBytes = 200000;
    uint16_t nPort = 7000;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.bIPv6 ? "IPv6 " : "IPv4 ") << (c.bTcp ? "TCP " : "UDP ")
                     << (c.bOutgoing ? "from here" : "from the peer"));
        const std::string& strHere = c.bIPv6 ? local.strIPv6 : local.strIPv4;
        const std::string& strThere = c.bIPv6 ? remote.strIPv6 : remote.strIPv4;
        const std::string& strServer = c.bOutgoing ? strThere : strHere;
        const std::string& strClient = c.bOutgoing ? strHere : strThere;
        const int64_t nRecvBefore = m_view.GetRecvBytes();
        const int64_t nSentBefore = m_view.GetSentBytes();
        ++nPort;

        // The server lives where it listens; the client runs on a thread in its own namespace.
        std::unique_ptr<CUdpSink> pSink;
        std::unique_ptr<CTcpEcho> pEcho;
        const auto serve = [&] {
            if (c.bTcp) {
                pEcho = std::make_unique<CTcpEcho>(strServer, nPort);
            } else {
                pSink = std::make_unique<CUdpSink>(strServer, nPort);
            }
        };
        const auto run = [&] {
            if (c.bTcp) {
                TcpExchange(strServer, nPort, kTcpBytes);
            } else {
                SendUdp(strClient, strServer, nPort, kPayload, kDatagrams);
            }
        };
        if (c.bOutgoing) {
            peer.RunIn(serve);
            run();
        } else {
            serve();
            peer.RunIn(run);
        }
        if (pSink) {
            EXPECT_EQ(pSink->WaitFor(kDatagrams), kDatagrams);
        }

        EXPECT_TRUE(WaitForLinkTotals(local.strName, base));
        const int64_t nRecvAdded = m_view.GetRecvBytes() - nRecvBefore;
        const int64_t nSentAdded = m_view.GetSentBytes() - nSentBefore;
        if (!c.bTcp) {
            const int64_t nDatagrams = kDatagrams * UdpPacketSize(strServer, kPayload);
            EXPECT_EQ(c.bOutgoing ? nSentAdded : nRecvAdded, nDatagrams);
            EXPECT_EQ(c.bOutgoing ? nRecvAdded : nSentAdded, 0);
        } else {
            // The data both ways, with headers, handshake and acknowledgements on top.
            EXPECT_GT(nSentAdded, static_cast<int64_t>(kTcpBytes));
            EXPECT_GT(nRecvAdded, static_cast<int64_t>(kTcpBytes));
        }
    }
    // The view ends up showing the final totals.
    EXPECT_TRUE(WaitForShown(m_view.GetRecvBytes(), m_view.GetSentBytes()));
}

// A tun device has no link header: what is written to it arrives as received, what the host
// routes into it leaves as sent, each counted whole.
TEST_F(MeterLive, TunTrafficCountsWholeIpPackets) {
    CTunDevice tun(NextName("mtun"), "10.78.0.1/24", "fd78::1/64");
    m_view.StartCapture();
    constexpr size_t kPayload = 700;
    constexpr int kPackets = 20;
    int64_t nRecv = 0;
    int64_t nSent = 0;
    for (const auto& [strHere, strThere] :
         {std::pair<std::string, std::string>{"10.78.0.1", "10.78.0.2"}, {"fd78::1", "fd78::2"}}) {
        SCOPED_TRACE(strHere);
        CUdpSink sink(strHere, 7100);
        for (int i = 0; i < kPackets; ++i) {
            tun.Write(MakeUdpPacket(strThere, strHere, 7101, 7100, kPayload));
        }
        EXPECT_EQ(sink.WaitFor(kPackets), static_cast<size_t>(kPackets));
        nRecv += kPackets * UdpPacketSize(strHere, kPayload);
        EXPECT_TRUE(WaitForTotals(nRecv, nSent));

        SendUdp(strHere, strThere, 7102, kPayload, kPackets);
        for (int i = 0; i < kPackets; ++i) {
            EXPECT_EQ(static_cast<int64_t>(tun.Read(20000).size()),
                      UdpPacketSize(strHere, kPayload));
        }
        nSent += kPackets * UdpPacketSize(strHere, kPayload);
        EXPECT_TRUE(WaitForTotals(nRecv, nSent));
    }
    EXPECT_TRUE(WaitForShown(nRecv, nSent));
}

// The default filter keeps out what is neither TCP nor UDP: pings from the peer (requests in,
// replies out) move the link's counters but not the meter's.
TEST_F(MeterLive, DefaultFilterLeavesOutPings) {
    CPeerNs peer;
    const LinkEnd local{NextName("mvl"), "10.77.1.1", "fd77:1::1"};
    const LinkEnd remote{NextName("mvr"), "10.77.1.2", "fd77:1::2"};
    MakeVethPair(peer, local, remote);
    m_view.StartCapture();
    const IfCounters before = ReadCounters(local.strName);
    peer.ShOk("ping -q -n -c 5 -i 0.05 -W 5 10.77.1.1 && ping -q -n -c 5 -i 0.05 -W 5 fd77:1::1");
    EXPECT_EQ(ReadCounters(local.strName).nRxPackets - before.nRxPackets, 10u);

    // A datagram sent after the pings is counted after them: once it is, the pings were seen.
    CUdpSink sink(local.strIPv4, 7200);
    peer.RunIn([&] { SendUdp(remote.strIPv4, local.strIPv4, 7200, 100, 1); });
    EXPECT_TRUE(WaitForTotals(UdpPacketSize(local.strIPv4, 100), 0));
}

// A filter libpcap rejects fails the start with libpcap's text, which the meter shows under the
// caption "Exception", as the window does with what the start threw.
TEST_F(MeterLive, RejectedFilterShowsLibpcapTextUnderExceptionCaption) {
    m_view.SetCaptureSettings("tcp and and", false);
    EXPECT_EQ(m_view.GetFilter(), "tcp and and");
    std::string strThrown;
    try {
        m_view.StartCapture();
        ADD_FAILURE() << "the start did not fail";
    } catch (const CZarnException& e) {
        ASSERT_TRUE(e.HasDescription());
        strThrown = e.GetDescription();
        m_view.OnException(e);
    }
    EXPECT_NE(strThrown.find("syntax error"), std::string::npos) << strThrown;
    const auto messages = m_view.GetMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].strText, strThrown);
    EXPECT_EQ(messages[0].strCaption, "Exception");
}

// Stopping and starting again keeps both totals; counting resumes on top of them.
TEST_F(MeterLive, StopAndRestartKeepTheTotals) {
    CTunDevice tun(NextName("mtun"), "10.78.2.1/24", "");
    CUdpSink sink("10.78.2.1", 7300);
    const int64_t nPacket = UdpPacketSize("10.78.2.1", 500);
    size_t nExchanges = 0;
    // One packet each way, both past the capture point when this returns.
    const auto exchange = [&] {
        tun.Write(MakeUdpPacket("10.78.2.2", "10.78.2.1", 7301, 7300, 500));
        SendUdp("10.78.2.1", "10.78.2.2", 7302, 500, 1);
        EXPECT_EQ(static_cast<int64_t>(tun.Read(20000).size()), nPacket);
        EXPECT_EQ(sink.WaitFor(++nExchanges), nExchanges);
    };
    m_view.StartCapture();
    exchange();
    EXPECT_TRUE(WaitForTotals(nPacket, nPacket));

    m_view.StopCapture();
    exchange(); // nobody captures this one
    EXPECT_EQ(m_view.GetRecvBytes(), nPacket);
    EXPECT_EQ(m_view.GetSentBytes(), nPacket);

    m_view.StartCapture();
    EXPECT_EQ(m_view.GetRecvBytes(), nPacket);
    EXPECT_EQ(m_view.GetSentBytes(), nPacket);
    exchange();
    EXPECT_TRUE(WaitForTotals(2 * nPacket, 2 * nPacket));
    EXPECT_TRUE(WaitForShown(2 * nPacket, 2 * nPacket));
}

// An address the host gains while capturing turns the packets from it into sent traffic, for
// either family, without a restart.
TEST_F(MeterLive, AddressAddedWhileCapturingTurnsItsPacketsIntoSent) {
    CTunDevice tun(NextName("mtun"), "10.78.3.1/24", "fd78:3::1/64");
    m_view.StartCapture();
    constexpr size_t kPayload = 300;
    int64_t nRecv = 0;
    int64_t nSent = 0;
    for (const auto& [strHere, strSource] :
         {std::pair<std::string, std::string>{"10.78.3.1", "10.78.3.9"},
          {"fd78:3::1", "fd78:3::9"}}) {
        SCOPED_TRACE(strSource);
        const int64_t nPacket = UdpPacketSize(strHere, kPayload);
        const auto packet = MakeUdpPacket(strSource, strHere, 7401, 7400, kPayload);
        CUdpSink sink(strHere, 7400);
        tun.Write(packet);
        nRecv += nPacket;
        EXPECT_TRUE(WaitForTotals(nRecv, nSent));

        const bool bIPv6 = strSource.find(':') != std::string::npos;
        ShOk("ip addr add " + strSource + (bIPv6 ? "/128" : "/32") + " dev " + tun.GetName() +
             (bIPv6 ? " nodad" : ""));
        ASSERT_TRUE(WaitUntil([&] { return IsLocal(strSource); }));
        tun.Write(packet);
        nSent += nPacket;
        EXPECT_TRUE(WaitForTotals(nRecv, nSent));
    }
}

} // namespace
