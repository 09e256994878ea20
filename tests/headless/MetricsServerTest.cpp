// The metrics endpoint over real loopback connections: what it answers, clients that send
// nothing or trickle, load, bind failures and a prompt shutdown.

#include "MetricsServer.h"
#include "ZarnFd.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <future>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kBody = "# TYPE t gauge\nt 1\n";

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A raw TCP connection to the server that sends svData, which a well-behaved client never would.
CZarnFd Connect(uint16_t nPort, std::string_view svData = "") {
    CZarnFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address{AF_INET, htons(nPort), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(send(fd.Get(), svData.data(), svData.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(svData.size()));
    return fd;
}

// All the server sent once it closed the connection; nothing if it stayed silent for waitMax.
std::optional<std::string> ReadUntilClosed(const CZarnFd& fd, std::chrono::milliseconds waitMax) {
    std::string strData;
    char szBuffer[4096];
    pollfd poll{fd.Get(), POLLIN, 0};
    while (::poll(&poll, 1, static_cast<int>(waitMax.count())) == 1) {
        const ssize_t nRead = recv(fd.Get(), szBuffer, sizeof szBuffer, 0);
        if (nRead <= 0) {
            return strData;
        }
        strData.append(szBuffer, static_cast<size_t>(nRead));
    }
    return std::nullopt;
}

TEST(MetricsServer, ServesMetricsUnderLoadAndRefusesEverythingElse) {
    CMetricsServer server("127.0.0.1", 0, [] { return kBody; });
    httplib::Client client("127.0.0.1", server.GetPort());
    const auto result = client.Get("/metrics");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body, kBody);
    EXPECT_EQ(result->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    for (const auto& [szPath, nStatus] : std::vector<std::pair<const char*, int>>{
             {"/metrics?x=1", 200}, {"/", 404}, {"/metrics/", 404}}) {
        EXPECT_EQ(client.Get(szPath)->status, nStatus) << szPath;
    }
    EXPECT_EQ(client.Post("/metrics", "x", "text/plain")->status, 404);

    // Malformed requests get 400, then the connection ends: what follows cannot be trusted.
    for (const char* szRequest : {"NOT HTTP AT ALL\r\n\r\n", "GET /metrics\r\n\r\n"}) {
        const auto reply = ReadUntilClosed(Connect(server.GetPort(), szRequest), 2s);
        EXPECT_EQ(reply.value_or("still open").substr(0, 13), "HTTP/1.1 400 ") << szRequest;
    }

    // Concurrent load; half the clients reuse their connection, which the server ends every few
    // requests.
    std::atomic<int> nAnswered{0};
    std::vector<std::jthread> vecClients;
    for (int nClient = 0; nClient < 10; ++nClient) {
        vecClients.emplace_back([&, nClient] {
            httplib::Client loader("127.0.0.1", server.GetPort());
            loader.set_keep_alive(nClient % 2 == 0);
            for (int nRequest = 0; nRequest < 50; ++nRequest) {
                const auto result = loader.Get("/metrics");
                nAnswered += result && result->status == 200 && result->body == kBody;
            }
        });
    }
    vecClients.clear();
    EXPECT_EQ(nAnswered, 500);
}

TEST(MetricsServer, IdleAndTricklingClientsAreCutAtTheTimeoutWhileOthersAreServed) {
    CMetricsServer server(
        "127.0.0.1", 0, [] { return kBody; }, 800ms);
    const auto start = Clock::now();
    const CZarnFd idle = Connect(server.GetPort());
    // A byte every 100 ms: a fresh time-out per read would keep it open for 13 s.
    auto trickleCutAfter = std::async(std::launch::async, [&] {
        const CZarnFd slow = Connect(server.GetPort());
        const std::string strRequest = "GET /metrics HTTP/1.1\r\nX: " + std::string(100, 'a');
        std::optional<std::string> reply;
        for (size_t nIndex = 0; !reply && nIndex < strRequest.size(); ++nIndex) {
            send(slow.Get(), &strRequest[nIndex], 1, MSG_NOSIGNAL);
            reply = ReadUntilClosed(slow, 100ms);
        }
        EXPECT_EQ(reply.value_or("still open"), "");
        return SecondsSince(start);
    });

    // Both hold a worker meanwhile; another client is still answered at once.
    std::this_thread::sleep_for(200ms);
    const auto requestStart = Clock::now();
    const auto result = httplib::Client("127.0.0.1", server.GetPort()).Get("/metrics");
    EXPECT_EQ(result ? result->status : -1, 200);
    EXPECT_LT(SecondsSince(requestStart), 0.3);

    EXPECT_EQ(ReadUntilClosed(idle, 3s).value_or("still open"), "");
    for (const double dCutAfter : {SecondsSince(start), trickleCutAfter.get()}) {
        EXPECT_GT(dCutAfter, 0.7);
        EXPECT_LT(dCutAfter, 1.6);
    }
}

TEST(MetricsServer, ListenFailuresSayWhereAndWhyAndDestructionIsPrompt) {
    auto pServer = std::make_unique<CMetricsServer>("127.0.0.1", 0, [] { return kBody; });
    const std::string strUsed = std::to_string(pServer->GetPort());
    // A second exporter on the same port must fail, not share it.
    for (const auto& [strAddress, nPort, strError] :
         std::vector<std::tuple<std::string, uint16_t, std::string>>{
             {"127.0.0.1", pServer->GetPort(), "127.0.0.1:" + strUsed + ": Address already in use"},
             {"fe80::zz", 9100, "[fe80::zz]:9100: not a numeric IP address"}}) {
        try {
            CMetricsServer server(strAddress, nPort, [] { return kBody; });
            ADD_FAILURE() << "listened on " << strAddress;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), "cannot listen on " + strError);
        }
    }

    // Right after construction too: the accept loop may only just have started.
    for (int nRound = 0; nRound < 20; ++nRound) {
        CMetricsServer server("127.0.0.1", 0, [] { return kBody; });
    }
    // With a connection open halfway through a request.
    const CZarnFd halfway = Connect(pServer->GetPort(), "GET /metr");
    std::this_thread::sleep_for(200ms);
    const auto start = Clock::now();
    pServer.reset();
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_EQ(ReadUntilClosed(halfway, 100ms).value_or("still open"), "");
}

} // namespace
