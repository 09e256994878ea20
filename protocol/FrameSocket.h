#pragma once

#include "Protocol.h"
#include "ZarnFd.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One end of the socket between the capture helper and its client, as both sides use it: owns
// the descriptor, sends whole frames and reads the other side's frames one at a time, holding at
// most one frame's bytes (and what came with them) beyond those handed out. One thread may read
// while another sends; Shutdown may come from any thread.
class CFrameSocket {
public:
    // Where a read stands.
    enum class EStatus : uint8_t {
        Frame,     // body holds a whole frame's body
        Again,     // nothing whole yet, and (not waiting) nothing more to read now
        Closed,    // the other side closed its end
        Failed,    // the socket failed (nError)
        Malformed, // the other side sent a length no frame may have (strError)
    };
    struct Read {
        EStatus eStatus = EStatus::Again;
        // Valid until the next call to Next.
        std::span<const uint8_t> body = {};
        int nError = 0;
        std::string strError = {};
    };

    CFrameSocket() = default;
    // Takes hSocket, a stream socket.
    explicit CFrameSocket(int hSocket) : m_hSocket(hSocket) {}
    CFrameSocket(const CFrameSocket&) = delete;
    CFrameSocket& operator=(const CFrameSocket&) = delete;

    int Get() const { return m_hSocket.Get(); }
    // Takes hSocket in place of the socket held, which is closed; nothing read is kept.
    void Reset(int hSocket) {
        m_hSocket.Reset(hSocket);
        m_nHave = 0;
        m_nUsed = 0;
    }

    // The next frame: taken from the bytes already read, or read now (waiting for them when
    // bWait, else only what is there).
    Read Next(bool bWait);
    // Sends the whole frame; 0, or why it could not: EPIPE when the other side has gone, EAGAIN
    // when a send time-out (SO_SNDTIMEO) passed first, another errno.
    int Send(const std::string& strFrame);
    // Any thread: ends both directions, so that a read or send waiting on the socket returns.
    void Shutdown();

private:
    CZarnFd m_hSocket;
    // Bytes read, the first m_nHave of it, not yet handed out from m_nUsed on. It keeps its size,
    // so that a read fills room made once rather than room cleared for each read.
    std::vector<uint8_t> m_inbox;
    size_t m_nHave = 0;
    size_t m_nUsed = 0;
};
