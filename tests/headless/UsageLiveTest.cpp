// `orvek-headless --database` as the exporter's unit runs it, on real traffic in this test's
// private namespace: runs that add up across restarts, a second Orvek that does not record, the
// plan's metrics, and a kill -9 under steady traffic that loses at most the flush period.

#include "NetNs.h"
#include "PlanUsage.h"
#include "UsageRecorder.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>

using namespace orvektest;

namespace {

using Args = std::vector<std::string>;

// A veth "hu0" (10.89.0.1) to a peer namespace (10.89.0.2), and a usage file of the test's own.
class HeadlessUsageLive : public testing::Test {
protected:
    HeadlessUsageLive() {
        MakeVethPair(m_peer, {"hu0", "10.89.0.1", ""}, {"hu1", "10.89.0.2", ""});
        std::filesystem::create_directories(m_dir);
    }
    ~HeadlessUsageLive() override {
        Sh("ip link del hu0 2>/dev/null");
        std::filesystem::remove_all(m_dir);
    }

    // Starts orvek-headless on the file and waits until it captures.
    std::unique_ptr<CChildProcess> Start(Args args = {}) {
        args.insert(args.begin(),
                    {ORVEK_HEADLESS, "--json", "--interval", "0.2", "--database", m_strPath});
        auto pOrvek = std::make_unique<CChildProcess>(args);
        EXPECT_TRUE(WaitUntil([&] { return !pOrvek->GetStdout().empty(); })) << pOrvek->GetStderr();
        return pOrvek;
    }
    // nCount datagrams of 1000 bytes of payload from the peer, all delivered: 1028 bytes each.
    void Receive(size_t nCount) {
        CUdpSink sink("10.89.0.1", 9100);
        m_peer.RunIn([&] { SendUdp("10.89.0.2", "10.89.0.1", 9100, 1000, nCount); });
        EXPECT_EQ(sink.WaitFor(nCount), nCount);
    }
    // Received bytes of a device in the file, all tiers agreeing; -1 when they do not.
    int64_t Stored(const std::string& strDevice = "hu0") {
        CUsageStore store(m_strPath, CUsageStore::EAccess::Read, 0);
        int64_t nFirst = -2;
        for (int nTier = 0; nTier < kTierCount; ++nTier) {
            int64_t nSum = 0;
            for (const UsageRow& row :
                 store.ReadUsage(static_cast<ETier>(nTier), 0, int64_t{1} << 40)) {
                nSum += row.strDevice == strDevice ? row.nRecv : 0;
            }
            nFirst = nFirst == -2 || nFirst == nSum ? nSum : -1;
        }
        return nFirst;
    }

    CPeerNs m_peer;
    std::filesystem::path m_dir =
        std::filesystem::temp_directory_path() / ("orvek-usage-" + std::to_string(getpid()));
    std::string m_strPath = (m_dir / "usage.sqlite").string();
};

// Run, stop, run again: the file holds the sum of both runs, exactly. A second Orvek on the same
// file while the first runs says once that it does not record, and adds nothing. With a plan the
// exporter serves its used bytes and cap.
TEST_F(HeadlessUsageLive, RestartsAddUpSecondOrvekDoesNotRecordPlanMetrics) {
    const int64_t nBegun = std::time(nullptr);
    auto pFirst = Start();
    Receive(1000);
    pFirst->Signal(SIGTERM);
    ASSERT_EQ(pFirst->Wait(), 0) << pFirst->GetStderr();
    EXPECT_EQ(Stored(), 1'028'000);

    // The program records on the system's clock: a cycle that starts two weeks from today never
    // ends during the test, whatever the date.
    const std::string strCycleDay = std::to_string(LocalDateOf(nBegun + 14 * 86400).nDay);
    auto pSecond = Start({"--metrics", "127.0.0.1:19101", "--plan-cap", "2MB", "--plan-counts",
                          "received", "--plan-day", strCycleDay});
    auto pOther = Start();
    Receive(500);
    EXPECT_TRUE(
        WaitUntil([&] { return pOther->GetStderr().find("not recording") != std::string::npos; }));
    EXPECT_EQ(pOther->GetStderr(), "orvek: not recording usage: another Orvek (process " +
                                       std::to_string(pSecond->GetPid()) + ") records into " +
                                       m_strPath + "\n");
    httplib::Client scraper("127.0.0.1", 19101);
    // Written within the flush period of the traffic.
    EXPECT_TRUE(WaitUntil(
        [&] {
            const auto result = scraper.Get("/metrics");
            return result &&
                   result->body.find("\norvek_plan_used_bytes 1542000\n") != std::string::npos &&
                   result->body.find("\norvek_plan_limit_bytes 2000000\n") != std::string::npos;
        },
        30000));
    for (CChildProcess* pOrvek : {pOther.get(), pSecond.get()}) {
        pOrvek->Signal(SIGTERM);
        EXPECT_EQ(pOrvek->Wait(), 0);
    }
    EXPECT_EQ(Stored(), 1'542'000);
    // The runs' stretches (one, when the second began within the second the first ended in)
    // cover the time from the first start to the second's end.
    const int64_t nEnded = std::time(nullptr);
    CUsageStore store(m_strPath, CUsageStore::EAccess::Read, 0);
    const std::vector<RecordedSpan> spans = store.ReadRecorded(0, int64_t{1} << 40);
    ASSERT_FALSE(spans.empty());
    EXPECT_GE(spans.front().nStart, nBegun);
    EXPECT_LE(spans.front().nStart, nBegun + 5);
    EXPECT_GE(spans.back().nEnd, nEnded - 3);
    EXPECT_LE(spans.back().nEnd, nEnded + 1);
}

// A VXLAN overlay over hu0: the usage file and the exporter's orvek_bytes_total hold exactly what
// crossed hu0, summed over devices; the overlay's inner bytes only its tunnel series, beside the
// outer bytes that carried them.
TEST_F(HeadlessUsageLive, TunnelTrafficCountsOnceInTheFileAndTheExporterSums) {
    MakeVxlanPair(m_peer, "huv", 43, {"hu0", "10.89.0.1", ""}, {"hu1", "10.89.0.2", ""},
                  "10.90.0.1", "10.90.0.2");
    auto pOrvek = Start({"--metrics", "127.0.0.1:19102"});
    const IfCounters base = ReadCounters("hu0");
    CUdpSink sink("10.90.0.1", 9100);
    std::unique_ptr<CUdpSink> pPeerSink;
    m_peer.RunIn([&] { pPeerSink = std::make_unique<CUdpSink>("10.90.0.2", 9100); });
    m_peer.RunIn([] { SendUdp("10.90.0.2", "10.90.0.1", 9100, 1000, 300); });
    SendUdp("10.90.0.1", "10.90.0.2", 9100, 1000, 200);
    EXPECT_EQ(sink.WaitFor(300), 300u);
    EXPECT_EQ(pPeerSink->WaitFor(200), 200u);
    const int64_t nSent = NetworkBytesSince("hu0", base, true),
                  nRecv = NetworkBytesSince("hu0", base, false);
    // What a dashboard sums, and the tunnel's series.
    const auto scraped = [](const std::string& strBody) {
        int64_t nSent = 0, nRecv = 0;
        const std::regex sample(
            R"re(orvek_bytes_total\{device="[^"]*",direction="(\w+)"\} (\d+))re");
        for (auto it = std::sregex_iterator(strBody.begin(), strBody.end(), sample);
             it != std::sregex_iterator(); ++it) {
            ((*it)[1] == "sent" ? nSent : nRecv) += std::stoll((*it)[2]);
        }
        return std::pair{nSent, nRecv};
    };
    httplib::Client scraper("127.0.0.1", 19102);
    std::string strBody;
    const std::string strTunnel = "{device=\"huv\",carried_by=\"hu0\",direction=";
    EXPECT_TRUE(WaitUntil([&] {
        const auto result = scraper.Get("/metrics");
        strBody = result ? result->body : "";
        // The tunnel's own capture thread may report its inner bytes after the uplink's.
        return scraped(strBody) == std::pair{nSent, nRecv} &&
               strBody.find("orvek_tunnel_outer_bytes_total" + strTunnel + "\"received\"} " +
                            std::to_string(nRecv) + "\n") != std::string::npos &&
               strBody.find("orvek_tunnel_bytes_total" + strTunnel + "\"received\"} 308400\n") !=
                   std::string::npos;
    })) << strBody;
    EXPECT_NE(strBody.find("orvek_tunnel_bytes_total" + strTunnel + "\"sent\"} 205600\n"),
              std::string::npos)
        << strBody;
    EXPECT_NE(strBody.find("orvek_tunnel_bytes_total" + strTunnel + "\"received\"} 308400\n"),
              std::string::npos)
        << strBody;
    pOrvek->Signal(SIGTERM);
    ASSERT_EQ(pOrvek->Wait(), 0) << pOrvek->GetStderr();
    EXPECT_EQ(Stored(), nRecv);
    EXPECT_EQ(Stored("huv"), 0);
}

// kill -9 while a steady 200 datagrams a second arrive: the file is intact and holds all but at
// most the flush period's traffic (and the time the meter took to show the totals).
TEST_F(HeadlessUsageLive, KillNineLosesAtMostTheFlushPeriod) {
    auto pOrvek = Start();
    const IfCounters before = ReadCounters("hu0");
    CUdpSink sink("10.89.0.1", 9100);
    std::atomic<bool> bStop{false};
    std::thread sender([&] {
        m_peer.RunIn([&] {
            while (!bStop) {
                SendUdp("10.89.0.2", "10.89.0.1", 9100, 1000, 20);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    });
    std::this_thread::sleep_for(std::chrono::seconds(25));
    pOrvek->Signal(SIGKILL);
    pOrvek->Wait();
    bStop = true;
    sender.join();
    const int64_t nReceived = NetworkBytesSince("hu0", before, false);
    const int64_t nStored = Stored();
    CSqlite db(m_strPath, SQLITE_OPEN_READONLY);
    CSqliteStatement check = db.Prepare("PRAGMA integrity_check");
    ASSERT_TRUE(check.Step());
    EXPECT_EQ(check.GetText(0), "ok");
    const int64_t nPerSecond = 200 * 1028;
    EXPECT_GT(nStored, 0);
    EXPECT_GE(nStored, nReceived - (CUsageRecorder::kFlushPeriodMs / 1000 + 1) * nPerSecond)
        << nReceived << " received";
    EXPECT_LE(nStored, nReceived);
}

} // namespace
