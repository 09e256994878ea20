// The metrics endpoint over real loopback connections: what it answers, clients that send
// nothing or trickle, load, bind failures and a prompt shutdown.

#include "MetricsServer.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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

// A raw TCP connection to the server, for what a well-behaved client never sends.
class CRawClient {
public:
    explicit CRawClient(uint16_t nPort) : m_nFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(nPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(m_nFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    CRawClient(const CRawClient&) = delete;
    CRawClient& operator=(const CRawClient&) = delete;
    ~CRawClient() { close(m_nFd); }

    bool Send(std::string_view svData) {
        return send(m_nFd, svData.data(), svData.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(svData.size());
    }

    // Reads until the server closes the connection or waitMax passes; bClosed tells which.
    std::string ReadUntilClosed(std::chrono::milliseconds waitMax, bool& bClosed) {
        const auto deadline = Clock::now() + waitMax;
        std::string strData;
        bClosed = false;
        while (!bClosed && Clock::now() < deadline) {
            pollfd poll{m_nFd, POLLIN, 0};
            if (::poll(&poll, 1, 10) == 1) {
                char szBuffer[4096];
                const ssize_t nRead = recv(m_nFd, szBuffer, sizeof szBuffer, 0);
                bClosed = nRead <= 0;
                strData.append(szBuffer, nRead > 0 ? static_cast<size_t>(nRead) : 0);
            }
        }
        return strData;
    }

private:
    int m_nFd;
};

TEST(MetricsServer, ServesMetricsAndRefusesEverythingElse) {
    std::atomic<int> nScrapes{0};
    std::atomic<bool> bFail{false};
    CMetricsServer server("127.0.0.1", 0, [&] {
        if (bFail) {
            throw std::runtime_error("no snapshot");
        }
        ++nScrapes;
        return kBody;
    });
    ASSERT_NE(server.GetPort(), 0);
    httplib::Client client("127.0.0.1", server.GetPort());

    const auto result = client.Get("/metrics");
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, kBody);
    EXPECT_EQ(result->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(client.Get("/metrics?x=1")->status, 200);

    for (const char* szPath : {"/", "/other", "/metrics/", "/metricsx", "/METRICS"}) {
        EXPECT_EQ(client.Get(szPath)->status, 404) << szPath;
    }
    EXPECT_EQ(client.Post("/metrics", "x", "text/plain")->status, 404);
    EXPECT_EQ(client.Put("/metrics", "x", "text/plain")->status, 404);
    EXPECT_EQ(client.Delete("/metrics")->status, 404);
    EXPECT_EQ(client.Options("/metrics")->status, 404);
    // A body past the limit is refused, not read.
    EXPECT_EQ(client.Post("/metrics", std::string(1 << 20, 'x'), "text/plain")->status, 413);
    EXPECT_EQ(nScrapes, 2);

    // A failing producer answers 500, without its reason, and serving goes on.
    bFail = true;
    EXPECT_EQ(client.Get("/metrics")->status, 500);
    EXPECT_EQ(client.Get("/metrics")->body.find("no snapshot"), std::string::npos);
    bFail = false;
    EXPECT_EQ(client.Get("/metrics")->status, 200);

    // Malformed requests get 400, then the connection ends: what follows cannot be trusted.
    for (const char* szRequest :
         {"NOT HTTP AT ALL\r\n\r\n", "GET /metrics\r\n\r\n", "BREW /metrics HTTP/1.1\r\n\r\n"}) {
        CRawClient raw(server.GetPort());
        ASSERT_TRUE(raw.Send(szRequest));
        bool bClosed = false;
        const std::string strReply = raw.ReadUntilClosed(2s, bClosed);
        EXPECT_EQ(strReply.rfind("HTTP/1.1 400 ", 0), 0u) << szRequest << " got " << strReply;
        EXPECT_TRUE(bClosed) << szRequest;
    }
}

TEST(MetricsServer, IdleAndTricklingClientsAreCutAtTheTimeoutWhileOthersAreServed) {
    constexpr auto kTimeout = 800ms;
    CMetricsServer server(
        "127.0.0.1", 0, [] { return kBody; }, kTimeout);
    const auto start = Clock::now();
    CRawClient idle(server.GetPort());
    // A byte every 100 ms: a fresh time-out per read would keep it open for good.
    std::atomic<double> dTrickleClosedAfter{-1};
    std::thread trickler([&] {
        CRawClient slow(server.GetPort());
        const std::string strRequest =
            "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(100, 'a') + "\r\n\r\n";
        for (size_t nIndex = 0; nIndex < strRequest.size() && SecondsSince(start) < 4; ++nIndex) {
            bool bClosed = false;
            const std::string strReply = slow.ReadUntilClosed(100ms, bClosed);
            if (bClosed || !slow.Send(strRequest.substr(nIndex, 1))) {
                EXPECT_EQ(strReply, "");
                dTrickleClosedAfter = SecondsSince(start);
                return;
            }
        }
    });

    // Both hold a worker meanwhile; the others still answer at once.
    std::this_thread::sleep_for(200ms);
    for (int nRequest = 0; nRequest < 5; ++nRequest) {
        const auto requestStart = Clock::now();
        httplib::Client client("127.0.0.1", server.GetPort());
        const auto result = client.Get("/metrics");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 200);
        EXPECT_LT(SecondsSince(requestStart), 0.3);
    }

    bool bClosed = false;
    EXPECT_EQ(idle.ReadUntilClosed(3s, bClosed), "");
    EXPECT_TRUE(bClosed);
    const double dIdleClosedAfter = SecondsSince(start);
    trickler.join();
    for (const double dClosedAfter : {dIdleClosedAfter, dTrickleClosedAfter.load()}) {
        EXPECT_GT(dClosedAfter, 0.7);
        EXPECT_LT(dClosedAfter, 1.6);
    }
}

TEST(MetricsServer, AnswersHundredsOfSequentialAndConcurrentRequests) {
    std::atomic<int> nScrapes{0};
    CMetricsServer server("127.0.0.1", 0, [&nScrapes] {
        ++nScrapes;
        return kBody;
    });
    // One connection reused (the server ends it every few requests), then one per request.
    for (const bool bKeepAlive : {true, false}) {
        httplib::Client client("127.0.0.1", server.GetPort());
        client.set_keep_alive(bKeepAlive);
        for (int nRequest = 0; nRequest < 150; ++nRequest) {
            const auto result = client.Get("/metrics");
            ASSERT_TRUE(result) << nRequest << ": " << result.error();
            ASSERT_EQ(result->body, kBody);
        }
    }
    std::atomic<int> nAnswered{0};
    std::vector<std::thread> vecClients;
    for (int nClient = 0; nClient < 10; ++nClient) {
        vecClients.emplace_back([&, nClient] {
            httplib::Client client("127.0.0.1", server.GetPort());
            client.set_keep_alive(nClient % 2 == 0);
            for (int nRequest = 0; nRequest < 20; ++nRequest) {
                const auto result = client.Get("/metrics");
                nAnswered += result && result->status == 200 && result->body == kBody;
            }
        });
    }
    for (std::thread& client : vecClients) {
        client.join();
    }
    EXPECT_EQ(nAnswered, 200);
    EXPECT_EQ(nScrapes, 500);
}

TEST(MetricsServer, DestructionIsPromptWithConnectionsOpen) {
    // Right after construction too: the accept loop may only just have started.
    for (int nRound = 0; nRound < 20; ++nRound) {
        CMetricsServer server("127.0.0.1", 0, [] { return kBody; });
    }
    auto pServer = std::make_unique<CMetricsServer>("127.0.0.1", 0, [] { return kBody; });
    CRawClient halfway(pServer->GetPort());
    ASSERT_TRUE(halfway.Send("GET /metr"));
    std::this_thread::sleep_for(200ms);

    const auto start = Clock::now();
    pServer.reset();
    EXPECT_LT(SecondsSince(start), 0.5);
    bool bClosed = false;
    halfway.ReadUntilClosed(100ms, bClosed);
    EXPECT_TRUE(bClosed);
}

std::string ListenError(const std::string& strAddress, uint16_t nPort) {
    try {
        CMetricsServer server(strAddress, nPort, [] { return kBody; });
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "listened";
}

TEST(MetricsServer, ListenFailuresSayWhereAndWhy) {
    CMetricsServer first("127.0.0.1", 0, [] { return kBody; });
    const std::string strPort = std::to_string(first.GetPort());
    // A second exporter on the same port must fail, not share it.
    EXPECT_EQ(ListenError("127.0.0.1", first.GetPort()),
              "cannot listen on 127.0.0.1:" + strPort + ": Address already in use");
    // A documentation address that no interface here has.
    EXPECT_EQ(ListenError("192.0.2.1", 9100),
              "cannot listen on 192.0.2.1:9100: Cannot assign requested address");
    EXPECT_EQ(ListenError("localhost", 9100),
              "cannot listen on localhost:9100: not a numeric IP address");
    EXPECT_EQ(ListenError("fe80::zz", 9100),
              "cannot listen on [fe80::zz]:9100: not a numeric IP address");
}

} // namespace
