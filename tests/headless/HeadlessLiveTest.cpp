// `orvek --headless` as a user runs it: the real program in this test's private namespace, its
// command line, exit statuses and output, its stop signal under traffic, and its metrics scraped
// by a real Prometheus server on this namespace's loopback.

#include "NetNs.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>

using namespace orvektest;

namespace {

std::vector<std::string> Orvek(const std::vector<std::string>& args) {
    std::vector<std::string> command = {ORVEK_BINARY, "--headless"};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

// The integer of the first "key": in the text (the totals come before the devices).
int64_t JsonField(const std::string& strText, const std::string& strKey) {
    std::smatch match;
    return std::regex_search(strText, match, std::regex("\"" + strKey + "\":([0-9]+)"))
               ? std::stoll(match[1])
               : -1;
}

// The last line of an output that ends with a line end.
std::string LastLine(const std::string& strOut) {
    const size_t nStart = strOut.rfind('\n', strOut.size() < 2 ? 0 : strOut.size() - 2);
    return nStart == std::string::npos ? strOut : strOut.substr(nStart + 1);
}

TEST(HeadlessCommandLine, HelpVersionAndBadOptions) {
    CChildProcess help(Orvek({"--help"}));
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_EQ(help.GetStdout().rfind("Usage: orvek --headless", 0), 0u) << help.GetStdout();
    CChildProcess version(Orvek({"--version"}));
    EXPECT_EQ(version.Wait(), 0);
    EXPECT_EQ(version.GetStdout(), "orvek " ORVEK_VERSION "\n");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--bogus"},
                                                 {"--interval", "-1"},
                                                 {"--interval"},
                                                 {"--metrics", "70000"},
                                                 {"--metrics", "localhost:x"},
                                                 {"--filter"},
                                                 {"extra"}}) {
        CChildProcess bad(Orvek(args));
        EXPECT_EQ(bad.Wait(), 2) << args.front();
        EXPECT_NE(bad.GetStderr().find("Usage: orvek --headless"), std::string::npos)
            << bad.GetStderr();
        EXPECT_EQ(bad.GetStdout(), "");
    }
}

// A veth "hl0" (10.88.0.1) to a peer namespace (10.88.0.2).
class HeadlessLive : public testing::Test {
protected:
    HeadlessLive() { MakeVethPair(m_peer, {"hl0", "10.88.0.1", ""}, {"hl1", "10.88.0.2", ""}); }
    ~HeadlessLive() override { Sh("ip link del hl0 2>/dev/null"); }

    // Starts orvek printing JSON every 100 ms and waits for its first line: it captures.
    std::unique_ptr<CChildProcess> StartJson(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"--json", "--interval", "0.1"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto pOrvek = std::make_unique<CChildProcess>(Orvek(args));
        EXPECT_TRUE(WaitUntil([&] { return !pOrvek->GetStdout().empty(); })) << pOrvek->GetStderr();
        return pOrvek;
    }
    // nCount datagrams of nPayload bytes each way, all delivered when this returns.
    void Exchange(size_t nPayload, size_t nCount) {
        CUdpSink sinkHere("10.88.0.1", 9000);
        std::unique_ptr<CUdpSink> pSinkThere;
        m_peer.RunIn([&] { pSinkThere = std::make_unique<CUdpSink>("10.88.0.2", 9000); });
        m_peer.RunIn([&] { SendUdp("10.88.0.2", "10.88.0.1", 9000, nPayload, nCount); });
        SendUdp("10.88.0.1", "10.88.0.2", 9000, nPayload, nCount);
        EXPECT_EQ(sinkHere.WaitFor(nCount), nCount);
        EXPECT_EQ(pSinkThere->WaitFor(nCount), nCount);
        m_peer.RunIn([&] { pSinkThere.reset(); });
    }

    CPeerNs m_peer;
};

TEST_F(HeadlessLive, RefusedFilterAndMissingPermissionExitOneWithLibpcapText) {
    CChildProcess refused(Orvek({"--filter", "tcp and and"}));
    EXPECT_EQ(refused.Wait(), 1);
    EXPECT_EQ(refused.GetStderr(), "orvek: " + PcapFilterError("tcp and and") + "\n");
    // No capability: libpcap refuses to open the device.
    CChildProcess unprivileged(Orvek({}), "65534");
    EXPECT_EQ(unprivileged.Wait(), 1);
    EXPECT_NE(unprivileged.GetStderr().find("hl0: You don't have permission to perform this "
                                            "capture on that device"),
              std::string::npos)
        << unprivileged.GetStderr();
}

// The rule: every datagram both ways on hl0, IP and UDP headers included, link header not; the
// kernel's counters of hl0 tell the same, less 14 bytes a packet.
TEST_F(HeadlessLive, StopSignalAfterHeavyTrafficPrintsTheExactTotals) {
    for (const int nSignal : {SIGTERM, SIGINT}) {
        auto pOrvek = StartJson();
        const IfCounters before = ReadCounters("hl0");
        Exchange(1200, 10000);
        pOrvek->Signal(nSignal);
        ASSERT_EQ(pOrvek->Wait(), 0) << pOrvek->GetStderr();
        const std::string strLast = LastLine(pOrvek->GetStdout());
        EXPECT_EQ(JsonField(strLast, "received_bytes"), NetworkBytesSince("hl0", before, false));
        EXPECT_EQ(JsonField(strLast, "sent_bytes"), NetworkBytesSince("hl0", before, true));
        EXPECT_EQ(JsonField(strLast, "received_bytes"), 10000 * 1228) << strLast;
        EXPECT_EQ(pOrvek->GetStderr(), "");
    }
}

// Options that shape capture: an excluded device is not opened and says so; a filter of one port
// counts that port; traffic for another host that reaches hl0 counts only in promiscuous mode;
// interval 0 prints only the final line, in the counters' text form.
TEST_F(HeadlessLive, ExcludeFilterPromiscuousAndTextLines) {
    auto pExcluded = StartJson({"--exclude", "hl0"});
    Exchange(100, 10);
    pExcluded->Signal(SIGTERM);
    ASSERT_EQ(pExcluded->Wait(), 0);
    EXPECT_NE(pExcluded->GetStdout().find("{\"name\":\"hl0\",\"state\":\"excluded\""),
              std::string::npos)
        << pExcluded->GetStdout();
    EXPECT_EQ(JsonField(LastLine(pExcluded->GetStdout()), "received_bytes"), 0);

    // 10.88.0.77 is nobody's: the peer sends to hl0's hardware address, and the host, which does
    // not forward, drops it.
    m_peer.ShOk("ip neigh replace 10.88.0.77 lladdr 02:00:5e:00:00:01 dev hl1 nud permanent");
    for (const bool bPromiscuous : {false, true}) {
        auto pOrvek = StartJson(
            bPromiscuous ? std::vector<std::string>{"--filter", "udp port 9000", "--promiscuous"}
                         : std::vector<std::string>{"--filter", "udp port 9000"});
        CUdpSink sink("10.88.0.1", 9000);
        m_peer.RunIn([] {
            SendUdp("10.88.0.2", "10.88.0.1", 9000, 972, 10); // 1000 bytes after the link header
            SendUdp("10.88.0.2", "10.88.0.1", 9001, 972, 10); // another port
            SendUdp("10.88.0.2", "10.88.0.77", 9000, 972, 10);
        });
        EXPECT_EQ(sink.WaitFor(10), 10u);
        pOrvek->Signal(SIGTERM);
        ASSERT_EQ(pOrvek->Wait(), 0);
        EXPECT_EQ(JsonField(LastLine(pOrvek->GetStdout()), "received_bytes"),
                  bPromiscuous ? 20000 : 10000);
    }

    CChildProcess text(Orvek({"--interval", "0"}));
    ASSERT_TRUE(WaitUntil([] { return Sh("awk 'NR > 1' /proc/net/packet | grep -q .") == 0; }));
    text.Signal(SIGTERM);
    ASSERT_EQ(text.Wait(), 0);
    EXPECT_EQ(text.GetStdout(), " Recv  0.000 Mb\t Sent  0.000 Mb\n");
}

// Prometheus, started here on this namespace's loopback, scrapes the exporter every second: its
// query API returns exactly the bytes the kernel moved on hl0. A load of scrapes meanwhile loses
// no packet and grows no memory.
TEST_F(HeadlessLive, PrometheusScrapesExactBytesPerDevice) {
    if (!std::filesystem::exists("/usr/bin/prometheus")) {
        GTEST_SKIP() << "Debian's prometheus package is not installed";
    }
    auto pOrvek = StartJson({"--metrics", "127.0.0.1:19100"});
    httplib::Client client("127.0.0.1", 19100);
    const auto exposition = client.Get("/metrics");
    ASSERT_TRUE(exposition) << pOrvek->GetStderr();
    EXPECT_EQ(exposition->status, 200);
    std::ofstream("/tmp/orvek-metrics.txt") << exposition->body;
    EXPECT_EQ(Sh("promtool check metrics < /tmp/orvek-metrics.txt"), 0) << exposition->body;
    EXPECT_EQ(client.Get("/other")->status, 404);

    const std::string strDir = std::filesystem::temp_directory_path() / "orvek-prometheus";
    std::filesystem::remove_all(strDir);
    std::filesystem::create_directories(strDir);
    std::ofstream(strDir + "/prometheus.yml")
        << "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
           "scrape_configs: [{job_name: orvek, static_configs: [{targets: "
           "['127.0.0.1:19100']}]}]\n";
    CChildProcess prometheus({"prometheus", "--config.file=" + strDir + "/prometheus.yml",
                              "--storage.tsdb.path=" + strDir + "/data",
                              "--web.listen-address=127.0.0.1:19090"});
    const IfCounters before = ReadCounters("hl0");
    const int64_t nRecvBefore = JsonField(LastLine(pOrvek->GetStdout()), "received_bytes");
    const int64_t nSentBefore = JsonField(LastLine(pOrvek->GetStdout()), "sent_bytes");

    // Scrapes from four threads while traffic flows, bounded in count.
    std::vector<std::jthread> scrapers;
    std::atomic<int> nAnswered{0};
    for (int t = 0; t < 4; ++t) {
        scrapers.emplace_back([&] {
            httplib::Client loader("127.0.0.1", 19100);
            for (int i = 0; i < 750; ++i) {
                const auto result = loader.Get("/metrics");
                nAnswered += result && result->status == 200;
            }
        });
    }
    Exchange(1000, 5000);
    scrapers.clear();
    EXPECT_EQ(nAnswered.load(), 3000);
    const int64_t nRecv = nRecvBefore + NetworkBytesSince("hl0", before, false);
    const int64_t nSent = nSentBefore + NetworkBytesSince("hl0", before, true);

    httplib::Client api("127.0.0.1", 19090);
    const auto query = [&](const char* szDirection) {
        const auto result = api.Get("/api/v1/query?query=orvek_bytes_total%7Bdevice%3D%22hl0%22%2C"
                                    "direction%3D%22" +
                                    std::string(szDirection) + "%22%7D");
        std::smatch match;
        if (result && std::regex_search(result->body, match, std::regex(R"re(,"([0-9]+)"\])re"))) {
            return std::stoll(match[1]);
        }
        return -1LL;
    };
    EXPECT_TRUE(
        WaitUntil([&] { return query("received") == nRecv && query("sent") == nSent; }, 60000))
        << query("received") << " / " << nRecv << ", " << query("sent") << " / " << nSent;
    prometheus.Signal(SIGTERM);
    EXPECT_EQ(prometheus.Wait(), 0);
    std::filesystem::remove_all(strDir);

    // Memory: a second round of the same load leaves the resident size where the first left it.
    const auto resident = [&] {
        std::ifstream status("/proc/" + std::to_string(pOrvek->GetPid()) + "/status");
        for (std::string strLine; std::getline(status, strLine);) {
            if (strLine.rfind("VmRSS:", 0) == 0) {
                return std::stol(strLine.substr(6));
            }
        }
        return 0L;
    };
    const long nAfterFirst = resident();
    for (int i = 0; i < 3000; ++i) {
        client.Get("/metrics");
    }
    EXPECT_LT(resident() - nAfterFirst, 1024) << "KiB grown over 3000 more scrapes";
    pOrvek->Signal(SIGTERM);
    EXPECT_EQ(pOrvek->Wait(), 0);
}

} // namespace
