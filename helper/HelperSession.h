#pragma once

#include "AdapterManager.h"
#include "EventLoop.h"
#include "MeterSession.h"
#include "OrvekMeter.h"

// The capture helper's one session with its client: the meter and the capture registry as the
// window ran them itself, served to the client over its socket (CMeterSession). Everything runs
// on the thread that calls Run, the meter's view thread, which alone writes to the socket.
class CHelperSession final {
public:
    // Exit statuses of the helper.
    static constexpr int kEnded = CMeterSession::kEnded;   // the client closed the socket, or a
                                                           // stop signal
    static constexpr int kFailed = CMeterSession::kFailed; // the socket failed
    static constexpr int kProtocolBroken = CMeterSession::kProtocolBroken; // the client broke
                                                                           // the protocol

    // Takes hSocket, the session's end; a signal read from hSignals (a signalfd) ends the session,
    // but SIGUSR1, a test hook, which closes the address monitor's news as if it had failed (it
    // restarts by itself). pFlowOwners: where the meter looks new flows' owners up first (the
    // in-kernel flow owners, which outlive the session); null: nowhere.
    CHelperSession(int hSocket, int hSignals, IFlowOwners* pFlowOwners = nullptr);
    CHelperSession(const CHelperSession&) = delete;
    CHelperSession& operator=(const CHelperSession&) = delete;

    // Greets the client and serves it until the session ends; capture is stopped when it
    // returns. Returns the exit status.
    int Run();

private:
    const int m_hSignals;
    CEventLoop m_loop;
    int m_nStatus = kEnded;
    CAdapterManager m_manager;
    // The meter's view; it sends on the blocking socket, as its one client is its parent.
    CMeterSession m_session;
    // Last: destroyed first, it stops capture while the manager, the session and the loop exist.
    COrvekMeter m_meter;
};
