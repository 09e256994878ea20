#pragma once

#include "FrameSocket.h"

#include <string>
#include <sys/types.h>

// The far end of a client's session in the capture helper's protocol: a helper started as a child,
// or a connection to the system service. One thread reads its frames while another sends.
class IHelperChannel {
public:
    virtual ~IHelperChannel() = default;

    virtual CFrameSocket& GetFrames() = 0;
    virtual pid_t GetPid() const = 0;
    // Any thread: ends the session at once.
    virtual void Kill() const = 0;
    // The reader thread, once reading ended: waits up to nGraceMs for the far end to be gone and
    // says how it ended ("exited with status 3", "closed the connection").
    virtual std::string WaitForExit(int nGraceMs) = 0;
};
