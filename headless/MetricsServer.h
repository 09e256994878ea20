#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// The Prometheus endpoint: answers GET /metrics over HTTP on threads of its own, from
// construction until destruction. Every other path or method gets 404, a malformed request 400.
class CMetricsServer {
public:
    // Server worker thread, possibly several at once: returns the exposition text for one
    // scrape. Must return quickly and must not touch the user interface; a throw answers 500.
    using ExpositionFn = std::function<std::string()>;

    static constexpr std::chrono::milliseconds kDefaultTimeout{5000};
    // Scrapes are rare and small: a few workers keep one stuck client from blocking the rest.
    static constexpr size_t kWorkers = 4;

    // Listens on strAddress (a numeric IPv4 or IPv6 address, without brackets) and nPort (0: any
    // free port) and starts serving. Each request, counted from when the server starts waiting
    // for it, must arrive and be answered within timeout, or its connection is closed. Throws
    // std::runtime_error naming the address and the system's reason when it cannot listen.
    CMetricsServer(const std::string& strAddress, uint16_t nPort, ExpositionFn fnExposition,
                   std::chrono::milliseconds timeout = kDefaultTimeout);
    CMetricsServer(const CMetricsServer&) = delete;
    CMetricsServer& operator=(const CMetricsServer&) = delete;
    // Stops listening, closes open connections (idle ones too) and joins every server thread.
    ~CMetricsServer();

    // The port actually bound, also when 0 was asked for.
    uint16_t GetPort() const { return m_nPort; }

private:
    class CHttpServer;

    std::unique_ptr<CHttpServer> m_pServer;
    std::atomic<bool> m_bListenEnded{false};
    std::thread m_thrListen;
    uint16_t m_nPort = 0;
};
