#pragma once

#include "FrameSocket.h"
#include "HelperChannel.h"
#include "ZarnFd.h"

#include <string>
#include <sys/types.h>

// A running capture helper: the child process, started with its end of a new socket pair on
// kHelperSocketFd, and this process's end. The child has a process group of its own, so that a
// terminal's Ctrl-C reaches only its client, which ends it by closing the socket; it inherits no
// other descriptor, no blocked or caught signal.
class CHelperProcess final : public IHelperChannel {
public:
    // Starts the program at strPath. Throws CZarnException with a text naming it when it cannot.
    explicit CHelperProcess(const std::string& strPath);
    CHelperProcess(const CHelperProcess&) = delete;
    CHelperProcess& operator=(const CHelperProcess&) = delete;
    // Kills and reaps a child that WaitForExit has not reaped.
    ~CHelperProcess() override;

    int GetSocket() const { return m_socket.Get(); }
    // This process's end, for one thread that reads its frames and one that sends.
    CFrameSocket& GetFrames() override { return m_socket; }
    pid_t GetPid() const override { return m_nPid; }
    // Any thread: ends the child at once; it is reaped by WaitForExit or the destructor.
    void Kill() const override;
    // One thread at a time: waits up to nGraceMs for the child to exit, kills it if it has not,
    // reaps it and says how it ended: "exited with status 3", "killed by signal 9 (Killed)".
    std::string WaitForExit(int nGraceMs) override;

private:
    CFrameSocket m_socket;
    CZarnFd m_hPidFd; // signals the exit; kills without a pid that could be reused
    pid_t m_nPid = -1;
    bool m_bReaped = false;
};
