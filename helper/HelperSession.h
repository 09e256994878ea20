#pragma once

#include "AdapterManager.h"
#include "EventLoop.h"
#include "FrameSocket.h"
#include "MeterView.h"
#include "OrvekMeter.h"
#include "Protocol.h"

#include <cstdint>
#include <string>
#include <vector>

// The capture helper's one session with its client: the meter and the capture registry as the
// window ran them itself, driven by the client's messages and giving out counts only (the
// snapshot, device states, failures and messages), never a packet's bytes. The snapshot and the
// device states go out by themselves whenever they changed: the snapshot at the display's pace
// while the counts move, both after every message of the client (before its answer) and, while
// capturing, at a look a second for changes that move no count (the snapshot then in any case).
// Everything runs on the thread that calls Run, the meter's view thread, which alone writes to the
// socket.
class CHelperSession final : private IMeterView {
public:
    // Exit statuses of the helper.
    static constexpr int kEnded = 0;          // the client closed the socket, or a stop signal
    static constexpr int kFailed = 1;         // the session could not go on (the socket failed)
    static constexpr int kProtocolBroken = 3; // the client broke the protocol

    // Takes hSocket, the session's end; a signal read from hSignals (a signalfd) ends the session,
    // but SIGUSR1, a test hook, which closes the address monitor's news as if it had failed (it
    // restarts by itself).
    CHelperSession(int hSocket, int hSignals);
    CHelperSession(const CHelperSession&) = delete;
    CHelperSession& operator=(const CHelperSession&) = delete;

    // Greets the client and serves it until the session ends; capture is stopped when it
    // returns. Returns the exit status.
    int Run();

private:
    // How often, while capturing, the session looks for changes that move no count (a device that
    // went down, attribution that caught up) and sends its snapshot, changed or not: the client
    // tells a helper that stalls by its silence.
    static constexpr int kLookMs = 1000;

    // View thread: the totals moved; sends the snapshot.
    void ShowCounters(int64_t nRecvBytes, int64_t nSentBytes) override;
    // Any thread: hands the text to the view thread, which sends it, and what changed with it.
    void ShowMessage(const std::string& strText, const char* szCaption) override;
    // Any thread: runs fn on the view thread.
    void Post(std::function<void()> fn, int nDelayMs) override;

    // View thread, when the socket is readable: reads what came and handles every whole message.
    void OnReadable();
    void Handle(const ClientMessage& message);
    // View thread: sends the snapshot and the device states when they changed since last sent;
    // the snapshot anyway when bSnapshot.
    void SendChanges(bool bSnapshot = false);
    // View thread, every kLookMs while capturing; nChain tells a look of an earlier capture.
    void OnLook(uint64_t nChain);
    void Send(const HelperMessage& message);
    // Sends an answer with a list of devices, cut to the first ones when it would not fit a frame.
    template <class TMessage, class TList> void SendFitted(TMessage& message, TList& devices);
    // View thread: ends the session with that status (the first one given); a reason is sent to
    // the client and said on standard error.
    void End(int nStatus, const std::string& strError = {});

    CFrameSocket m_socket;
    const int m_hSignals;
    CEventLoop m_loop;
    bool m_bGreeted = false;   // the client's hello came
    bool m_bEnded = false;     // nothing more is read or sent
    uint64_t m_nLookChain = 0; // this capture's looks; 0 while not capturing
    uint64_t m_nCaptures = 0;
    // What the client was last sent.
    MeterSnapshot m_sentSnapshot;
    std::vector<DeviceState> m_sentStates;
    bool m_bSentAny = false;
    int m_nStatus = kEnded;
    CAdapterManager m_manager;
    // Last: destroyed first, it stops capture while the manager and the loop exist.
    COrvekMeter m_meter;
};
