// orvek-headless as a client of Orvek's service: a stand-in service made here (the real capture
// helper behind a Unix socket in a temporary folder) and the real orvekd count known traffic
// exactly, a restart under a running client counts on, a named socket that does not answer is an
// error, and without any service the program falls back to a helper of its own.

#include "HelperProcess.h"
#include "NetNs.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <list>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

using namespace orvektest;

namespace {

using Args = std::vector<std::string>;
using SentRecv = std::pair<int64_t, int64_t>;

CZarnFd Listening(const std::string& strPath) {
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    strPath.copy(address.sun_path, sizeof address.sun_path - 1);
    CZarnFd hSocket(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(bind(hSocket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(hSocket.Get(), 8), 0);
    return hSocket;
}

// The stand-in: each connection served by a real capture helper, started as a client starts it
// (the helper checks that its socket pair's peer is its parent), through a relay of the bytes.
// Destroyed, it ends its connections and their helpers, as a service that stops.
class CStandIn {
public:
    explicit CStandIn(const std::string& strPath)
        : m_strPath(strPath), m_hListen(Listening(strPath)), m_hStop(eventfd(0, EFD_CLOEXEC)),
          m_acceptor([this] {
              for (int hClient; Wait(m_hListen.Get()) &&
                                (hClient = accept4(m_hListen.Get(), nullptr, nullptr, 0)) >= 0;) {
                  m_connections.emplace_back([this, hClient] { Relay(CZarnFd(hClient)); });
              }
          }) {}
    ~CStandIn() {
        (void)!eventfd_write(m_hStop.Get(), 1);
        m_acceptor.join(); // the only one that adds connections
        for (std::thread& connection : m_connections) {
            connection.join();
        }
        unlink(m_strPath.c_str());
    }

private:
    // Whether hFd is readable before the stand-in stops.
    bool Wait(int hFd) {
        pollfd fds[2] = {{hFd, POLLIN, 0}, {m_hStop.Get(), POLLIN, 0}};
        return poll(fds, 2, -1) > 0 && fds[1].revents == 0;
    }
    // On the thread the helper's life is bound to (it ends with the thread that started it).
    void Relay(const CZarnFd hClient) {
        CHelperProcess helper(ORVEK_HELPER);
        const int hEnds[2] = {hClient.Get(), helper.GetFrames().Get()};
        char buffer[65536];
        for (;;) {
            pollfd fds[3] = {
                {hEnds[0], POLLIN, 0}, {hEnds[1], POLLIN, 0}, {m_hStop.Get(), POLLIN, 0}};
            if (poll(fds, 3, -1) < 0 || fds[2].revents != 0) {
                return;
            }
            for (int n = 0; n < 2; ++n) {
                if (fds[n].revents == 0) {
                    continue;
                }
                const ssize_t nRead = read(hEnds[n], buffer, sizeof buffer);
                if (nRead <= 0 ||
                    send(hEnds[1 - n], buffer, static_cast<size_t>(nRead), MSG_NOSIGNAL) != nRead) {
                    return;
                }
            }
        }
    }

    const std::string m_strPath;
    CZarnFd m_hListen, m_hStop;
    std::list<std::thread> m_connections; // the acceptor's, until it is joined
    std::thread m_acceptor;               // last: started once the rest exists
};

// The totals in the last line of an output; -1 where there is none.
SentRecv Totals(const std::string& strOut) {
    const auto line = nlohmann::json::parse(
        strOut.substr(strOut.rfind('\n', strOut.size() - 2) + 1), nullptr, false);
    return line.is_object()
               ? SentRecv(line.value("sent_bytes", -1), line.value("received_bytes", -1))
               : SentRecv(-1, -1);
}

// The program's children: its own capture helper, or none.
std::string ChildrenOf(const CChildProcess& orvek) {
    return ShOut("pgrep -P " + std::to_string(orvek.GetPid()) + " || true");
}

// A veth "sv0" (10.89.0.1) to a peer namespace (10.89.0.2), and a folder for the sockets.
class ServiceClientLive : public testing::Test {
protected:
    ServiceClientLive() {
        MakeVethPair(m_peer, {"sv0", "10.89.0.1", ""}, {"sv1", "10.89.0.2", ""});
        std::filesystem::create_directories(m_strDir);
    }
    ~ServiceClientLive() override {
        Sh("ip link del sv0 2>/dev/null");
        std::filesystem::remove_all(m_strDir);
    }

    // orvek-headless printing JSON every 100 ms, with env's settings (NAME=value, or -u NAME).
    static std::unique_ptr<CChildProcess> StartHeadless(Args env, const Args& args = {}) {
        env.insert(env.begin(), "env");
        env.insert(env.end(), {ORVEK_HEADLESS, "--json", "--interval", "0.1"});
        env.insert(env.end(), args.begin(), args.end());
        return std::make_unique<CChildProcess>(env);
    }
    // Waits for its first line (it captures) and that it started no helper of its own.
    static void ExpectServed(const CChildProcess& orvek) {
        ASSERT_TRUE(WaitUntil([&] { return !orvek.GetStdout().empty(); })) << orvek.GetStderr();
        EXPECT_EQ(ChildrenOf(orvek), "");
    }
    // nCount datagrams of 1000 bytes' payload from the peer (1028 bytes counted each), delivered.
    void Receive(size_t nCount) {
        CUdpSink sink("10.89.0.1", 9000);
        m_peer.RunIn([&] { SendUdp("10.89.0.2", "10.89.0.1", 9000, 1000, nCount); });
        EXPECT_EQ(sink.WaitFor(nCount), nCount);
    }
    static void ExpectCounted(const CChildProcess& orvek, int64_t nRecv) {
        EXPECT_TRUE(WaitUntil([&] { return Totals(orvek.GetStdout()) == SentRecv(0, nRecv); }))
            << orvek.GetStdout();
    }
    static void Stop(CChildProcess& orvek, int64_t nRecv, const std::string& strErr = "") {
        orvek.Signal(SIGTERM);
        EXPECT_EQ(orvek.Wait(), 0);
        EXPECT_EQ(Totals(orvek.GetStdout()), SentRecv(0, nRecv));
        EXPECT_EQ(orvek.GetStderr(), strErr);
    }

    CPeerNs m_peer;
    const std::string m_strDir =
        std::filesystem::temp_directory_path() / ("orvek-service-" + std::to_string(getpid()));
    const std::string m_strSocket = m_strDir + "/s.sock";
};

// Through the stand-in it counts exactly what crossed; the service restarted under it, it says so
// twice (gone, back) and counts on from what it had.
TEST_F(ServiceClientLive, CountsExactlyAndOnAcrossARestart) {
    auto pService = std::make_unique<CStandIn>(m_strSocket);
    auto pOrvek = StartHeadless({"ORVEK_SOCKET=" + m_strSocket});
    ExpectServed(*pOrvek);
    Receive(20);
    ExpectCounted(*pOrvek, 20560);
    pService.reset();
    const auto said = [&](const char* szText) {
        return WaitUntil([&] { return pOrvek->GetStderr().find(szText) != std::string::npos; });
    };
    ASSERT_TRUE(said("capture goes on once it answers again")) << pOrvek->GetStderr();
    pService = std::make_unique<CStandIn>(m_strSocket);
    ASSERT_TRUE(said("answers again: capture goes on")) << pOrvek->GetStderr();
    Receive(10);
    ExpectCounted(*pOrvek, 30840);
    const std::string strService = "orvek: Orvek's service (" + m_strSocket + ")";
    Stop(*pOrvek, 30840,
         strService +
             " ended unexpectedly: closed the connection; capture goes on once it answers "
             "again.\n" +
             strService + " answers again: capture goes on.\n");
}

// A socket named by ORVEK_SOCKET or --socket (which wins) that does not answer ends the program
// at once, as does one that speaks no protocol; with nothing named and nothing at the default
// path it counts with a helper of its own.
TEST_F(ServiceClientLive, NamedSocketMustAnswerDefaultFallsBack) {
    const std::string strNone = m_strDir + "/none.sock";
    for (const auto& [env, args, strBy] : std::vector<std::tuple<Args, Args, std::string>>{
             {{"ORVEK_SOCKET=" + strNone}, {}, "$ORVEK_SOCKET"},
             {{"ORVEK_SOCKET=" + m_strSocket}, {"--socket=" + strNone}, "--socket"}}) {
        auto pOrvek = StartHeadless(env, args);
        EXPECT_EQ(pOrvek->Wait(), 1);
        EXPECT_EQ(pOrvek->GetStderr(), "orvek: Orvek's service does not answer at " + strNone +
                                           " (named by " + strBy +
                                           "): No such file or directory\n");
    }
    // Junk for every connection (the program's look, then its session).
    const CZarnFd hJunk = Listening(m_strSocket);
    std::thread junk([&] {
        for (int n = 0; n < 2; ++n) {
            const CZarnFd hClient(accept(hJunk.Get(), nullptr, nullptr));
            char junk[64];
            std::fill(std::begin(junk), std::end(junk), '\xff');
            (void)!send(hClient.Get(), junk, sizeof junk, MSG_NOSIGNAL);
            (void)!read(hClient.Get(), junk, 1);
        }
    });
    auto pJunk = StartHeadless({"ORVEK_SOCKET=" + m_strSocket});
    EXPECT_EQ(pJunk->Wait(), 1);
    junk.join();
    EXPECT_TRUE(
        pJunk->GetStderr().starts_with("orvek: Orvek's service (" + m_strSocket + ") sent "))
        << pJunk->GetStderr();

    // A helper of its own: asked for by "none", and where nothing answers at the default path.
    std::vector<Args> owns = {{"ORVEK_SOCKET=none"}};
    if (!std::filesystem::exists("/run/orvek/orvekd.sock")) {
        owns.push_back({"-u", "ORVEK_SOCKET"});
    }
    for (const Args& env : owns) {
        auto pOwn = StartHeadless(env);
        ASSERT_TRUE(WaitUntil([&] { return !pOwn->GetStdout().empty(); })) << pOwn->GetStderr();
        EXPECT_NE(ChildrenOf(*pOwn), "");
        Receive(5);
        ExpectCounted(*pOwn, 5140);
        Stop(*pOwn, 5140);
    }
}

#ifdef ORVEKD
// The real service: two clients each count the known traffic exactly, from their own start, and
// its /metrics shows the same count to a scrape.
TEST_F(ServiceClientLive, TwoClientsOfTheRealServiceCountExactly) {
    CChildProcess orvekd(
        {ORVEKD, "--state-dir", m_strDir, "--socket", m_strSocket, "--metrics", "127.0.0.1:19467"});
    ASSERT_TRUE(WaitUntil([&] { return orvekd.GetStderr().find("counting") != std::string::npos; }))
        << orvekd.GetStderr();
    auto pFirst = StartHeadless({"ORVEK_SOCKET=" + m_strSocket});
    auto pSecond = StartHeadless({"-u", "ORVEK_SOCKET"}, {"--socket", m_strSocket});
    for (auto* pOrvek : {pFirst.get(), pSecond.get()}) {
        ExpectServed(*pOrvek);
    }
    Receive(20);
    for (auto* pOrvek : {pFirst.get(), pSecond.get()}) {
        ExpectCounted(*pOrvek, 20560);
        Stop(*pOrvek, 20560);
    }
    EXPECT_TRUE(WaitUntil([] {
        return ShOut("curl -sf http://127.0.0.1:19467/metrics")
                   .find("orvek_bytes_total{device=\"sv0\",direction=\"received\"} 20560\n") !=
               std::string::npos;
    })) << ShOut("curl -s http://127.0.0.1:19467/metrics");
    // The exporter's limits: a header beyond them is refused.
    EXPECT_EQ(
        ShOut("curl -s -o /dev/null -w '%{http_code}' -H \"X-Big: $(head -c 20000 /dev/zero | "
              "tr '\\0' a)\" http://127.0.0.1:19467/metrics"),
        "431");
    orvekd.Signal(SIGTERM);
    EXPECT_EQ(orvekd.Wait(), 0) << orvekd.GetStderr();
}

// The real service killed under two clients and started again: both say it came back (the line
// that says it went holds "answers again" too), and what crosses right after their Start
// counts on exactly from what they had, with no later traffic to show it.
TEST_F(ServiceClientLive, ClientsOfTheRealServiceCountOnExactlyAcrossAKill) {
    const Args service{ORVEKD, "--state-dir", m_strDir, "--socket", m_strSocket};
    auto pOrvekd = std::make_unique<CChildProcess>(service);
    const auto counting = [](const CChildProcess& orvekd) {
        return WaitUntil([&] { return orvekd.GetStderr().find("counting") != std::string::npos; });
    };
    ASSERT_TRUE(counting(*pOrvekd)) << pOrvekd->GetStderr();
    std::unique_ptr<CChildProcess> clients[] = {StartHeadless({"ORVEK_SOCKET=" + m_strSocket}),
                                                StartHeadless({"ORVEK_SOCKET=" + m_strSocket})};
    for (const auto& pOrvek : clients) {
        ExpectServed(*pOrvek);
    }
    Receive(20);
    for (const auto& pOrvek : clients) {
        ExpectCounted(*pOrvek, 20560);
    }
    pOrvekd->Signal(SIGKILL);
    pOrvekd->Wait();
    pOrvekd = std::make_unique<CChildProcess>(service);
    // Each client's Start reads the service's meter at once, and may be followed within
    // microseconds by the push for the traffic below.
    for (const auto& pOrvek : clients) {
        ASSERT_TRUE(WaitUntil([&] {
            return pOrvek->GetStderr().find("answers again: capture goes on") != std::string::npos;
        })) << pOrvek->GetStderr();
    }
    Receive(10);
    for (const auto& pOrvek : clients) {
        ExpectCounted(*pOrvek, 30840);
        Stop(*pOrvek, 30840,
             "orvek: Orvek's service (" + m_strSocket +
                 ") ended unexpectedly: closed the connection; capture goes on once it answers "
                 "again.\norvek: Orvek's service (" +
                 m_strSocket + ") answers again: capture goes on.\n");
    }
    pOrvekd->Signal(SIGTERM);
    EXPECT_EQ(pOrvekd->Wait(), 0) << pOrvekd->GetStderr();
}
#endif

} // namespace
