#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class COptionParser;
struct MHD_Daemon;

// [ADDRESS:]PORT with ADDRESS an IPv4 literal or a bracketed IPv6 one (127.0.0.1 when none is
// given, strAddress left as it was); false with strWhy. Names are refused: an exporter must not
// depend on name resolution to know where it listens.
bool ParseListenAddress(std::string_view svText, std::string& strAddress, uint16_t& nPort,
                        std::string& strWhy);

// Adds --metrics [ADDRESS:]PORT, described by szHelp, to parser: a good value sets bMetrics,
// strAddress and nPort; another is refused with ParseListenAddress's reason.
void AddMetricsOption(COptionParser& parser, const char* szHelp, bool& bMetrics,
                      std::string& strAddress, uint16_t& nPort);

// The Prometheus endpoint: answers GET and HEAD /metrics over HTTP from construction until
// destruction, on one thread of its own (libmicrohttpd's event loop, which waits on every
// connection at once, so idle clients hold no thread). Other paths get 404, other methods on
// /metrics 405 with `Allow: GET, HEAD`, malformed requests 400 (libmicrohttpd's own answers).
// Every connection is bounded: kMaxRequestBytes of request, the time-out of silence, and at most
// kMaxConnections of them at once.
class CMetricsServer {
public:
    // Server thread: returns the exposition text for one scrape. Must return quickly, must not
    // wait for a capture thread or touch the user interface; a throw answers 500.
    using ExpositionFn = std::function<std::string()>;

    // A connection that sends nothing and takes nothing for this long is closed.
    static constexpr std::chrono::seconds kDefaultTimeout{5};
    // The memory one connection may use for its request line and headers (and the response's
    // headers); a request that needs more is answered 431 and its connection closed.
    static constexpr size_t kMaxRequestBytes = 16 * 1024;
    // Connections served at once; more wait in the listen queue. Above the thousand idle
    // connections a local user can open in a moment, so that a scrape still gets through.
    static constexpr unsigned kMaxConnections = 4000;

    // Listens on strAddress (a numeric IPv4 or IPv6 address, without brackets) and nPort (0: any
    // free port) and starts serving. Throws std::runtime_error naming the address and the
    // system's reason when it cannot listen or serve.
    CMetricsServer(const std::string& strAddress, uint16_t nPort, ExpositionFn fnExposition,
                   std::chrono::seconds timeout = kDefaultTimeout);
    CMetricsServer(const CMetricsServer&) = delete;
    CMetricsServer& operator=(const CMetricsServer&) = delete;
    // Stops listening, closes every connection and joins the server thread.
    ~CMetricsServer();

    // The port actually bound, also when 0 was asked for.
    uint16_t GetPort() const { return m_nPort; }

private:
    const ExpositionFn m_fnExposition;
    MHD_Daemon* m_pDaemon = nullptr;
    uint16_t m_nPort = 0;
};
