#include "ServiceConnection.h"

#include "Protocol.h"
#include "ZarnException.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <poll.h>
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

std::string AskServiceToSetPlan(const std::string& strPath, const std::string& strPlan,
                                int nTimeoutMs) {
    std::optional<CServiceConnection> connection;
    try {
        connection.emplace(strPath);
    } catch (const CZarnException& e) {
        return e.GetDescription();
    }
    CFrameSocket& frames = connection->GetFrames();
    if (frames.Send(EncodeFrame(ClientMessage{HelloMessage{}}) +
                    EncodeFrame(ClientMessage{SetPlanMessage{strPlan}})) != 0) {
        return "Orvek's service at " + strPath + " did not take the request";
    }
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    bool bGreeted = false;
    for (;;) {
        const CFrameSocket::Read read = frames.Next(false);
        if (read.eStatus == CFrameSocket::EStatus::Again) {
            const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   tEnd - std::chrono::steady_clock::now())
                                   .count();
            pollfd wait{frames.Get(), POLLIN, 0};
            if (nLeft <= 0 || poll(&wait, 1, static_cast<int>(nLeft)) == 0) {
                return "Orvek's service at " + strPath + " did not answer";
            }
            continue;
        }
        if (read.eStatus != CFrameSocket::EStatus::Frame) {
            return "Orvek's service at " + strPath + " closed the connection";
        }
        const DecodedMessage<HelperMessage> decoded = DecodeHelperMessage(read.body);
        const auto* pHello = std::get_if<HelloMessage>(&decoded.message);
        if (!decoded.strError.empty() ||
            (!bGreeted && (pHello == nullptr || pHello->nVersion != kProtocolVersion))) {
            return "Orvek's service at " + strPath + " speaks another version of the protocol";
        }
        bGreeted = true;
        if (const auto* pAnswer = std::get_if<PlanAnsweredMessage>(&decoded.message)) {
            return pAnswer->strRefusal;
        }
        if (const auto* pError = std::get_if<ErrorMessage>(&decoded.message)) {
            return "Orvek's service at " + strPath + " refused: " + pError->strText;
        }
    }
}
