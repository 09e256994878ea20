#include "MetricsServer.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";
// A scrape has no body; a larger one is refused (413) before it is read.
constexpr size_t kMaxPayload = 4096;
// Requests one connection may carry, so that no client keeps a worker for good.
constexpr size_t kKeepAliveMax = 10;

// The status of the response this worker thread wrote last; set by the server's logger.
thread_local int tls_nLastStatus = 0;

// Only these follow a request read to its end. After any other (400, 413...) unread bytes may
// remain, which must not be taken for the next request.
bool MayKeepAlive(int nStatus) {
    return nStatus == 200 || nStatus == 404 || nStatus == 500;
}

std::string HostPort(const std::string& strAddress, uint16_t nPort) {
    const bool bIPv6 = strAddress.find(':') != std::string::npos;
    return (bIPv6 ? "[" + strAddress + "]" : strAddress) + ":" + std::to_string(nPort);
}

// A connection's socket, read through a small buffer and read or written only until the current
// deadline: a client that trickles bytes cannot stretch a request past it.
class CDeadlineStream final : public httplib::Stream {
public:
    explicit CDeadlineStream(int nSocket) : m_nSocket(nSocket) {}

    void SetDeadline(Clock::time_point deadline) { m_deadline = deadline; }

    bool is_readable() const override { return m_nBegin < m_nEnd || Wait(POLLIN); }
    bool is_writable() const override { return Wait(POLLOUT); }

    ssize_t read(char* pData, size_t nSize) override {
        if (m_nBegin == m_nEnd) {
            if (!Wait(POLLIN)) {
                return -1;
            }
            ssize_t nRead = 0;
            do {
                nRead = ::recv(m_nSocket, m_abBuffer, sizeof m_abBuffer, 0);
            } while (nRead < 0 && errno == EINTR);
            if (nRead <= 0) {
                return nRead;
            }
            m_nBegin = 0;
            m_nEnd = static_cast<size_t>(nRead);
        }
        const size_t nCopy = std::min(nSize, m_nEnd - m_nBegin);
        std::memcpy(pData, m_abBuffer + m_nBegin, nCopy);
        m_nBegin += nCopy;
        return static_cast<ssize_t>(nCopy);
    }

    using httplib::Stream::write;
    ssize_t write(const char* pData, size_t nSize) override {
        if (!Wait(POLLOUT)) {
            return -1;
        }
        ssize_t nSent = 0;
        do {
            nSent = ::send(m_nSocket, pData, nSize, MSG_NOSIGNAL);
        } while (nSent < 0 && errno == EINTR);
        return nSent;
    }

    void get_remote_ip_and_port(std::string& strIp, int& nPort) const override {
        Describe(::getpeername, strIp, nPort);
    }
    void get_local_ip_and_port(std::string& strIp, int& nPort) const override {
        Describe(::getsockname, strIp, nPort);
    }
    socket_t socket() const override { return m_nSocket; }

private:
    // True once the socket is ready, hung up or failed (the read or write that follows tells
    // which); false when the deadline passed first.
    bool Wait(short nEvents) const {
        for (;;) {
            const auto remaining =
                std::chrono::ceil<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
            if (remaining <= 0) {
                return false;
            }
            pollfd poll{m_nSocket, nEvents, 0};
            const int nReady =
                ::poll(&poll, 1, static_cast<int>(std::min<int64_t>(remaining, INT_MAX)));
            if (nReady >= 0 || errno != EINTR) {
                return nReady > 0;
            }
        }
    }

    template <typename TFn> void Describe(TFn fnName, std::string& strIp, int& nPort) const {
        sockaddr_storage address{};
        socklen_t nLength = sizeof address;
        char szIp[INET6_ADDRSTRLEN] = "";
        char szPort[8] = "";
        if (fnName(m_nSocket, reinterpret_cast<sockaddr*>(&address), &nLength) == 0 &&
            getnameinfo(reinterpret_cast<sockaddr*>(&address), nLength, szIp, sizeof szIp, szPort,
                        sizeof szPort, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            strIp = szIp;
            nPort = std::atoi(szPort);
        }
    }

    int m_nSocket;
    Clock::time_point m_deadline;
    char m_abBuffer[4096];
    size_t m_nBegin = 0;
    size_t m_nEnd = 0;
};

} // namespace

class CMetricsServer::CHttpServer final : public httplib::Server {
public:
    explicit CHttpServer(std::chrono::milliseconds timeout) : m_timeout(timeout) {}

    // Destroying thread, after stop(): ends every open connection now and any later one at once.
    void CloseConnections() {
        std::lock_guard lock(m_mtxClients);
        m_bClosing = true;
        for (const int nSocket : m_setClients) {
            ::shutdown(nSocket, SHUT_RDWR);
        }
    }

    // Constructing thread, once bound: httplib's backlog of 5 drops the connections of a burst
    // of clients, which then wait a second to try again. Linux takes a second listen() as a
    // change of backlog.
    void WidenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

    // Constructing or listening thread, when the accept loop never ran or was cut short by an
    // exception: httplib closes its socket only in stop() and when accept fails.
    void CloseUnlistened() {
        const socket_t nSocket = svr_sock_.exchange(INVALID_SOCKET);
        if (nSocket != INVALID_SOCKET) {
            ::close(nSocket);
        }
    }

private:
    // One accepted socket, known to CloseConnections while open; closed on scope exit.
    class CConnection {
    public:
        CConnection(CHttpServer& server, int nSocket) : m_server(server), m_nSocket(nSocket) {
            std::lock_guard lock(m_server.m_mtxClients);
            m_bOpen = !m_server.m_bClosing;
            if (m_bOpen) {
                m_server.m_setClients.insert(m_nSocket);
            }
        }
        CConnection(const CConnection&) = delete;
        CConnection& operator=(const CConnection&) = delete;
        ~CConnection() {
            {
                // Forgotten before it is closed, so CloseConnections never meets a reused number.
                std::lock_guard lock(m_server.m_mtxClients);
                m_server.m_setClients.erase(m_nSocket);
            }
            ::shutdown(m_nSocket, SHUT_RDWR);
            ::close(m_nSocket);
        }
        bool IsOpen() const { return m_bOpen; }

    private:
        CHttpServer& m_server;
        int m_nSocket;
        bool m_bOpen = false;
    };

    // Worker thread, for each accepted socket. Replaces httplib's loop, which notices a stop only
    // after its keep-alive wait and gives a trickling client a fresh read time-out for every read.
    bool process_and_close_socket(socket_t nSocket) override {
        CConnection connection(*this, nSocket);
        if (!connection.IsOpen()) {
            return false;
        }
        // The headers and the body go out in separate writes: Nagle's algorithm would hold the
        // body back until the client's delayed ACK, some 40 ms per request on a kept connection.
        const int nOn = 1;
        setsockopt(nSocket, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
        CDeadlineStream stream(nSocket);
        bool bOk = false;
        for (size_t nLeft = kKeepAliveMax; nLeft > 0; --nLeft) {
            stream.SetDeadline(Clock::now() + m_timeout);
            if (!stream.is_readable()) {
                break; // idle until the deadline
            }
            bool bClientClosed = false;
            tls_nLastStatus = 0;
            bOk = process_request(stream, nLeft == 1, bClientClosed, nullptr);
            if (!bOk || bClientClosed || !MayKeepAlive(tls_nLastStatus)) {
                break;
            }
        }
        return bOk;
    }

    const std::chrono::milliseconds m_timeout;
    std::mutex m_mtxClients;
    std::set<int> m_setClients;
    bool m_bClosing = false;
};

CMetricsServer::CMetricsServer(const std::string& strAddress, uint16_t nPort,
                               ExpositionFn fnExposition, std::chrono::milliseconds timeout)
    : m_pServer(std::make_unique<CHttpServer>(timeout)) {
    const std::string strWhere = HostPort(strAddress, nPort);
    // Checked here, as the lookup's failure leaves no errno to report.
    in6_addr address{};
    if (inet_pton(AF_INET, strAddress.c_str(), &address) != 1 &&
        inet_pton(AF_INET6, strAddress.c_str(), &address) != 1) {
        throw std::runtime_error("cannot listen on " + strWhere + ": not a numeric IP address");
    }

    CHttpServer& server = *m_pServer;
    // Also applied to accepted sockets as SO_RCVTIMEO and SO_SNDTIMEO: a backstop to the
    // deadlines of process_and_close_socket.
    server.set_read_timeout(timeout);
    server.set_write_timeout(timeout);
    server.set_payload_max_length(kMaxPayload);
    // httplib's default sets SO_REUSEPORT, which lets a second exporter share the port
    // silently; SO_REUSEADDR alone still allows a quick restart.
    server.set_socket_options([](socket_t nSocket) {
        const int nOn = 1;
        setsockopt(nSocket, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    });
    // Worker thread, once each response is written: notes its status; must not block.
    server.set_logger([](const httplib::Request&, const httplib::Response& response) {
        tls_nLastStatus = response.status;
    });
    // httplib takes ownership of the queue it is given.
    server.new_task_queue = [] {
        return std::make_unique<httplib::ThreadPool>(kWorkers).release();
    };
    server.Get("/metrics", [fnExposition = std::move(fnExposition)](const httplib::Request&,
                                                                    httplib::Response& response) {
        try {
            response.set_content(fnExposition(), kContentType);
        } catch (const std::exception&) {
            response.status = 500;
            response.set_content("cannot produce the metrics\n", "text/plain; charset=utf-8");
        }
    });

    const int nFlags = AI_NUMERICHOST | AI_PASSIVE;
    errno = 0;
    const int nBound = nPort == 0 ? server.bind_to_any_port(strAddress, nFlags)
                                  : (server.bind_to_port(strAddress, nPort, nFlags) ? nPort : -1);
    const int nError = errno;
    if (nBound <= 0) {
        throw std::runtime_error(
            "cannot listen on " + strWhere + ": " +
            (nError != 0 ? std::system_category().message(nError) : std::string("unknown error")));
    }
    m_nPort = static_cast<uint16_t>(nBound);
    server.WidenBacklog();

    try {
        m_thrListen = std::thread([this] {
            try {
                m_pServer->listen_after_bind();
            } catch (...) {
                // Its workers could not start; the constructor reports it.
                m_pServer->CloseUnlistened();
            }
            m_bListenEnded = true;
        });
    } catch (const std::system_error&) {
        server.CloseUnlistened();
        throw;
    }
    // stop() does nothing before the loop runs: wait for it, so that the destructor can end it.
    while (!server.is_running() && !m_bListenEnded) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (m_bListenEnded) {
        m_thrListen.join();
        throw std::runtime_error("cannot serve on " + HostPort(strAddress, m_nPort));
    }
}

CMetricsServer::~CMetricsServer() {
    m_pServer->stop();
    m_pServer->CloseConnections();
    m_thrListen.join();
}
