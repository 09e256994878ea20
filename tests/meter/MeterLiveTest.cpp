// The meter end to end: live capture on a veth pair and a tun device in this process's private
// namespace, real traffic of known sizes, totals compared with what the kernel moved.

#include "AdapterManager.h"
#include "FakeMeterView.h"
#include "NetNs.h"
#include "OrvekMeter.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <pcap/dlt.h>
#include <thread>

using namespace orvektest;

namespace {

using Totals = std::pair<int64_t, int64_t>; // received, sent

// A fresh meter per test; its destruction stops capture. Nothing serves the display: the totals
// are what is checked here.
class MeterLive : public testing::Test {
protected:
    Totals Now() const { return {m_meter.GetRecvBytes(), m_meter.GetSentBytes()}; }
    // Waits until the totals equal target(), read afresh each time, and checks they do.
    void ExpectTotals(const std::function<Totals()>& target) {
        WaitUntil([&] { return Now() == target(); });
        EXPECT_EQ(Now(), target());
    }

    CFakeView m_view;
    CAdapterManager m_manager;
    COrvekMeter m_meter{m_view, m_manager, m_manager};
};

// UDP both ways and a TCP exchange, both families: each packet on the local veth end counts once,
// its wire length less the Ethernet header, so the totals follow the kernel's counters. With the
// default ring, and with the small ring of immediate delivery that devices get beyond the first.
TEST_F(MeterLive, VethTrafficEqualsTheKernelCountersAndPingsAreFilteredOut) {
    CPeerNs peer;
    const LinkEnd here{"mvl", "10.77.0.1", "fd77::1"};
    const LinkEnd there{"mvr", "10.77.0.2", "fd77::2"};
    MakeVethPair(peer, here, there);
    for (const size_t nLargeRings : {CAdapterManager::kLargeRings, size_t{0}}) {
        SCOPED_TRACE(nLargeRings);
        m_manager.SetLargeRingLimit(nLargeRings);
        m_meter.StartCapture();
        // Pings (requests in, replies out) are neither TCP nor UDP: the default filter leaves them
        // out, so the totals equal the link's from after them on.
        peer.ShOk("ping -q -n -c 5 -i 0.05 -W 5 10.77.0.1 && ping -q -n -c 5 -i 0.05 -W 5 fd77::1");
        const IfCounters base = ReadCounters(here.strName);
        const Totals start = Now();
        for (const auto pAddress : {&LinkEnd::strIPv4, &LinkEnd::strIPv6}) {
            SCOPED_TRACE(here.*pAddress);
            std::unique_ptr<CUdpSink> pSinkThere;
            std::unique_ptr<CTcpEcho> pEcho;
            peer.RunIn([&] {
                pSinkThere = std::make_unique<CUdpSink>(there.*pAddress, 7000);
                pEcho = std::make_unique<CTcpEcho>(there.*pAddress, 7000);
            });
            CUdpSink sinkHere(here.*pAddress, 7000);
            SendUdp(here.*pAddress, there.*pAddress, 7000, 1000, 50);
            peer.RunIn([&] { SendUdp(there.*pAddress, here.*pAddress, 7000, 1000, 50); });
            TcpExchange(there.*pAddress, 7000, 200000); // data both ways
            // A last acknowledgement may still be on its way: the link is read afresh too.
            ExpectTotals([&] {
                return Totals{start.first + NetworkBytesSince(here.strName, base, false),
                              start.second + NetworkBytesSince(here.strName, base, true)};
            });
        }
        m_meter.StopCapture();
    }
}

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
    ExpectTotals([&] { return Totals{NetworkBytesSince("mvf", base, false), 0}; });

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
    ExpectTotals([&] { return Totals{nBoth, nBoth}; });
    m_meter.StopCapture();
    exchange();             // nobody captures this one
    m_meter.StartCapture(); // on top of the kept totals
    exchange();
    ExpectTotals([&] { return Totals{2 * nBoth, 2 * nBoth}; });

    const auto fromGained = [&] {
        tun.Write(MakeUdpPacket("10.78.0.9", "10.78.0.1", 7401, 7300, 500));
        tun.Write(MakeUdpPacket("fd78::9", "fd78::1", 7401, 7300, 500));
    };
    fromGained();
    ExpectTotals([&] { return Totals{3 * nBoth, 2 * nBoth}; });
    ShOk("ip addr add 10.78.0.9/32 dev " + tun.GetName() +
         " && ip addr add fd78::9/128 nodad dev " + tun.GetName());
    const CAdapterManager& manager = m_manager;
    ASSERT_TRUE(WaitUntil([&] { return IsLocal(*manager.ShareAddressTable(), "10.78.0.9"); }));
    ASSERT_TRUE(WaitUntil([&] { return IsLocal(*manager.ShareAddressTable(), "fd78::9"); }));
    fromGained();
    ExpectTotals([&] { return Totals{3 * nBoth, 3 * nBoth}; });
}

} // namespace
