#pragma once

#include "EventLoop.h"
#include "FrameSocket.h"
#include "Meter.h"
#include "MeterView.h"
#include "Protocol.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One client served over a stream socket with the capture helper's protocol, whoever serves it
// (the capture helper its one client, the system service each connection): greets, reads and
// handles the client's messages on a meter, and gives out counts only (the snapshot, device
// states, failures and messages), never a packet's bytes. The snapshot and the device states go
// out by themselves whenever they changed: while the counts move, at the display's pace or the
// slower one the client asked for (the meter's view calls OnCountsMoved); after every message of
// the client (before its answer); and, while capturing, at a look a second for changes that move
// no count (the snapshot then in any case, unless one went within that second: the client tells
// a server that stalls by its silence). It is a meter's view itself, for a meter of its own.
// Everything runs on the loop's thread, which alone writes to the socket.
class CMeterSession final : public IMeterView {
public:
    // How a session ended.
    static constexpr int kEnded = 0;          // the client closed the socket, or it was ended
    static constexpr int kFailed = 1;         // the socket failed
    static constexpr int kProtocolBroken = 3; // the client broke the protocol
    static constexpr int kDropped = 4;        // the client broke a limit (the queue, the hello)

    struct Options {
        // Said before a reason on standard error ("orvek-capture", "orvekd: client 12 (uid 1000)").
        std::string strName;
        // 0: frames are sent waiting for the client to take them (the helper: its one client is
        // its parent). Else the socket does not block and what the client has not taken waits in
        // a queue of at most this many bytes; a client whose queue would grow beyond is dropped.
        size_t nQueueBound = 0;
        // Loop thread, once, when the session ended, with its status; it may destroy the
        // session.
        std::function<void(int nStatus)> fnEnded;
        // With a queue: the bytes queued for every client of the server, which this session's
        // add to, and the most they may be; a client whose queue would take them beyond it is
        // dropped. Loop thread only; null: no bound in all.
        size_t* pQueuedInAll = nullptr;
        size_t nQueuedInAllBound = 0;
        // Loop thread, when the client asks to set the host's plan (its text; "" removes it):
        // "" when it was set, else why not. Must not end the session. Null: refused, no file
        // is kept here.
        std::function<std::string(const std::string& strPlan)> fnSetPlan = {};
    };

    // Takes hSocket; the meter (which may be made with this session as its view) and the loop
    // must outlive the session. Nothing is read or sent before Begin.
    CMeterSession(int hSocket, CEventLoop& loop, IMeter& meter, Options options);
    CMeterSession(const CMeterSession&) = delete;
    CMeterSession& operator=(const CMeterSession&) = delete;
    ~CMeterSession();

    // Loop thread: greets the client and watches its socket.
    void Begin();
    // Loop thread: sends the snapshot and the device states when they changed since last sent;
    // the snapshot anyway when bSnapshot.
    void SendChanges(bool bSnapshot = false);
    // Loop thread: the counts moved; the changes go at once, or when the client's pace allows.
    void OnCountsMoved();
    // Loop thread: a message for the client, and what changed with it.
    void SendNotice(const std::string& strText);
    // Loop thread: ends the session with that status (the first one given); a reason is sent to
    // the client and said on standard error. fnEnded follows, posted.
    void End(int nStatus, const std::string& strError = {});
    bool IsEnded() const { return m_bEnded; }
    // Loop thread: reads and handles what the client sent and the loop has not read yet (a
    // busy loop may come to a time-out before it reads).
    void ReadWaiting() { OnReadable(); }
    bool IsGreeted() const { return m_bGreeted; }
    // The bytes waiting for the client.
    size_t GetQueuedBytes() const { return m_strQueue.size(); }

    // The view of a meter of the session's own. View thread: the totals moved; sends the
    // snapshot.
    void ShowCounters(int64_t nRecvBytes, int64_t nSentBytes) override;
    // Any thread: hands the text to the loop, which sends it, and what changed with it.
    void ShowMessage(const std::string& strText, const char* szCaption) override;
    // Any thread: runs fn on the loop's thread, unless the session is gone by then.
    void Post(std::function<void()> fn, int nDelayMs) override;

private:
    // How often, while capturing, the session looks for changes that move no count (a device that
    // went down, attribution that caught up) and sends its snapshot, changed or not, unless one
    // went since the last look: the client tells a server that stalls by its silence.
    static constexpr int kLookMs = 1000;
    // Messages handled in one turn, so that a client that floods does not starve the others.
    static constexpr int kMessagesPerTurn = 64;

    // Loop thread, when the socket is readable: reads what came and handles the whole messages.
    void OnReadable();
    void Handle(const ClientMessage& message);
    // Loop thread, every kLookMs while capturing; nChain tells a look of an earlier capture.
    void OnLook(uint64_t nChain);
    void Send(const HelperMessage& message);
    // Sends one encoded frame.
    void SendFrame(const std::string& strFrame);
    // Sends what the queue holds, as far as the client takes it.
    void Flush();
    // Takes the first nBytes off the queue (all of it by default), and off the count in all.
    void Dequeue(size_t nBytes = std::string::npos);
    // Sends an answer with a list of devices, cut to the first ones when it would not fit a frame.
    template <class TMessage, class TList> void SendFitted(TMessage& message, TList& devices);

    CFrameSocket m_socket;
    CEventLoop& m_loop;
    IMeter& m_meter;
    Options m_options;
    bool m_bGreeted = false;   // the client's hello came
    bool m_bEnded = false;     // nothing more is read or sent
    uint64_t m_nLookChain = 0; // this capture's looks; 0 while not capturing
    uint64_t m_nCaptures = 0;
    // The client's pace, when the snapshot was last sent, and whether a paced push is posted.
    uint32_t m_nPaceMs = kMinPaceMs;
    std::chrono::steady_clock::time_point m_tSentSnapshot;
    bool m_bPushPosted = false;
    // What the client was last sent.
    MeterSnapshot m_sentSnapshot;
    std::vector<DeviceState> m_sentStates;
    bool m_bSentAny = false;
    std::string m_strQueue; // frames the client has not taken yet (queued sending only)
    // Expires with the session, so that work posted to the loop does not outlive it.
    std::shared_ptr<CMeterSession*> m_pSelf = std::make_shared<CMeterSession*>(this);
};
