#include "DaemonClient.h"

#include "NetNs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace orvektest {

CDaemonClient::CDaemonClient(const std::string& strPath) {
    m_socket.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, strPath.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(connect(m_socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0)
        << strPath << ": " << std::strerror(errno);
}

void CDaemonClient::Send(const std::vector<ClientMessage>& messages) {
    for (const ClientMessage& message : messages) {
        EXPECT_EQ(m_socket.Send(EncodeFrame(message)), 0);
    }
}

void CDaemonClient::Start(const std::string& strFilter) {
    Send({HelloMessage{}});
    if (!strFilter.empty()) {
        Send({SettingsMessage{strFilter, false}});
    }
    Send({StartMessage{}});
    EXPECT_TRUE(WaitFor([](const CDaemonClient& client) {
        return !client.m_answers.empty() &&
               (std::holds_alternative<StartedMessage>(client.m_answers.back()) ||
                std::holds_alternative<StartFailedMessage>(client.m_answers.back()));
    }));
}

bool CDaemonClient::WaitFor(const std::function<bool(const CDaemonClient&)>& pred) {
    return orvektest::WaitUntil([&] {
        Pump(50);
        return pred(*this);
    });
}

bool CDaemonClient::WaitForClose() {
    return WaitFor([](const CDaemonClient& client) { return client.m_bClosed; });
}

std::string CDaemonClient::GetError() const {
    for (auto it = m_answers.rbegin(); it != m_answers.rend(); ++it) {
        if (const auto* pError = std::get_if<ErrorMessage>(&*it)) {
            return pError->strText;
        }
    }
    return "";
}

void CDaemonClient::Pump(int nWaitMs) {
    pollfd wait{m_socket.Get(), POLLIN, 0};
    if (m_bClosed || poll(&wait, 1, nWaitMs) <= 0) {
        return;
    }
    for (;;) {
        const CFrameSocket::Read read = m_socket.Next(false);
        if (read.eStatus == CFrameSocket::EStatus::Again) {
            return;
        }
        if (read.eStatus != CFrameSocket::EStatus::Frame) {
            m_bClosed = true;
            return;
        }
        DecodedMessage<HelperMessage> decoded = DecodeHelperMessage(read.body);
        EXPECT_EQ(decoded.strError, "");
        if (auto* pSnapshot = std::get_if<SnapshotMessage>(&decoded.message)) {
            m_snapshot = std::move(pSnapshot->snapshot);
        } else if (!std::holds_alternative<DevicesMessage>(decoded.message)) {
            m_answers.push_back(std::move(decoded.message));
        }
    }
}

} // namespace orvektest
