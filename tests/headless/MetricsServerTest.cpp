// The metrics endpoint over real loopback connections: what it answers to every kind of request,
// hostile clients (oversized headers, idle connections), bind failures and a prompt shutdown.

#include "MetricsServer.h"
#include "ZarnFd.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <optional>
#include <stdexcept>
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

TEST(MetricsServer, AnswersEveryKindOfRequest) {
    std::atomic<bool> bFail{false};
    CMetricsServer server("127.0.0.1", 0, [&bFail] {
        return bFail.load() ? throw std::runtime_error("no snapshot") : kBody;
    });
    httplib::Client client("127.0.0.1", server.GetPort());
    const auto result = client.Get("/metrics?x=1");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, kBody);
    EXPECT_EQ(result->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    const auto head = client.Head("/metrics");
    EXPECT_EQ(head ? head->status : -1, 200);
    EXPECT_EQ(head ? head->body : "-", "");
    for (const char* szPath : {"/", "/metrics/", "/metricsx"}) {
        EXPECT_EQ(client.Get(szPath)->status, 404) << szPath;
    }
    EXPECT_EQ(client.Post("/other", "x", "text/plain")->status, 404);
    for (const auto& reply : {client.Post("/metrics", "x", "text/plain"), client.Delete("/metrics"),
                              client.Options("/metrics")}) {
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 405);
        EXPECT_EQ(reply->get_header_value("Allow"), "GET, HEAD");
    }
    // Malformed requests get 400, then the connection ends: what follows cannot be trusted.
    for (const char* szRequest : {"NOT HTTP AT ALL\r\n\r\n", "GET /metrics\r\n\r\n",
                                  "GET /metrics HTTP/1.1\r\nno colon\r\n\r\n",
                                  "GET /metrics HTTP/1.1\r\n\r\n" /* no Host */}) {
        const auto reply = ReadUntilClosed(Connect(server.GetPort(), szRequest), 2s);
        EXPECT_EQ(reply.value_or("still open").substr(0, 13), "HTTP/1.1 400 ") << szRequest;
    }
    bFail = true;
    EXPECT_EQ(client.Get("/metrics")->status, 500);
}

// Connections that send nothing, or stop halfway through a request, are closed at the time-out.
// (The real exporter's refusal of oversized headers and its scrapes among a thousand idle
// connections are tested on the program.)
TEST(MetricsServer, SilentConnectionsAreClosedAtTheTimeout) {
    CMetricsServer server(
        "127.0.0.1", 0, [] { return kBody; }, 1s);
    const auto start = Clock::now();
    const CZarnFd idle = Connect(server.GetPort());
    const CZarnFd halfway = Connect(server.GetPort(), "GET /metr");
    for (const CZarnFd* pConnection : {&idle, &halfway}) {
        EXPECT_EQ(ReadUntilClosed(*pConnection, 5s).value_or("still open"), "");
    }
    EXPECT_GT(SecondsSince(start), 0.9);
}

TEST(MetricsServer, ListenFailuresSayWhereAndWhyAndDestructionIsPrompt) {
    auto pServer = std::make_unique<CMetricsServer>("127.0.0.1", 0, [] { return kBody; });
    const std::string strUsed = std::to_string(pServer->GetPort());
    // A second exporter on the same port must fail, not share it.
    for (const auto& [strAddress, nPort, strError] :
         std::vector<std::tuple<std::string, uint16_t, std::string>>{
             {"127.0.0.1", pServer->GetPort(), "127.0.0.1:" + strUsed + ": Address already in use"},
             {"fe80::zz", 9100, "[fe80::zz]:9100: not a numeric IP address"},
             {"192.0.2.1", 9100, "192.0.2.1:9100: Cannot assign requested address"}}) {
        try {
            CMetricsServer server(strAddress, nPort, [] { return kBody; });
            ADD_FAILURE() << "listened on " << strAddress;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), "cannot listen on " + strError);
        }
    }
    CMetricsServer ipv6("::1", 0, [] { return kBody; });
    EXPECT_EQ(httplib::Client("::1", ipv6.GetPort()).Get("/metrics")->status, 200);

    // With a connection open halfway through a request.
    const CZarnFd halfway = Connect(pServer->GetPort(), "GET /metr");
    std::this_thread::sleep_for(200ms);
    const auto start = Clock::now();
    pServer.reset();
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_EQ(ReadUntilClosed(halfway, 100ms).value_or("still open"), "");
}

} // namespace
