#pragma once

#include "HelperChannel.h"

#include <string>

// A connection to the system service's socket, which speaks the capture helper's protocol as a
// helper started here would.
class CServiceConnection final : public IHelperChannel {
public:
    // Connects to the Unix stream socket at strPath. Throws CZarnException with a text naming it
    // when it cannot.
    explicit CServiceConnection(const std::string& strPath);

    CFrameSocket& GetFrames() override { return m_socket; }
    // The service's process id, as the kernel saw it connect; 0 when unknown.
    pid_t GetPid() const override { return m_nPeerPid; }
    void Kill() const override;
    std::string WaitForExit(int nGraceMs) override;

private:
    CFrameSocket m_socket;
    pid_t m_nPeerPid = 0;
};

// Asks the service at strPath to set the host's plan (its settings text; "" removes it) on a
// connection of its own, waiting at most nTimeoutMs for the answer: "" when the service set it,
// else its refusal (only root and the capture group may) or why it could not be asked.
std::string AskServiceToSetPlan(const std::string& strPath, const std::string& strPlan,
                                int nTimeoutMs = 5000);
