#include "FrameSocket.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

namespace {

// Bytes read from the socket at a time.
constexpr size_t kReadChunk = 64 * 1024;
// The most the inbox holds: one whole frame of the largest size.
constexpr size_t kInboxBound = kFrameHeaderBytes + kMaxMessageBytes;

} // namespace

CFrameSocket::Read CFrameSocket::Next(bool bWait) {
    // What was handed out last time is no longer needed.
    m_inbox.erase(m_inbox.begin(), m_inbox.begin() + static_cast<ptrdiff_t>(m_nUsed));
    m_nUsed = 0;
    for (;;) {
        const FrameVerdict frame = ReadFrame(m_inbox);
        if (frame.eStatus == FrameVerdict::EStatus::Complete) {
            m_nUsed = frame.nFrameBytes;
            return {EStatus::Frame, frame.body};
        }
        if (frame.eStatus == FrameVerdict::EStatus::Malformed) {
            return {EStatus::Malformed, {}, 0, frame.strError};
        }
        // An incomplete frame is shorter than the bound, so there is always room to read.
        const size_t nHad = m_inbox.size();
        const size_t nRoom = std::min(kReadChunk, kInboxBound - nHad);
        m_inbox.resize(nHad + nRoom);
        const ssize_t nRead =
            recv(m_hSocket.Get(), m_inbox.data() + nHad, nRoom, bWait ? 0 : MSG_DONTWAIT);
        const int nError = errno;
        m_inbox.resize(nHad + static_cast<size_t>(std::max<ssize_t>(nRead, 0)));
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
