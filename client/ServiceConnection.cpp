#include "ServiceConnection.h"

#include "ZarnException.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

CServiceConnection::CServiceConnection(const std::string& strPath) {
    const auto fail = [&](int nError) {
        const std::string strText =
            "Cannot reach Orvek's service at " + strPath + ": " + std::strerror(nError);
        throw CZarnException(nError, strText.c_str());
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (strPath.size() >= sizeof address.sun_path) {
        fail(ENAMETOOLONG);
    }
    std::memcpy(address.sun_path, strPath.data(), strPath.size());
    m_socket.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (m_socket.Get() < 0) {
        fail(errno);
    }
    while (connect(m_socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
           0) {
        if (errno != EINTR) {
            fail(errno);
        }
    }
    ucred peer{};
    socklen_t nLength = sizeof peer;
    if (getsockopt(m_socket.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &nLength) == 0) {
        m_nPeerPid = peer.pid;
    }
}

void CServiceConnection::Kill() const {
    shutdown(m_socket.Get(), SHUT_RDWR);
}

std::string CServiceConnection::WaitForExit(int) {
    // Nothing to reap: the service outlives its clients.
    return "closed the connection";
}
