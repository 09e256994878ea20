// `orvek-headless` as a user runs it: the real program in this test's private namespace, its
// command line, exit statuses and output, its stop signal under traffic, and its metrics scraped
// by a real Prometheus server on this namespace's loopback.

#include "HeadlessOptions.h"
#include "NetNs.h"

#include <httplib.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <string_view>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace orvektest;

namespace {

using Args = std::vector<std::string>;

Args Orvek(Args args) {
    args.insert(args.begin(), ORVEK_HEADLESS);
    return args;
}

// The totals in the last line of an output; -1 where there is none.
using SentRecv = std::pair<int64_t, int64_t>;
SentRecv Totals(const std::string& strOut) {
    const std::string strLast = strOut.substr(strOut.rfind('\n', strOut.size() - 2) + 1);
    const auto line = nlohmann::json::parse(strLast, nullptr, false);
    if (!line.is_object()) {
        return {-1, -1};
    }
    return {line.value("sent_bytes", int64_t{-1}), line.value("received_bytes", int64_t{-1})};
}

// Stops orvek, which must exit cleanly having said strErr on standard error; returns its output.
std::string Stop(CChildProcess& orvek, int nSignal = SIGTERM, const std::string& strErr = "") {
    orvek.Signal(nSignal);
    EXPECT_EQ(orvek.Wait(), 0) << orvek.GetStderr();
    EXPECT_EQ(orvek.GetStderr(), strErr);
    return orvek.GetStdout();
}

// A process's resident size in KiB.
long ResidentKiB(pid_t nPid) {
    return std::stol(ShOut("awk '/^VmRSS:/ {print $2}' /proc/" + std::to_string(nPid) + "/status"));
}

// The capture helper that orvek started: its only child.
pid_t HelperOf(const CChildProcess& orvek) {
    return std::stoi(ShOut("pgrep -P " + std::to_string(orvek.GetPid())));
}

// A veth "hl0" (10.88.0.1) to a peer namespace (10.88.0.2).
class HeadlessLive : public testing::Test {
protected:
    HeadlessLive() { MakeVethPair(m_peer, {"hl0", "10.88.0.1", ""}, {"hl1", "10.88.0.2", ""}); }
    ~HeadlessLive() override { Sh("ip link del hl0 2>/dev/null"); }

    // Starts orvek printing JSON every 100 ms and waits for its first line: it captures.
    std::unique_ptr<CChildProcess> StartJson(Args args = {}) {
        args.insert(args.begin(), {"--json", "--interval", "0.1"});
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

TEST_F(HeadlessLive, CommandLineExitStatusesAndTexts) {
    // Standard error holds nothing, or a line with the reason and then the usage.
    for (const auto& [args, nStatus, strOut, strErrAfterReason] :
         std::vector<std::tuple<Args, int, std::string, std::string>>{
             // The source it would count by follows the options.
             {{"--help"},
              0,
              HeadlessUsage() + std::string("\nCounting now by its own capture helper: nothing "
                                            "answers at /run/orvek/orvekd.sock.\n"),
              ""},
             {{"--version"}, 0, "orvek " ORVEK_VERSION "\n", ""},
             {{"--interval", "-1"}, 2, "", HeadlessUsage()}}) {
        CChildProcess orvek(Orvek(args));
        EXPECT_EQ(orvek.Wait(), nStatus) << args[0];
        EXPECT_EQ(orvek.GetStdout(), strOut) << args[0];
        const std::string strErr = orvek.GetStderr();
        EXPECT_EQ(strErr.substr(strErr.find('\n') + 1), strErrAfterReason) << strErr;
    }
    // A filter or a device that libpcap refuses: exit 1 with its text.
    CChildProcess refused(Orvek({"--filter", "tcp and and"}));
    EXPECT_EQ(refused.Wait(), 1);
    EXPECT_EQ(refused.GetStderr(), "orvek: " + PcapFilterError("tcp and and") + "\n");
    CChildProcess unprivileged(Orvek({}), "65534"); // no capability
    EXPECT_EQ(unprivileged.Wait(), 1);
    const std::string strErr = unprivileged.GetStderr();
    // libpcap's text, then how to fix it for the capture helper it ran.
    EXPECT_NE(strErr.find("hl0: You don't have permission to perform this capture on that device"),
              std::string::npos)
        << strErr;
    EXPECT_NE(strErr.find("\norvek: Capturing needs the cap_net_raw capability."),
              std::string::npos)
        << strErr;
    EXPECT_NE(strErr.find(std::string("setcap cap_net_raw+ep ") + ORVEK_HELPER + "\n"),
              std::string::npos)
        << strErr;
    // It runs where no desktop is installed: no Qt library is even loaded.
    EXPECT_EQ(ShOut(std::string("ldd ") + ORVEK_HEADLESS + " | grep -c libQt || true"), "0\n");
#ifdef ORVEK_BINARY
    // The window's binary hands --headless over to it, and answers --help and --version, without
    // a display; without one it says so in a line instead of letting Qt abort, also where the
    // display named cannot be reached. Qt needs no display for an offscreen window.
    const Args noDisplay{"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};
    const std::string strNoDisplay = "orvek: no display to open the window on (";
    for (const auto& [args, nStatus, strOut, strErrStart] :
         std::vector<std::tuple<Args, int, std::string, std::string>>{
             {{"--headless", "--version"}, 0, "orvek " ORVEK_VERSION "\n", ""},
             {{"--version"}, 0, "orvek " ORVEK_VERSION "\n", ""},
             {{"--help"},
              0,
              "Usage: orvek [--autostart] [--units binary|decimal] [--socket PATH] [Qt's options]\n"
              "       orvek "
              "--headless",
              ""},
             {{}, 1, "", strNoDisplay + "neither DISPLAY nor WAYLAND_DISPLAY is set); "},
             {{"DISPLAY=:79"}, 1, "", strNoDisplay + "could not connect to display :79); "},
             {{"QT_QPA_PLATFORM=xcb"}, 1, "", strNoDisplay}}) {
        Args command = noDisplay;
        const bool bEnv = !args.empty() && args[0].find('=') != std::string::npos;
        command.insert(command.end(), args.begin(), args.begin() + (bEnv ? 1 : 0));
        command.push_back(ORVEK_BINARY);
        command.insert(command.end(), args.begin() + (bEnv ? 1 : 0), args.end());
        CChildProcess orvek(command);
        EXPECT_EQ(orvek.Wait(), nStatus) << orvek.GetStderr();
        EXPECT_EQ(orvek.GetStdout().substr(0, strOut.size()), strOut);
        const std::string strErr = orvek.GetStderr();
        EXPECT_EQ(strErr.substr(0, strErrStart.size()), strErrStart);
        if (nStatus == 1) {
            EXPECT_NE(strErr.find("orvek --headless counts without one"), std::string::npos);
            EXPECT_EQ(std::count(strErr.begin(), strErr.end(), '\n'), 1) << strErr;
        } else {
            EXPECT_EQ(strErr, "");
        }
    }
#endif
}

// A helper killed while capturing: one line says so, the final line keeps what it had counted,
// and the status tells that capture did not go on.
TEST_F(HeadlessLive, AHelperThatDiesIsToldOnceAndItsCountsKept) {
    auto pOrvek = StartJson();
    Exchange(1000, 20);
    ASSERT_TRUE(WaitUntil([&] { return Totals(pOrvek->GetStdout()) == SentRecv(20560, 20560); }))
        << pOrvek->GetStdout();
    kill(HelperOf(*pOrvek), SIGKILL);
    EXPECT_EQ(pOrvek->Wait(), 1);
    EXPECT_EQ(Totals(pOrvek->GetStdout()), SentRecv(20560, 20560));
    const std::string strErr = pOrvek->GetStderr();
    EXPECT_EQ(std::ranges::count(strErr, '\n'), 1) << strErr;
    EXPECT_TRUE(strErr.starts_with("orvek: Orvek's capture helper (/") &&
                strErr.ends_with("/orvek-capture) ended unexpectedly: killed by signal 9 "
                                 "(Killed); capture stopped.\n"))
        << strErr;
}

// Capture options, each in an orvek of its own on the same traffic: an excluded device is not
// opened, one named a tunnel shows its traffic apart from the totals, each says so, and leaving
// nothing to count is said at the start,
// as is an --exclude that names no device; a filter of one port counts that port; traffic for
// another host that reaches hl0 counts only in promiscuous mode; interval 0 says once that it runs
// and where its metrics are, and prints only the final line, in the counters' text form. SIGINT
// stops as SIGTERM does.
TEST_F(HeadlessLive, CaptureOptionsCountWhatTheyAdmit) {
    CChildProcess text(Orvek({"--interval", "0", "--metrics", "[::1]:19101"}));
    ASSERT_TRUE(WaitUntil([] { return Sh("awk 'NR > 1' /proc/net/packet | grep -q .") == 0; }));
    auto pExcluded = StartJson({"--exclude", "hl0", "--exclude", "nosuch0"});
    auto pTunnel = StartJson({"--tunnel", "hl0=hl9"});
    auto pPort = StartJson({"--filter", "udp port 9000"});
    auto pPromiscuous = StartJson({"--filter", "udp port 9000", "--promiscuous"});
    // 10.88.0.77 is nobody's: the peer sends to hl0's hardware address, and the host, which does
    // not forward, drops it.
    m_peer.RunIn(
        [] { ShOk("ip neigh replace 10.88.0.77 lladdr 02:00:5e:00:00:01 dev hl1 nud permanent"); });
    CUdpSink sink("10.88.0.1", 9000);
    m_peer.RunIn([] {
        SendUdp("10.88.0.2", "10.88.0.1", 9000, 972, 10); // 1000 bytes after the link header
        SendUdp("10.88.0.2", "10.88.0.1", 9001, 972, 10); // another port
        SendUdp("10.88.0.2", "10.88.0.77", 9000, 972, 10);
    });
    EXPECT_EQ(sink.WaitFor(10), 10u);
    EXPECT_EQ(Totals(Stop(*pPort)), SentRecv(0, 10000));
    EXPECT_EQ(Totals(Stop(*pPromiscuous, SIGINT)), SentRecv(0, 20000));
    const std::string strExcluded =
        Stop(*pExcluded, SIGTERM,
             "orvek: warning: --exclude nosuch0: no device has this name; it stays excluded if one "
             "appears\norvek: No device is captured, so nothing is counted: hl0 is excluded. To "
             "count a device, leave out its --exclude (or --tunnel) option.\n");
    EXPECT_NE(strExcluded.find(R"({"name":"hl0","state":"excluded")"), std::string::npos)
        << strExcluded;
    EXPECT_EQ(Totals(strExcluded), SentRecv(0, 0));
    const std::string strTunnel =
        Stop(*pTunnel, SIGTERM,
             "orvek: No device is captured, so nothing is counted: hl0 is said to be a tunnel (its "
             "traffic counts on the device that carries it). To count a device, leave out its "
             "--exclude (or --tunnel) option.\n");
    EXPECT_NE(strTunnel.find(R"x({"name":"hl0","state":"carried inside hl9 (set by the user)")x"),
              std::string::npos)
        << strTunnel;
    // Both ports, not the other host, inside the tunnel (whatever the filter: what this host
    // answered, port-unreachable errors, is the tunnel's too).
    EXPECT_NE(strTunnel.find(R"("inner_received_bytes":20000,"outer_sent_bytes":null,)"),
              std::string::npos)
        << strTunnel;
    EXPECT_NE(strTunnel.find(R"("tunnel":{"carried_by":"hl9","inner_sent_bytes":)"),
              std::string::npos);
    EXPECT_EQ(Totals(strTunnel), SentRecv(0, 0));
    // Both ports, not the other host: 20000 bytes.
    EXPECT_EQ(Stop(text, SIGTERM,
                   "orvek: capturing; the totals are printed when SIGINT or SIGTERM ends it; "
                   "metrics at http://[::1]:19101/metrics\n"),
              " Recv  0.019 Mb\t Sent  0.000 Mb\n");
}

// Prometheus, started here on this namespace's loopback, scrapes the exporter every second and
// holds exactly the bytes moved on hl0 (every datagram both ways, IP and UDP headers included,
// link header not: 1028 bytes for 1000 of payload). A load of scrapes meanwhile loses no packet,
// and a second round of it leaves the resident size where the first left it.
TEST_F(HeadlessLive, PrometheusScrapesExactBytesPerDevice) {
    if (!std::filesystem::exists("/usr/bin/prometheus")) {
        GTEST_SKIP() << "Debian's prometheus package is not installed";
    }
    auto pOrvek = StartJson({"--metrics", "127.0.0.1:19100"});
    // Named for this process: other test runs may use the same machine at the same time.
    const std::string strDir = "/tmp/orvek-prometheus-" + std::to_string(getpid());
    std::filesystem::create_directories(strDir);
    std::ofstream(strDir + "/prometheus.yml")
        << "global: {scrape_interval: 1s}\nscrape_configs: [{job_name: orvek, static_configs: "
           "[{targets: ['127.0.0.1:19100']}]}]\n";
    CChildProcess prometheus({"prometheus", "--config.file=" + strDir + "/prometheus.yml",
                              "--storage.tsdb.path=" + strDir + "/data",
                              "--web.listen-address=127.0.0.1:19090"});
    std::vector<long> vecResidentKiB;
    httplib::Client scraper("127.0.0.1", 19100);
    for (int nRound = 0; nRound < 2; ++nRound) {
        auto traffic = std::async(std::launch::async, [this] { Exchange(1000, 5000); });
        for (int nScrape = 0; nScrape < 3000; ++nScrape) {
            const auto result = scraper.Get("/metrics");
            ASSERT_EQ(result ? result->status : -1, 200) << nScrape;
        }
        traffic.get();
        vecResidentKiB.push_back(std::stol(ShOut("awk '/^VmRSS:/ {print $2}' /proc/" +
                                                 std::to_string(pOrvek->GetPid()) + "/status")));
    }
    // Under AddressSanitizer freed memory waits in its quarantine (LeakSanitizer then checks the
    // program at its exit instead), and ThreadSanitizer's shadow memory grows as it likes.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(vecResidentKiB[1] - vecResidentKiB[0], 1024) << "KiB grown over 3000 more scrapes";
#endif

    // Prometheus's latest values of hl0's bytes, a "direction bytes" line each.
    const std::string strQuery = R"(promtool query instant http://127.0.0.1:19090 )"
                                 R"('orvek_bytes_total{device="hl0"}' | sed -E )"
                                 R"q('s/.*direction="(\w+)".* => ([0-9]+) .*/\1 \2/' | sort)q";
    // Two rounds of 5000 datagrams each way, 1028 bytes each.
    EXPECT_TRUE(
        WaitUntil([&] { return ShOut(strQuery) == "received 10280000\nsent 10280000\n"; }, 60000))
        << ShOut(strQuery);
    prometheus.Signal(SIGTERM);
    prometheus.Wait();
    std::filesystem::remove_all(strDir);
    // Stopped after the traffic, it prints the same exact totals.
    EXPECT_EQ(Totals(Stop(*pOrvek)), SentRecv(10280000, 10280000));
}

// A TCP connection to the exporter on this namespace's loopback.
CZarnFd ConnectTo(uint16_t nPort) {
    CZarnFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address{AF_INET, htons(nPort), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// A hostile local user: one request with 37 MB of header lines is cut soon after the first
// kilobytes and leaves the exporter's size where it was; a thousand idle connections do not keep
// a scrape from being answered.
TEST_F(HeadlessLive, HeaderFloodAndIdleConnectionsNeitherGrowNorStarveTheExporter) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4096));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    CChildProcess orvek(Orvek({"--interval", "0", "--metrics", "19101"}));
    httplib::Client scraper("127.0.0.1", 19101);
    ASSERT_TRUE(WaitUntil([&] { return scraper.Get("/metrics") != nullptr; }));
    [[maybe_unused]] const long nBeforeKiB = ResidentKiB(orvek.GetPid());

    const CZarnFd flood = ConnectTo(19101);
    std::string strLines = "GET /metrics HTTP/1.1\r\nHost: a\r\n";
    while (strLines.size() < 65536) {
        strLines += "a:b\r\n";
    }
    size_t nSent = 0;
    for (; nSent < 37'000'000; nSent += strLines.size()) {
        if (send(flood.Get(), strLines.data(), strLines.size(), MSG_NOSIGNAL) < 0) {
            break; // the exporter closed the connection
        }
    }
    char szReply[64] = "";
    const ssize_t nReply = recv(flood.Get(), szReply, sizeof szReply - 1, 0);
    EXPECT_TRUE(nReply <= 0 || std::string_view(szReply).starts_with("HTTP/1.1 431 ")) << szReply;
    // The kernel's socket buffers take a few megabytes before the refusal reaches this end.
    EXPECT_LT(nSent, size_t{16} << 20);

    std::vector<CZarnFd> vecIdle;
    for (int n = 0; n < 1000; ++n) {
        vecIdle.push_back(ConnectTo(19101));
    }
    const auto result = scraper.Get("/metrics");
    EXPECT_EQ(result ? result->status : -1, 200);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(ResidentKiB(orvek.GetPid()) - nBeforeKiB, 8 * 1024);
#endif
    vecIdle.clear();
    Stop(orvek, SIGTERM,
         "orvek: capturing; the totals are printed when SIGINT or SIGTERM ends it; metrics at "
         "http://127.0.0.1:19101/metrics\n");
}

// A host with 3000 addresses whose addresses keep changing: the exporter's capture helper keeps no
// table of addresses that it replaced (each would take some 34 KiB).
TEST_F(HeadlessLive, AddressChangesLeaveNoOldTablesBehind) {
    ShOk("for i in $(seq 0 2999); do echo \"addr add 10.91.$((i / 250)).$((i % 250 + 1))/32 dev "
         "hl0\"; done | ip -batch -");
    CChildProcess orvek(Orvek({"--interval", "0"}));
    ASSERT_TRUE(WaitUntil([] { return Sh("awk 'NR > 1' /proc/net/packet | grep -q .") == 0; }));
    std::vector<long> vecResidentKiB;
    for (int nRound = 0; nRound < 3; ++nRound) {
        // Each change a table of its own: the next comes once the exporter has had time to list.
        for (int n = 0; n < 100; ++n) {
            ShOk("ip addr add 10.92." + std::to_string(nRound) + "." + std::to_string(n + 1) +
                 "/32 dev hl0");
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        vecResidentKiB.push_back(ResidentKiB(HelperOf(orvek)));
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(vecResidentKiB[2] - vecResidentKiB[0], 2048) << "KiB grown over 200 changes";
#endif
    Stop(orvek, SIGTERM,
         "orvek: capturing; the totals are printed when SIGINT or SIGTERM ends it\n");
}

// Run by root, the capture helper keeps CAP_SYS_PTRACE beside CAP_NET_RAW (and nothing more), so
// that it reads the descriptors of root's own VPN programs, which hold every capability: a VPN's
// tun device over hl0 is found to be carried inside it.
TEST_F(HeadlessLive, RunByRootItsHelperFindsTheVpnOfAProgramWithEveryCapability) {
    const auto vpnEnd = [](const char* szLocal, const char* szPeer, const char* szAddress) {
        auto pForwarder = std::make_unique<CChildProcess>(
            Args{ORVEK_TUNFWD, "hlt", szLocal, "1194", szPeer, "1194"});
        EXPECT_TRUE(WaitUntil([&] { return pForwarder->GetStdout() == "ready\n"; }))
            << pForwarder->GetStderr();
        SetUpOrThrow(std::string("quiet_up hlt\nip addr add ") + szAddress + "/24 dev hlt");
        return pForwarder;
    };
    std::unique_ptr<CChildProcess> pTwin;
    m_peer.RunIn([&] { pTwin = vpnEnd("10.88.0.2", "10.88.0.1", "10.89.0.2"); });
    const auto pVpn = vpnEnd("10.88.0.1", "10.88.0.2", "10.89.0.1");
    EXPECT_EQ(StatusLine(pVpn->GetPid(), "CapEff").substr(0, 6), "000001") << "every capability";
    const auto pOrvek = StartJson();
    EXPECT_EQ(StatusLine(HelperOf(*pOrvek), "CapEff"), "0000000000082000\n");
    const std::string strCarried = R"("name":"hlt","state":"carried inside hl0: orvek-tunfwd)";
    EXPECT_TRUE(WaitUntil([&] {
        return pOrvek->GetStdout().find(strCarried) != std::string::npos;
    })) << pOrvek->GetStdout().substr(pOrvek->GetStdout().rfind(R"({"time")"));
    Stop(*pOrvek);
}

} // namespace
