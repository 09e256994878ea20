// orvek-headless as a client of Orvek's service: a stand-in service made here (the real capture
// helper behind a Unix socket in a temporary folder) counts known traffic exactly, a restart of it
// under a running client counts on, a named socket that does not answer is an error, and without
// any service the program falls back to a helper of its own.

#include "NetNs.h"
#include "StandInService.h"
#include "ZarnFd.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace orvektest;

namespace {

using Args = std::vector<std::string>;
using SentRecv = std::pair<int64_t, int64_t>;

// The totals in the last line of an output; -1 where there is none.
SentRecv Totals(const std::string& strOut) {
    const std::string strLast = strOut.substr(strOut.rfind('\n', strOut.size() - 2) + 1);
    const auto line = nlohmann::json::parse(strLast, nullptr, false);
    if (!line.is_object()) {
        return {-1, -1};
    }
    return {line.value("sent_bytes", int64_t{-1}), line.value("received_bytes", int64_t{-1})};
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
        char szDir[] = "/tmp/orvek-service-XXXXXX";
        m_strDir = mkdtemp(szDir);
        m_strSocket = m_strDir + "/orvekd.sock";
    }
    ~ServiceClientLive() override {
        Sh("ip link del sv0 2>/dev/null");
        std::filesystem::remove_all(m_strDir);
    }

    // orvek-headless printing JSON every 100 ms with env's settings (NAME=value, or -u NAME).
    static std::unique_ptr<CChildProcess> StartHeadless(Args env, const Args& args = {}) {
        env.insert(env.begin(), "env");
        env.insert(env.end(), {ORVEK_HEADLESS, "--json", "--interval", "0.1"});
        env.insert(env.end(), args.begin(), args.end());
        return std::make_unique<CChildProcess>(env);
    }
    // nCount datagrams of 1000 bytes' payload each way, all delivered when this returns.
    void Exchange(size_t nCount) {
        CUdpSink sinkHere("10.89.0.1", 9000);
        std::unique_ptr<CUdpSink> pSinkThere;
        m_peer.RunIn([&] { pSinkThere = std::make_unique<CUdpSink>("10.89.0.2", 9000); });
        m_peer.RunIn([&] { SendUdp("10.89.0.2", "10.89.0.1", 9000, 1000, nCount); });
        SendUdp("10.89.0.1", "10.89.0.2", 9000, 1000, nCount);
        EXPECT_EQ(sinkHere.WaitFor(nCount), nCount);
        EXPECT_EQ(pSinkThere->WaitFor(nCount), nCount);
        m_peer.RunIn([&] { pSinkThere.reset(); });
    }

    CPeerNs m_peer;
    std::string m_strDir, m_strSocket;
};

// Through the service the client starts no helper of its own and counts exactly what crossed
// (1028 bytes a datagram: IP and UDP headers, no link header); the service restarted under it,
// it says so twice (gone, back) and counts on from what it had.
TEST_F(ServiceClientLive, CountsExactlyAndOnAcrossARestart) {
    auto pService = std::make_unique<CStandInService>(m_strSocket, ORVEK_HELPER);
    auto pOrvek = StartHeadless({"ORVEK_SOCKET=" + m_strSocket});
    ASSERT_TRUE(WaitUntil([&] { return !pOrvek->GetStdout().empty(); })) << pOrvek->GetStderr();
    EXPECT_EQ(ChildrenOf(*pOrvek), "");
    Exchange(20);
    ASSERT_TRUE(WaitUntil([&] { return Totals(pOrvek->GetStdout()) == SentRecv(20560, 20560); }))
        << pOrvek->GetStdout();

    const int nAccepted = pService->GetAccepted();
    pService.reset();
    ASSERT_TRUE(WaitUntil([&] {
        return pOrvek->GetStderr().find("capture goes on once it answers again") !=
               std::string::npos;
    })) << pOrvek->GetStderr();
    pService = std::make_unique<CStandInService>(m_strSocket, ORVEK_HELPER);
    ASSERT_TRUE(WaitUntil([&] {
        return pOrvek->GetStderr().find("answers again: capture goes on") != std::string::npos;
    })) << pOrvek->GetStderr();
    EXPECT_GE(pService->GetAccepted(), 1);
    EXPECT_GE(nAccepted, 1);
    Exchange(10);
    ASSERT_TRUE(WaitUntil([&] { return Totals(pOrvek->GetStdout()) == SentRecv(30840, 30840); }))
        << pOrvek->GetStdout();
    pOrvek->Signal(SIGTERM);
    EXPECT_EQ(pOrvek->Wait(), 0);
    EXPECT_EQ(Totals(pOrvek->GetStdout()), SentRecv(30840, 30840));
    EXPECT_EQ(pOrvek->GetStderr(),
              "orvek: Orvek's service (" + m_strSocket +
                  ") ended unexpectedly: closed the connection; capture goes on once it answers "
                  "again.\norvek: Orvek's service (" +
                  m_strSocket + ") answers again: capture goes on.\n");
}

// A socket named by ORVEK_SOCKET or --socket that does not answer (no file, or a file nobody
// listens on) ends the program at once; a service that speaks no protocol is said and ends it;
// with nothing named and nothing at the default path it counts with a helper of its own.
TEST_F(ServiceClientLive, NamedSocketMustAnswerDefaultFallsBack) {
    const std::string strNone = m_strDir + "/none.sock";
    for (const auto& [env, args, strBy] : std::vector<std::tuple<Args, Args, std::string>>{
             {{"ORVEK_SOCKET=" + strNone}, {}, "$ORVEK_SOCKET"},
             {{"-u", "ORVEK_SOCKET"}, {"--socket", strNone}, "--socket"},
             // The option wins over the variable.
             {{"ORVEK_SOCKET=" + m_strSocket}, {"--socket=" + strNone}, "--socket"}}) {
        auto pOrvek = StartHeadless(env, args);
        EXPECT_EQ(pOrvek->Wait(), 1);
        EXPECT_EQ(pOrvek->GetStderr(), "orvek: Orvek's service does not answer at " + strNone +
                                           " (named by " + strBy +
                                           "): No such file or directory\n");
        EXPECT_EQ(pOrvek->GetStdout(), "");
    }
    // A socket file that nobody listens on, as a service that died leaves it.
    const auto bound = [](const std::string& strPath) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strPath.copy(address.sun_path, sizeof address.sun_path - 1);
        CZarnFd hSocket(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(bind(hSocket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
                  0);
        return hSocket;
    };
    bound(strNone);
    auto pStale = StartHeadless({"ORVEK_SOCKET=" + strNone});
    EXPECT_EQ(pStale->Wait(), 1);
    EXPECT_EQ(pStale->GetStderr(), "orvek: Orvek's service does not answer at " + strNone +
                                       " (named by $ORVEK_SOCKET): Connection refused\n");

    // Something that answers with no frame the protocol knows: said, and nothing counted.
    const CZarnFd hJunk = bound(m_strSocket);
    ASSERT_EQ(listen(hJunk.Get(), 4), 0);
    std::thread junk([&] {
        for (int n = 0; n < 2; ++n) { // the program's look, then its session
            const CZarnFd hClient(accept(hJunk.Get(), nullptr, nullptr));
            const std::string strJunk(64, '\xff');
            (void)!send(hClient.Get(), strJunk.data(), strJunk.size(), MSG_NOSIGNAL);
            char ch = 0;
            (void)!read(hClient.Get(), &ch, 1);
        }
    });
    auto pJunk = StartHeadless({"ORVEK_SOCKET=" + m_strSocket});
    EXPECT_EQ(pJunk->Wait(), 1);
    junk.join();
    EXPECT_TRUE(
        pJunk->GetStderr().starts_with("orvek: Orvek's service (" + m_strSocket + ") sent "))
        << pJunk->GetStderr();
    EXPECT_EQ(pJunk->GetStdout(), "");

    if (std::filesystem::exists("/run/orvek/orvekd.sock")) {
        GTEST_SKIP() << "a service runs at the default path";
    }
    auto pOwn = StartHeadless({"-u", "ORVEK_SOCKET"});
    ASSERT_TRUE(WaitUntil([&] { return !pOwn->GetStdout().empty(); })) << pOwn->GetStderr();
    EXPECT_NE(ChildrenOf(*pOwn), "");
    Exchange(5);
    ASSERT_TRUE(WaitUntil([&] { return Totals(pOwn->GetStdout()) == SentRecv(5140, 5140); }))
        << pOwn->GetStdout();
    pOwn->Signal(SIGTERM);
    EXPECT_EQ(pOwn->Wait(), 0);
    EXPECT_EQ(pOwn->GetStderr(), "");
}

#ifdef ORVEKD
// The real service: two headless clients through ORVEK_SOCKET each count the known traffic
// exactly, from their own start, and neither starts a helper of its own.
TEST_F(ServiceClientLive, TwoClientsOfTheRealServiceCountExactly) {
    CChildProcess orvekd({ORVEKD, "--state-dir", m_strDir, "--socket", m_strSocket});
    ASSERT_TRUE(WaitUntil([&] { return orvekd.GetStderr().find("counting") != std::string::npos; }))
        << orvekd.GetStderr();
    auto pFirst = StartHeadless({"ORVEK_SOCKET=" + m_strSocket});
    auto pSecond = StartHeadless({"-u", "ORVEK_SOCKET"}, {"--socket", m_strSocket});
    for (const auto* pOrvek : {pFirst.get(), pSecond.get()}) {
        ASSERT_TRUE(WaitUntil([&] { return !pOrvek->GetStdout().empty(); })) << pOrvek->GetStderr();
        EXPECT_EQ(ChildrenOf(*pOrvek), "");
    }
    Exchange(20);
    for (const auto* pOrvek : {pFirst.get(), pSecond.get()}) {
        EXPECT_TRUE(WaitUntil([&] {
            return Totals(pOrvek->GetStdout()) == SentRecv(20560, 20560);
        })) << pOrvek->GetStdout();
    }
    for (const auto& pOrvek : {std::move(pFirst), std::move(pSecond)}) {
        pOrvek->Signal(SIGTERM);
        EXPECT_EQ(pOrvek->Wait(), 0) << pOrvek->GetStderr();
        EXPECT_EQ(Totals(pOrvek->GetStdout()), SentRecv(20560, 20560));
        EXPECT_EQ(pOrvek->GetStderr(), "");
    }
    orvekd.Signal(SIGTERM);
    EXPECT_EQ(orvekd.Wait(), 0) << orvekd.GetStderr();
}
#endif

} // namespace
