#include "MetricsServer.h"

#include "OptionParser.h"
#include "ZarnFd.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace {

constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kMetricsPath[] = "/metrics";

std::string HostPort(const std::string& strAddress, uint16_t nPort) {
    const bool bIPv6 = strAddress.find(':') != std::string::npos;
    return (bIPv6 ? "[" + strAddress + "]" : strAddress) + ":" + std::to_string(nPort);
}

// A listening socket on the address, or a throw with the system's reason. Made here rather than
// by libmicrohttpd, which reports no reason when it cannot bind.
CZarnFd Listen(const std::string& strAddress, uint16_t nPort, uint16_t& nBound) {
    const std::string strWhere = "cannot listen on " + HostPort(strAddress, nPort) + ": ";
    sockaddr_storage address{};
    socklen_t nLength = 0;
    auto* pIPv4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* pIPv6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, strAddress.c_str(), &pIPv4->sin_addr) == 1) {
        pIPv4->sin_family = AF_INET;
        pIPv4->sin_port = htons(nPort);
        nLength = sizeof *pIPv4;
    } else if (inet_pton(AF_INET6, strAddress.c_str(), &pIPv6->sin6_addr) == 1) {
        pIPv6->sin6_family = AF_INET6;
        pIPv6->sin6_port = htons(nPort);
        nLength = sizeof *pIPv6;
    } else {
        throw std::runtime_error(strWhere + "not a numeric IP address");
    }
    const auto fail = [&strWhere] {
        throw std::runtime_error(strWhere + std::system_category().message(errno));
    };
    CZarnFd hSocket(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!hSocket.IsOpen()) {
        fail();
    }
    // A quick restart may bind while old connections linger; SO_REUSEPORT is left off, so that a
    // second exporter on the same port fails instead of sharing it.
    const int nOn = 1;
    setsockopt(hSocket.Get(), SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    if (::bind(hSocket.Get(), reinterpret_cast<const sockaddr*>(&address), nLength) != 0 ||
        ::listen(hSocket.Get(), SOMAXCONN) != 0 ||
        ::getsockname(hSocket.Get(), reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        fail();
    }
    nBound = ntohs(address.ss_family == AF_INET ? pIPv4->sin_port : pIPv6->sin6_port);
    return hSocket;
}

MHD_Result Answer(MHD_Connection* pConnection, unsigned nStatus, const std::string& strBody,
                  const char* szContentType, const char* szAllow = nullptr) {
    MHD_Response* pResponse = MHD_create_response_from_buffer(
        strBody.size(), const_cast<char*>(strBody.data()), MHD_RESPMEM_MUST_COPY);
    if (pResponse == nullptr) {
        return MHD_NO; // out of memory: the connection is closed
    }
    MHD_add_response_header(pResponse, MHD_HTTP_HEADER_CONTENT_TYPE, szContentType);
    if (szAllow != nullptr) {
        MHD_add_response_header(pResponse, MHD_HTTP_HEADER_ALLOW, szAllow);
    }
    const MHD_Result eResult = MHD_queue_response(pConnection, nStatus, pResponse);
    MHD_destroy_response(pResponse);
    return eResult;
}

// Server thread, once a request's headers are in: answers at once. A request body is never read:
// answering before it closes the connection once the answer is out.
MHD_Result OnRequest(void* pContext, MHD_Connection* pConnection, const char* szPath,
                     const char* szMethod, const char*, const char*, size_t*, void**) {
    constexpr char kTextType[] = "text/plain; charset=utf-8";
    if (std::strcmp(szPath, kMetricsPath) != 0) {
        return Answer(pConnection, MHD_HTTP_NOT_FOUND, "not found; try /metrics\n", kTextType);
    }
    if (std::strcmp(szMethod, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(szMethod, MHD_HTTP_METHOD_HEAD) != 0) {
        return Answer(pConnection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n", kTextType,
                      "GET, HEAD");
    }
    std::string strText;
    try {
        strText = (*static_cast<const CMetricsServer::ExpositionFn*>(pContext))();
    } catch (const std::exception&) {
        return Answer(pConnection, MHD_HTTP_INTERNAL_SERVER_ERROR, "cannot produce the metrics\n",
                      kTextType);
    }
    return Answer(pConnection, MHD_HTTP_OK, strText, kContentType);
}

// Every connection holds a descriptor: the soft limit (often 1024) is raised as far as the hard
// one allows, so that kMaxConnections fit beside the capture's own descriptors.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

CMetricsServer::CMetricsServer(const std::string& strAddress, uint16_t nPort,
                               ExpositionFn fnExposition, std::chrono::seconds timeout)
    : m_fnExposition(std::move(fnExposition)) {
    RaiseDescriptorLimit();
    CZarnFd hListen = Listen(strAddress, nPort, m_nPort);
    const bool bIPv6 = strAddress.find(':') != std::string::npos;
    // One thread waits on every connection at once (epoll); an inter-thread channel lets the
    // destructor end it at once.
    const unsigned nFlags =
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | (bIPv6 ? MHD_USE_IPv6 : 0);
    m_pDaemon = MHD_start_daemon(
        nFlags, 0, nullptr, nullptr, &OnRequest, const_cast<ExpositionFn*>(&m_fnExposition),
        MHD_OPTION_LISTEN_SOCKET, hListen.Get(), MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kMaxRequestBytes, MHD_OPTION_STRICT_FOR_CLIENT, 1,
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(timeout.count()), MHD_OPTION_END);
    if (m_pDaemon == nullptr) {
        throw std::runtime_error("cannot serve on " + HostPort(strAddress, m_nPort) +
                                 ": the HTTP server did not start");
    }
    // The daemon owns the socket now and closes it when stopped.
    (void)hListen.Release();
}

CMetricsServer::~CMetricsServer() {
    MHD_stop_daemon(m_pDaemon);
}

namespace {

bool IsDigits(std::string_view svText) {
    return !svText.empty() && svText.find_first_not_of("0123456789") == std::string_view::npos;
}

bool ParsePort(std::string_view svText, uint16_t& nPort) {
    unsigned nValue = 0;
    if (!IsDigits(svText) || svText.size() > 5) {
        return false;
    }
    std::from_chars(svText.data(), svText.data() + svText.size(), nValue);
    if (nValue < 1 || nValue > 65535) {
        return false;
    }
    nPort = static_cast<uint16_t>(nValue);
    return true;
}

} // namespace

bool ParseListenAddress(std::string_view svText, std::string& strAddress, uint16_t& nPort,
                        std::string& strWhy) {
    std::string strHost;
    std::string_view svPort = svText;
    bool bHost = false;
    int nFamily = AF_INET;
    if (!svText.empty() && svText.front() == '[') {
        const size_t nClose = svText.find(']');
        if (nClose == std::string_view::npos || nClose + 1 >= svText.size() ||
            svText[nClose + 1] != ':') {
            strWhy = "an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        strHost = svText.substr(1, nClose - 1);
        svPort = svText.substr(nClose + 2);
        bHost = true;
        nFamily = AF_INET6;
    } else if (const size_t nColon = svText.rfind(':'); nColon != std::string_view::npos) {
        strHost = svText.substr(0, nColon);
        svPort = svText.substr(nColon + 1);
        bHost = true;
        if (strHost.find(':') != std::string::npos) {
            strWhy = "an IPv6 address goes in brackets, as in [::1]:9100";
            return false;
        }
    }
    if (!ParsePort(svPort, nPort)) {
        strWhy = "the port must be a number from 1 to 65535";
        return false;
    }
    if (bHost) {
        unsigned char abAddress[16];
        // inet_pton reads a C string: an embedded NUL would hide what follows it.
        if (strHost.find('\0') != std::string::npos ||
            inet_pton(nFamily, strHost.c_str(), abAddress) != 1) {
            strWhy = nFamily == AF_INET6 ? "not an IPv6 address" : "not an IPv4 address";
            return false;
        }
        strAddress = strHost;
    }
    return true;
}

void AddMetricsOption(COptionParser& parser, const char* szHelp, bool& bMetrics,
                      std::string& strAddress, uint16_t& nPort) {
    parser.App()
        .add_option("--metrics")
        ->description(szHelp)
        ->option_text("[ADDRESS:]PORT")
        ->check(OptionCheck([](const std::string& strValue) {
            std::string strChecked, strWhy;
            uint16_t nChecked = 0;
            return ParseListenAddress(strValue, strChecked, nChecked, strWhy)
                       ? ""
                       : QuoteValue(strValue) + ": " + strWhy;
        }))
        ->each([&bMetrics, &strAddress, &nPort](const std::string& strValue) {
            std::string strWhy;
            ParseListenAddress(strValue, strAddress, nPort, strWhy);
            bMetrics = true;
        });
}
