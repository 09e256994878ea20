#include "FrameSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

// Bytes read from the socket at a time.
constexpr size_t kReadChunk = 64 * 1024;
// The most the inbox holds: one whole frame of the largest size.
constexpr size_t kInboxBound = kFrameHeaderBytes + kMaxMessageBytes;

} // namespace

CFrameSocket::Read CFrameSocket::Next(bool bWait) {
    // What was handed out last time is no longer needed.
    if (m_nUsed != 0) {
        std::memmove(m_inbox.data(), m_inbox.data() + m_nUsed, m_nHave - m_nUsed);
        m_nHave -= m_nUsed;
        m_nUsed = 0;
    }
    for (;;) {
        const FrameVerdict frame = ReadFrame(std::span<const uint8_t>(m_inbox.data(), m_nHave));
        if (frame.eStatus == FrameVerdict::EStatus::Complete) {
            m_nUsed = frame.nFrameBytes;
            return {EStatus::Frame, frame.body};
        }
        if (frame.eStatus == FrameVerdict::EStatus::Malformed) {
            return {EStatus::Malformed, {}, 0, frame.strError};
        }
        // An incomplete frame is shorter than the bound, so there is always room to read.
        const size_t nRoom = std::min(kReadChunk, kInboxBound - m_nHave);
        if (m_inbox.size() < m_nHave + nRoom) {
            m_inbox.resize(m_nHave + nRoom);
        }
        const ssize_t nRead =
            recv(m_hSocket.Get(), m_inbox.data() + m_nHave, nRoom, bWait ? 0 : MSG_DONTWAIT);
        const int nError = errno;
        m_nHave += static_cast<size_t>(std::max<ssize_t>(nRead, 0));
        if (nRead == 0) {
            return {EStatus::Closed};
        }
        if (nRead < 0 && nError == EINTR) {
            continue;
        }
        if (nRead < 0 && (nError == EAGAIN || nError == EWOULDBLOCK) && !bWait) {
            return {EStatus::Again};
        }
        if (nRead < 0) {
            return {EStatus::Failed, {}, nError};
        }
    }
}

int CFrameSocket::Send(const std::string& strFrame) {
    for (size_t nSent = 0; nSent < strFrame.size();) {
        const ssize_t n =
            send(m_hSocket.Get(), strFrame.data() + nSent, strFrame.size() - nSent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0 ? EPIPE : errno == EWOULDBLOCK ? EAGAIN : errno;
        }
        nSent += static_cast<size_t>(n);
    }
    return 0;
}

void CFrameSocket::Shutdown() {
    shutdown(m_hSocket.Get(), SHUT_RDWR);
}
