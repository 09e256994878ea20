#include "StandInService.h"

#include "HelperProcess.h"

#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace orvektest {

CStandInService::CStandInService(std::string strPath, std::string strHelper)
    : m_strPath(std::move(strPath)), m_strHelper(std::move(strHelper)),
      m_hListen(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)), m_hStop(eventfd(0, EFD_CLOEXEC)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, m_strPath.c_str(), sizeof address.sun_path - 1);
    unlink(m_strPath.c_str());
    if (!m_hListen.IsOpen() || !m_hStop.IsOpen() ||
        bind(m_hListen.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_hListen.Get(), 16) != 0) {
        throw std::runtime_error("stand-in service at " + m_strPath + ": " + strerror(errno));
    }
    m_acceptor = std::thread([this] { Accept(); });
}

CStandInService::~CStandInService() {
    const uint64_t nOne = 1;
    (void)!write(m_hStop.Get(), &nOne, sizeof nOne);
    m_acceptor.join();
    // No new connection now: the list only shrinks to nothing.
    for (std::thread& connection : m_connections) {
        connection.join();
    }
    unlink(m_strPath.c_str());
}

void CStandInService::Accept() {
    for (;;) {
        pollfd fds[2] = {{m_hListen.Get(), POLLIN, 0}, {m_hStop.Get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
            return;
        }
        const int hClient = accept4(m_hListen.Get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (hClient < 0) {
            continue;
        }
        ++m_nAccepted;
        std::lock_guard guard(m_mtx);
        m_connections.emplace_back([this, hClient] { Serve(hClient); });
    }
}

void CStandInService::Serve(int hClientFd) {
    const CZarnFd hClient(hClientFd);
    // Started on this thread, which lives as long as the connection: the helper ends with the
    // thread that started it.
    CHelperProcess helper(m_strHelper);
    char buffer[65536];
    for (;;) {
        pollfd fds[3] = {{hClient.Get(), POLLIN, 0},
                         {helper.GetFrames().Get(), POLLIN, 0},
                         {m_hStop.Get(), POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 || fds[2].revents != 0) {
            return;
        }
        for (int n = 0; n < 2; ++n) {
            if (fds[n].revents == 0) {
                continue;
            }
            const ssize_t nRead = read(fds[n].fd, buffer, sizeof buffer);
            if (nRead <= 0) {
                return;
            }
            for (ssize_t nDone = 0; nDone < nRead;) {
                const ssize_t nWritten = send(fds[1 - n].fd, buffer + nDone,
                                              static_cast<size_t>(nRead - nDone), MSG_NOSIGNAL);
                if (nWritten <= 0) {
                    return;
                }
                nDone += nWritten;
            }
        }
    }
}

} // namespace orvektest
