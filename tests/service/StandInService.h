#pragma once

#include "ZarnFd.h"

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace orvektest {

// A stand-in for Orvek's service, as its clients see it: listens on a Unix stream socket and
// serves each connection with the real capture helper, started as a client starts it (a child on
// a socket pair, which the helper checks) and spoken to through a relay of the bytes both ways.
// Destroyed, it closes its socket, its connections and their helpers, as a service that ends.
class CStandInService {
public:
    // Listens at strPath (removed first) with the helper at strHelper. Throws std::runtime_error.
    CStandInService(std::string strPath, std::string strHelper);
    CStandInService(const CStandInService&) = delete;
    CStandInService& operator=(const CStandInService&) = delete;
    ~CStandInService();

    // Connections accepted so far.
    int GetAccepted() const { return m_nAccepted.load(); }

private:
    void Accept();
    void Serve(int hClient);

    const std::string m_strPath;
    const std::string m_strHelper;
    CZarnFd m_hListen;
    CZarnFd m_hStop; // an eventfd: readable once the service ends
    std::atomic<int> m_nAccepted{0};
    std::mutex m_mtx;
    std::list<std::thread> m_connections; // guarded by m_mtx
    std::thread m_acceptor;
};

} // namespace orvektest
