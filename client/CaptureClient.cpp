#include "CaptureClient.h"

#include "Capabilities.h"
#include "CaptureAdvice.h"
#include "EarlierCounts.h"
#include "HelperProcess.h"
#include "Protocol.h"
#include "ServiceConnection.h"
#include "ZarnException.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <sys/auxv.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// How long a helper that was told to end, or whose socket closed, may take to exit before it is
// killed: it stops capture first.
constexpr int kExitGraceMs = 5000;
// Longer names are no device's: they are not sent, so that an exclusion list always fits a frame.
constexpr size_t kMaxDeviceName = 255;
constexpr size_t kMaxExcludedSent = 4096;
// How often a client whose service went away tries to reach it again.
constexpr auto kReconnectPeriod = std::chrono::milliseconds(200);

std::string Seconds(std::chrono::milliseconds duration) {
    const auto nMs = duration.count();
    return nMs % 1000 == 0 ? std::to_string(nMs / 1000) + " s" : std::to_string(nMs) + " ms";
}

} // namespace

// One helper after another, and this client's end of each: the thread that sends the requests
// (one after another, in the order queued), the reader thread that takes the helper's messages,
// what the helper last pushed, and the counts of helpers that ended.
class CCaptureClient::CLink {
public:
    CLink(IMeterView& view, std::function<void()> fnCaptureEnded, CaptureTimeouts timeouts,
          CaptureSource source)
        : m_view(view), m_fnCaptureEnded(std::move(fnCaptureEnded)), m_timeouts(timeouts),
          m_source(std::move(source)), m_strHelper(FindHelper()),
          m_strPeer(m_source.IsService() ? "Orvek's service (" + m_source.strSocket + ")"
                                         : "Orvek's capture helper (" + m_strHelper + ")"),
          m_worker([this] { Work(); }) {}
    CLink(const CLink&) = delete;
    CLink& operator=(const CLink&) = delete;
    // Drops the requests not begun, wakes the one under way and ends the helper: a stalled one at
    // once. The session ends last: its reader thread reads m_pSelf until it is joined.
    ~CLink() {
        {
            std::lock_guard guard(m_mtxState);
            m_bClosing = true;
            m_jobs.clear();
            if (m_pSession) {
                m_pSession->bClosing = true;
                if (m_bStalled) {
                    m_pSession->pChannel->Kill();
                }
                m_pSession->pChannel->GetFrames().Shutdown();
            }
            m_cvState.notify_all();
        }
        m_worker.join();
        m_pSession.reset();
    }

    // Any thread: runs job on the client's thread after the jobs queued before it; dropped when
    // the client is destroyed first.
    void Queue(std::function<void()> job) {
        std::lock_guard guard(m_mtxState);
        if (!m_bClosing) {
            m_jobs.push_back(std::move(job));
            m_cvState.notify_all();
        }
    }
    void SetStallHandler(std::function<void(bool)> fnStalled) {
        std::lock_guard guard(m_mtxState);
        m_fnStalled = std::move(fnStalled);
    }

    // Client's thread.
    std::string Start(const SettingsMessage& settings, const ExcludedMessage& excluded);
    void Tell(const ClientMessage& message) {
        Remember(message);
        if (IsRunning()) {
            Send(*m_pSession, message);
        }
    }
    void Stop();
    void Refresh(const SettingsMessage& settings, const ExcludedMessage& excluded) {
        Remember(settings);
        Remember(excluded);
        try {
            Send(Connect(settings, excluded), RefreshMessage{});
        } catch (const CZarnException&) {
            // No helper to list them: Capture says why.
        }
    }

    // Any thread, at once.
    MeterSnapshot GetSnapshot() {
        std::lock_guard guard(m_mtxState);
        return m_current;
    }
    std::vector<DeviceState> GetDeviceStates() {
        std::lock_guard guard(m_mtxState);
        return m_states;
    }
    const std::string& GetHelperPath() const { return m_strHelper; }
    void GetShownTotals(int64_t& nRecv, int64_t& nSent) {
        std::lock_guard guard(m_mtxState);
        nRecv = m_nShownRecv;
        nSent = m_nShownSent;
    }
    pid_t GetHelperPid() {
        std::lock_guard guard(m_mtxState);
        return m_pSession && !m_pSession->bEnded ? m_pSession->pChannel->GetPid() : 0;
    }

    // View thread: shows totals.
    void ShowTotals(int64_t nRecv, int64_t nSent) { m_view.ShowCounters(nRecv, nSent); }
    // Runs fn on the view thread, unless the client is gone by then.
    void PostToView(std::function<void(CLink&)> fn) {
        m_view.Post(
            [fn = std::move(fn), wpSelf = std::weak_ptr<CLink*>(m_pSelf)] {
                if (const auto pSelf = wpSelf.lock()) {
                    fn(**pSelf);
                }
            },
            0);
    }

private:
    struct CSession {
        explicit CSession(std::unique_ptr<IHelperChannel> pFarEnd) : pChannel(std::move(pFarEnd)) {}
        // Tells the helper to end (it sees the socket close) and waits for its reader thread,
        // which reaps it.
        ~CSession() {
            bClosing = true;
            pChannel->GetFrames().Shutdown();
            if (reader.joinable()) {
                reader.join();
            }
        }

        const std::unique_ptr<IHelperChannel> pChannel;
        std::thread reader;
        std::atomic<bool> bClosing{false};
        // Whether the end was told to the user: once, by whichever path reaches the view first.
        const std::shared_ptr<std::atomic<bool>> pReported = std::make_shared<std::atomic<bool>>();
        // Guarded by m_mtxState.
        bool bGreeted = false;     // the helper's hello came
        bool bEstablished = false; // greeted and given the settings
        bool bAsking = false;      // a request waits for its answer
        bool bCapturing = false;   // Start answered, no Stop since
        std::chrono::steady_clock::time_point tHeard = std::chrono::steady_clock::now();
        std::optional<HelperMessage> answer;
        bool bEnded = false;
        std::string strEnd; // the message that tells the end
    };

    // The client's thread: runs the queued jobs until the client closes.
    void Work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(m_mtxState);
                // While a helper captures, until it would have been silent too long (a second at a
                // time once it is); while the service is away, until the next try to reach it.
                while (!m_bClosing && m_jobs.empty()) {
                    CheckSilence();
                    if (m_bReconnect) {
                        if (std::chrono::steady_clock::now() >= m_tReconnect) {
                            break;
                        }
                        m_cvState.wait_until(lock, m_tReconnect);
                    } else if (m_pSession && m_pSession->bCapturing && !m_pSession->bEnded) {
                        m_cvState.wait_until(lock, m_bSilent
                                                       ? std::chrono::steady_clock::now() +
                                                             std::chrono::seconds(1)
                                                       : m_pSession->tHeard + m_timeouts.silence +
                                                             std::chrono::milliseconds(1));
                    } else {
                        m_cvState.wait(lock);
                    }
                }
                if (m_bClosing) {
                    return;
                }
                if (!m_jobs.empty()) {
                    job = std::move(m_jobs.front());
                    m_jobs.pop_front();
                }
            }
            if (job) {
                job();
            } else {
                Reconnect();
            }
        }
    }
    // Client's thread: keeps the settings and device choices last given, for a reconnection.
    void Remember(const ClientMessage& message) {
        if (const auto* pSettings = std::get_if<SettingsMessage>(&message)) {
            m_lastSettings = *pSettings;
        } else if (const auto* pExcluded = std::get_if<ExcludedMessage>(&message)) {
            m_lastExcluded = *pExcluded;
        } else if (const auto* pPace = std::get_if<PaceMessage>(&message)) {
            m_lastPace = *pPace;
        }
    }
    // Client's thread: one try to reach the service again and start capture with the settings
    // last given; another try follows a moment later while it cannot be reached.
    void Reconnect();
    // Client's thread.
    bool IsRunning() {
        std::lock_guard guard(m_mtxState);
        return m_pSession && !m_pSession->bEnded;
    }
    // Client's thread: the running session, a new one when none runs. Throws CZarnException.
    CSession& Connect(const SettingsMessage& settings, const ExcludedMessage& excluded);
    // Client's thread: false (the session ended) when the message cannot be sent.
    bool Send(CSession& session, const ClientMessage& message);
    // Client's thread: sends a request and waits for its answer; nothing when the session ended
    // first or ends now, for want of an answer in time.
    std::optional<HelperMessage> Ask(CSession& session, const ClientMessage& request,
                                     std::chrono::milliseconds timeout);
    // Client's thread, m_mtxState held by lock: waits until done holds, the client closes or the
    // time-out passes, telling the view of a stall meanwhile. Whether done holds.
    bool Await(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout,
               const std::function<bool()>& done);
    // m_mtxState held: the helper is stalled when an answer is late or it is silent while
    // capturing; a change is posted to the view.
    void UpdateStall() {
        const bool bStalled = m_bLate || m_bSilent;
        if (bStalled != m_bStalled) {
            m_bStalled = bStalled;
            if (m_fnStalled) {
                PostToView([fnStalled = m_fnStalled, bStalled](CLink&) { fnStalled(bStalled); });
            }
        }
    }
    // Client's thread, m_mtxState held, between jobs: whether a capturing helper fell silent.
    void CheckSilence() {
        m_bSilent = m_pSession && !m_pSession->bEnded && m_pSession->bCapturing &&
                    std::chrono::steady_clock::now() - m_pSession->tHeard > m_timeouts.silence;
        UpdateStall();
    }
    // The session's reader thread: handles the helper's messages until the socket closes or the
    // helper breaks the protocol, then reaps the helper and ends the session.
    void Read(CSession& session);
    // Reader thread: false, and why, when the message ends the session.
    bool OnHelperMessage(CSession& session, HelperMessage&& message, std::string& strProblem);
    // Any thread: the session ends for strReason (the helper killed when bKill): its counts are
    // kept, an asker wakes, and the view hears of it once, on its thread.
    void EndSession(CSession& session, const std::string& strReason, bool bKill);
    // Client's thread: the end as an exception for the caller to throw; the view is not told.
    CZarnException EndAsException(CSession& session) {
        session.pReported->store(true);
        std::lock_guard guard(m_mtxState);
        return CZarnException(0, session.strEnd.c_str());
    }

    IMeterView& m_view;
    const std::function<void()> m_fnCaptureEnded;
    const CaptureTimeouts m_timeouts;
    const CaptureSource m_source;
    const std::string m_strHelper;
    const std::string m_strPeer; // the far end, as messages name it
    // The client's thread's own: the settings and device choices last given.
    SettingsMessage m_lastSettings;
    ExcludedMessage m_lastExcluded;
    PaceMessage m_lastPace;

    // Guards what follows; held only briefly, never across a wait but the condition's.
    std::mutex m_mtxState;
    std::condition_variable m_cvState;
    bool m_bClosing = false;
    std::deque<std::function<void()>> m_jobs;
    std::function<void(bool)> m_fnStalled;
    bool m_bLate = false;   // an answer is later than the stall time-out
    bool m_bSilent = false; // a capturing helper said nothing for the silence time-out
    bool m_bStalled = false;
    // The service went while capturing: capture goes on once it answers again.
    bool m_bReconnect = false;
    bool m_bReconnecting = false; // a try is under way
    std::chrono::steady_clock::time_point m_tReconnect;
    // Replaced by the client's thread only, which alone reads it without the lock.
    std::unique_ptr<CSession> m_pSession;
    // The counts of helpers that ended, their devices stopped; the running helper's last
    // snapshot as it sent it, and with the earlier counts; its device states; and the totals the
    // view was last given.
    CEarlierCounts m_earlier;
    MeterSnapshot m_lastSnapshot, m_current;
    std::vector<DeviceState> m_states;
    int64_t m_nShownRecv = 0, m_nShownSent = 0;

    // Expires with the client, so that work posted to the view does not outlive it.
    std::shared_ptr<CLink*> m_pSelf = std::make_shared<CLink*>(this);
    // Last: started once everything it reads exists.
    std::thread m_worker;
};

CCaptureClient::CLink::CSession& CCaptureClient::CLink::Connect(const SettingsMessage& settings,
                                                                const ExcludedMessage& excluded) {
    if (IsRunning()) {
        return *m_pSession;
    }
    {
        std::unique_ptr<CSession> pEnded;
        {
            std::lock_guard guard(m_mtxState);
            pEnded = std::move(m_pSession);
        }
    } // reaped by now or soon
    Remember(settings);
    Remember(excluded);
    auto pSession = std::make_unique<CSession>(
        m_source.IsService() ? std::unique_ptr<IHelperChannel>(
                                   std::make_unique<CServiceConnection>(m_source.strSocket))
                             : std::make_unique<CHelperProcess>(m_strHelper));
    CSession& session = *pSession;
    // Capabilities belong to threads: this one started the helper with what the program was
    // given for it (an exporter's unit hands CAP_NET_RAW on), and needs none after. The program's
    // own threads give up theirs by themselves.
    try {
        KeepOnlyCapabilities({});
    } catch (const CZarnException&) {
    }
    // A helper that stops reading cannot hold a sender longer than an answer may take.
    const timeval sendTimeout{static_cast<time_t>(m_timeouts.answer.count() / 1000),
                              static_cast<suseconds_t>(m_timeouts.answer.count() % 1000 * 1000)};
    setsockopt(session.pChannel->GetFrames().Get(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout,
               sizeof sendTimeout);
    {
        std::lock_guard guard(m_mtxState);
        if (m_bClosing) {
            throw CZarnException(0, "Orvek is closing");
        }
        m_pSession = std::move(pSession);
    }
    try {
        session.reader = std::thread([this, &session] { Read(session); });
    } catch (const std::system_error& e) {
        EndSession(session, std::string("could not be read: ") + e.what(), true);
        throw EndAsException(session);
    }
    if (Send(session, HelloMessage{})) {
        std::unique_lock lock(m_mtxState);
        if (!Await(lock, m_timeouts.answer, [&] { return session.bGreeted || session.bEnded; })) {
            lock.unlock();
            EndSession(session, "did not greet within " + Seconds(m_timeouts.answer), true);
        }
    }
    if (!Send(session, settings) || !Send(session, excluded) ||
        (m_lastPace.nIntervalMs != kMinPaceMs && !Send(session, m_lastPace))) {
        throw EndAsException(session);
    }
    std::lock_guard guard(m_mtxState);
    session.bEstablished = true;
    return session;
}

bool CCaptureClient::CLink::Send(CSession& session, const ClientMessage& message) {
    {
        std::lock_guard guard(m_mtxState);
        if (session.bEnded) {
            return false;
        }
    }
    const int nError = session.pChannel->GetFrames().Send(EncodeFrame(message));
    if (nError == 0) {
        return true;
    }
    if (nError == EPIPE || nError == ECONNRESET) {
        // The helper went: its reader thread tells how, once it has reaped it.
        std::unique_lock lock(m_mtxState);
        if (m_cvState.wait_for(lock, m_timeouts.answer,
                               [&] { return session.bEnded || m_bClosing; })) {
            return false;
        }
    }
    EndSession(session,
               nError == EAGAIN ? "did not read for " + Seconds(m_timeouts.answer)
                                : std::string("could not be written to: ") + std::strerror(nError),
               true);
    return false;
}

bool CCaptureClient::CLink::Await(std::unique_lock<std::mutex>& lock,
                                  std::chrono::milliseconds timeout,
                                  const std::function<bool()>& done) {
    const auto tDeadline = std::chrono::steady_clock::now() + timeout;
    const auto stop = [&] { return m_bClosing || done(); };
    if (m_timeouts.stall >= timeout) {
        m_cvState.wait_for(lock, timeout, stop);
    } else if (!m_cvState.wait_for(lock, m_timeouts.stall, stop)) {
        m_bLate = true;
        UpdateStall();
        m_cvState.wait_until(lock, tDeadline, stop);
        if (!m_bClosing) {
            m_bLate = false;
            UpdateStall();
        }
    }
    return done();
}

std::optional<HelperMessage> CCaptureClient::CLink::Ask(CSession& session,
                                                        const ClientMessage& request,
                                                        std::chrono::milliseconds timeout) {
    {
        std::lock_guard guard(m_mtxState);
        session.bAsking = true;
        session.answer.reset();
    }
    if (!Send(session, request)) {
        return std::nullopt;
    }
    std::unique_lock lock(m_mtxState);
    Await(lock, timeout, [&] { return session.answer || session.bEnded; });
    session.bAsking = false;
    std::optional<HelperMessage> answer = std::exchange(session.answer, std::nullopt);
    if (!answer && !session.bEnded && !m_bClosing) {
        lock.unlock();
        EndSession(session, "did not answer within " + Seconds(timeout), true);
    }
    return answer;
}

void CCaptureClient::CLink::Read(CSession& session) {
    // This thread reads counts and never needs a capability: it gives up any it was made with.
    try {
        KeepOnlyCapabilities({});
    } catch (const CZarnException&) {
    }
    CFrameSocket& frames = session.pChannel->GetFrames();
    std::string strProblem;
    for (bool bGoing = true; bGoing;) {
        const CFrameSocket::Read read = frames.Next(true);
        if (read.eStatus != CFrameSocket::EStatus::Frame &&
            read.eStatus != CFrameSocket::EStatus::Malformed) {
            break;
        }
        DecodedMessage<HelperMessage> decoded =
            read.eStatus == CFrameSocket::EStatus::Frame
                ? DecodeHelperMessage(read.body)
                : DecodedMessage<HelperMessage>{{}, read.strError};
        if (!decoded.strError.empty()) {
            strProblem = "sent " + decoded.strError;
            session.pChannel->Kill();
            break;
        }
        bGoing = OnHelperMessage(session, std::move(decoded.message), strProblem);
    }
    const std::string strExit = session.pChannel->WaitForExit(kExitGraceMs);
    if (!session.bClosing) {
        EndSession(session, strProblem.empty() ? "ended unexpectedly: " + strExit : strProblem,
                   false);
    }
}

bool CCaptureClient::CLink::OnHelperMessage(CSession& session, HelperMessage&& message,
                                            std::string& strProblem) {
    std::unique_lock lock(m_mtxState);
    session.tHeard = std::chrono::steady_clock::now();
    if (m_bSilent) {
        m_bSilent = false;
        UpdateStall();
    }
    if (!session.bGreeted) {
        const auto* pHello = std::get_if<HelloMessage>(&message);
        if (pHello == nullptr || pHello->nVersion != kProtocolVersion) {
            strProblem = pHello == nullptr
                             ? "did not greet first"
                             : "speaks protocol version " + std::to_string(pHello->nVersion) +
                                   ", this program " + std::to_string(kProtocolVersion);
            session.pChannel->Kill();
            return false;
        }
        session.bGreeted = true;
        m_cvState.notify_all();
        return true;
    }
    if (auto* pSnapshot = std::get_if<SnapshotMessage>(&message)) {
        m_lastSnapshot = pSnapshot->snapshot;
        m_current = m_earlier.Add(std::move(pSnapshot->snapshot));
        const int64_t nRecv = m_current.nRecvBytes, nSent = m_current.nSentBytes;
        if (nRecv != m_nShownRecv || nSent != m_nShownSent) {
            m_nShownRecv = nRecv;
            m_nShownSent = nSent;
            lock.unlock();
            PostToView([nRecv, nSent](CLink& link) { link.ShowTotals(nRecv, nSent); });
        }
        return true;
    }
    if (const auto* pDevices = std::get_if<DevicesMessage>(&message)) {
        m_states = FromDevicesMessage(*pDevices);
        return true;
    }
    if (const auto* pNotice = std::get_if<NoticeMessage>(&message)) {
        lock.unlock();
        m_view.ShowMessage(pNotice->strText, kExceptionCaption);
        return true;
    }
    if (const auto* pError = std::get_if<ErrorMessage>(&message)) {
        strProblem = "ended the session: " + pError->strText;
        return false;
    }
    if (std::holds_alternative<HelloMessage>(message) || !session.bAsking || session.answer) {
        strProblem = "sent an answer to no question";
        session.pChannel->Kill();
        return false;
    }
    session.answer = std::move(message);
    m_cvState.notify_all();
    return true;
}

void CCaptureClient::CLink::EndSession(CSession& session, const std::string& strReason,
                                       bool bKill) {
    bool bEstablished = false;
    bool bReconnect = false;
    std::string strEnd;
    {
        std::lock_guard guard(m_mtxState);
        if (session.bEnded) {
            return;
        }
        session.bEnded = true;
        // A service that goes while this client captures is reached again (it restarts), and
        // counting goes on from these counts.
        bReconnect = m_source.IsService() && (session.bCapturing || m_bReconnecting) && !m_bClosing;
        if (bReconnect) {
            m_bReconnect = true;
            m_tReconnect = std::chrono::steady_clock::now();
        }
        strEnd = session.strEnd =
            m_strPeer + " " + strReason +
            (bReconnect ? "; capture goes on once it answers again." : "; capture stopped.");
        bEstablished = session.bEstablished;
        // Its counts stay, as they were last told.
        m_earlier.End(std::exchange(m_lastSnapshot, {}));
        m_current = m_earlier.Get();
        m_states.clear();
        m_nShownRecv = m_current.nRecvBytes;
        m_nShownSent = m_current.nSentBytes;
        m_bSilent = false;
        UpdateStall();
        m_cvState.notify_all();
    }
    if (bKill) {
        session.pChannel->Kill();
    }
    // A session that never ran is told by the exception of the Start that began it.
    if (bEstablished) {
        PostToView([pReported = session.pReported, strEnd, bReconnect](CLink& link) {
            if (!pReported->exchange(true)) {
                link.m_view.ShowMessage(strEnd, kExceptionCaption);
            }
            if (!bReconnect && link.m_fnCaptureEnded) {
                link.m_fnCaptureEnded();
            }
        });
    }
}

std::string CCaptureClient::CLink::Start(const SettingsMessage& settings,
                                         const ExcludedMessage& excluded) {
    {
        std::lock_guard guard(m_mtxState);
        m_bReconnect = false;
    }
    CSession& session = Connect(settings, excluded);
    const std::optional<HelperMessage> answer = Ask(session, StartMessage{}, m_timeouts.capture);
    if (const auto* pStarted = answer ? std::get_if<StartedMessage>(&*answer) : nullptr) {
        std::lock_guard guard(m_mtxState);
        session.bCapturing = true;
        return pStarted->strFailures;
    }
    if (const auto* pFailed = answer ? std::get_if<StartFailedMessage>(&*answer) : nullptr) {
        throw pFailed->bDescribed ? CZarnException(pFailed->nCode, pFailed->strDescription.c_str())
                                  : CZarnException(pFailed->nCode);
    }
    if (answer) {
        EndSession(session, "answered Capture out of turn", true);
    }
    throw EndAsException(session);
}

void CCaptureClient::CLink::Stop() {
    {
        std::lock_guard guard(m_mtxState);
        m_bReconnect = false;
    }
    if (!IsRunning()) {
        return;
    }
    const std::optional<HelperMessage> answer = Ask(*m_pSession, StopMessage{}, m_timeouts.capture);
    if (answer && !std::holds_alternative<StoppedMessage>(*answer)) {
        EndSession(*m_pSession, "answered Stop out of turn", true);
    }
    std::lock_guard guard(m_mtxState);
    m_pSession->bCapturing = false;
}

void CCaptureClient::CLink::Reconnect() {
    std::string strFailures;
    {
        std::lock_guard guard(m_mtxState);
        m_bReconnecting = true;
    }
    try {
        strFailures = Start(m_lastSettings, m_lastExcluded);
        std::lock_guard guard(m_mtxState);
        m_bReconnecting = false;
    } catch (const CZarnException& e) {
        std::lock_guard guard(m_mtxState);
        m_bReconnecting = false;
        // Not there yet (or it went again before it answered): a moment later, once more. A
        // service that answers and refuses the capture ends it, as a helper's refusal would.
        if (!m_pSession || m_pSession->bEnded || !m_pSession->bEstablished) {
            m_bReconnect = true;
            m_tReconnect = std::chrono::steady_clock::now() + kReconnectPeriod;
            return;
        }
        PostToView([strText = DescribeError(e)](CLink& link) {
            link.m_view.ShowMessage(strText, kExceptionCaption);
            if (link.m_fnCaptureEnded) {
                link.m_fnCaptureEnded();
            }
        });
        return;
    }
    PostToView(
        [strText = m_strPeer + " answers again: capture goes on.", strFailures](CLink& link) {
            link.m_view.ShowMessage(strFailures.empty() ? strText : strText + "\n" + strFailures,
                                    kExceptionCaption);
        });
}

CCaptureClient::CCaptureClient(IMeterView& view, std::function<void()> fnCaptureEnded,
                               CaptureTimeouts timeouts, CaptureSource source)
    : m_view(view), m_source(source),
      m_pLink(
          std::make_unique<CLink>(view, std::move(fnCaptureEnded), timeouts, std::move(source))) {}

CCaptureClient::~CCaptureClient() = default;

std::string CCaptureClient::FindHelper() {
    if (getauxval(AT_SECURE) == 0) {
        if (const char* szHelper = std::getenv(kHelperVariable);
            szHelper != nullptr && *szHelper != '\0') {
            return szHelper;
        }
    }
    char szSelf[PATH_MAX];
    const ssize_t nLength = readlink("/proc/self/exe", szSelf, sizeof szSelf - 1);
    const std::filesystem::path self(
        std::string(szSelf, static_cast<size_t>(std::max<ssize_t>(nLength, 0))));
    return (self.parent_path() / ORVEK_HELPER_FROM_BINARY).lexically_normal().string();
}

void CCaptureClient::SetCaptureSettings(const std::string& strFilter, bool bPromiscuous) {
    {
        std::lock_guard guard(m_mtxSettings);
        m_strFilter = strFilter;
        m_bPromiscuous = bPromiscuous;
    }
    m_pLink->Queue([&link = *m_pLink, message = SettingsMessage{strFilter, bPromiscuous}] {
        link.Tell(message);
    });
}

std::string CCaptureClient::GetFilter() const {
    std::lock_guard guard(m_mtxSettings);
    return m_strFilter;
}

bool CCaptureClient::IsPromiscuous() const {
    std::lock_guard guard(m_mtxSettings);
    return m_bPromiscuous;
}

namespace {

ExcludedMessage ToMessage(const std::set<std::string>& excluded,
                          const std::map<std::string, std::string>& tunnels,
                          const std::set<std::string>& notTunnels) {
    ExcludedMessage message;
    const auto add = [](const std::set<std::string>& names, std::vector<std::string>& vecTo) {
        for (const std::string& strName : names) {
            if (strName.size() <= kMaxDeviceName && vecTo.size() < kMaxExcludedSent) {
                vecTo.push_back(strName);
            }
        }
    };
    add(excluded, message.vecDevices);
    for (const auto& [strDevice, strCarrier] : tunnels) {
        if (strDevice.size() <= kMaxDeviceName && strCarrier.size() <= kMaxDeviceName &&
            message.vecTunnels.size() < kMaxExcludedSent) {
            message.vecTunnels.push_back({strDevice, strCarrier});
        }
    }
    add(notTunnels, message.vecNotTunnels);
    return message;
}

} // namespace

std::vector<DeviceState> CCaptureClient::GetDeviceStates() const {
    return m_pLink->GetDeviceStates();
}

void CCaptureClient::RefreshDeviceStates() {
    SettingsMessage settings;
    ExcludedMessage excluded;
    {
        std::lock_guard guard(m_mtxSettings);
        settings = {m_strFilter.substr(0, kMaxTextBytes), m_bPromiscuous};
        excluded = ToMessage(m_excluded, m_tunnels, m_notTunnels);
    }
    m_pLink->Queue([&link = *m_pLink, settings, excluded] { link.Refresh(settings, excluded); });
}

std::string CCaptureClient::DescribeFailure(const CZarnException& e) const {
    return IsPermissionFailure(e)
               ? DescribeError(e) + "\n" + DescribePermissionFix(m_pLink->GetHelperPath())
               : DescribeError(e);
}

template <class T> void CCaptureClient::ChangeChoice(T& choice, const T& value) {
    ExcludedMessage message;
    {
        std::lock_guard guard(m_mtxSettings);
        choice = value;
        message = ToMessage(m_excluded, m_tunnels, m_notTunnels);
    }
    m_pLink->Queue([&link = *m_pLink, message] { link.Tell(message); });
}

void CCaptureClient::SetExcludedDevices(const std::set<std::string>& excluded) {
    ChangeChoice(m_excluded, excluded);
}

void CCaptureClient::SetTunnels(const std::map<std::string, std::string>& tunnels) {
    ChangeChoice(m_tunnels, tunnels);
}

void CCaptureClient::SetNotTunnels(const std::set<std::string>& devices) {
    ChangeChoice(m_notTunnels, devices);
}

std::set<std::string> CCaptureClient::GetExcludedDevices() const {
    std::lock_guard guard(m_mtxSettings);
    return m_excluded;
}

void CCaptureClient::SetPace(std::chrono::milliseconds pace) {
    const PaceMessage message{
        static_cast<uint32_t>(std::clamp<int64_t>(pace.count(), kMinPaceMs, kMaxPaceMs))};
    m_pLink->Queue([&link = *m_pLink, message] { link.Tell(message); });
}

void CCaptureClient::SetStallHandler(std::function<void(bool)> fnStalled) {
    m_pLink->SetStallHandler(std::move(fnStalled));
}

void CCaptureClient::QueueStart(std::function<void(StartOutcome)> fnOutcome) {
    SettingsMessage settings;
    ExcludedMessage excluded;
    {
        std::lock_guard guard(m_mtxSettings);
        settings = {m_strFilter, m_bPromiscuous};
        excluded = ToMessage(m_excluded, m_tunnels, m_notTunnels);
    }
    m_pLink->Queue([&link = *m_pLink, settings, excluded, fnOutcome = std::move(fnOutcome)] {
        StartOutcome outcome;
        try {
            if (settings.strFilter.size() > kMaxTextBytes) {
                throw CZarnException(0, ("The capture filter is longer than " +
                                         std::to_string(kMaxTextBytes) + " bytes")
                                            .c_str());
            }
            outcome.strFailures = link.Start(settings, excluded);
        } catch (...) {
            outcome.error = CurrentError();
        }
        fnOutcome(std::move(outcome));
    });
}

void CCaptureClient::RequestStart(std::function<void(const StartOutcome&)> fnDone) {
    QueueStart([&link = *m_pLink, fnDone = std::move(fnDone)](StartOutcome outcome) {
        link.PostToView([fnDone, outcome = std::move(outcome)](CLink&) { fnDone(outcome); });
    });
}

void CCaptureClient::RequestStop(std::function<void()> fnDone) {
    m_pLink->Queue([&link = *m_pLink, fnDone = std::move(fnDone)] {
        link.Stop();
        if (fnDone) {
            link.PostToView([fnDone](CLink&) { fnDone(); });
        }
    });
}

namespace {

// A request's outcome handed to a waiting thread; broken when the client closes first.
template <class T> struct Awaited {
    std::mutex mtx;
    std::condition_variable cv;
    std::optional<T> value;
    void Set(T v) {
        std::lock_guard guard(mtx);
        value = std::move(v);
        cv.notify_all();
    }
};

} // namespace

std::string CCaptureClient::StartCapture() {
    // Handed over directly, not posted: the view thread may be the one waiting.
    auto pOutcome = std::make_shared<Awaited<StartOutcome>>();
    QueueStart([pOutcome](StartOutcome outcome) { pOutcome->Set(std::move(outcome)); });
    std::unique_lock lock(pOutcome->mtx);
    pOutcome->cv.wait(lock, [&] { return pOutcome->value.has_value(); });
    if (pOutcome->value->error) {
        throw *pOutcome->value->error;
    }
    return pOutcome->value->strFailures;
}

void CCaptureClient::StopCapture() {
    auto pDone = std::make_shared<Awaited<bool>>();
    m_pLink->Queue([&link = *m_pLink, pDone] {
        link.Stop();
        pDone->Set(true);
    });
    std::unique_lock lock(pDone->mtx);
    pDone->cv.wait(lock, [&] { return pDone->value.has_value(); });
}

MeterSnapshot CCaptureClient::GetSnapshot() const {
    return m_pLink->GetSnapshot();
}

int64_t CCaptureClient::GetRecvBytes() const {
    return GetSnapshot().nRecvBytes;
}

int64_t CCaptureClient::GetSentBytes() const {
    return GetSnapshot().nSentBytes;
}

void CCaptureClient::UpdateCounters() {
    int64_t nRecv = 0, nSent = 0;
    m_pLink->GetShownTotals(nRecv, nSent);
    m_pLink->ShowTotals(nRecv, nSent);
}

void CCaptureClient::OnException(const CZarnException& e) {
    if (e.HasDescription()) {
        m_view.ShowMessage(e.GetDescription(), kExceptionCaption);
    }
}

void CCaptureClient::OnCurrentException() {
    m_view.ShowMessage(DescribeError(CurrentError()), kExceptionCaption);
}

pid_t CCaptureClient::GetHelperPid() const {
    return m_pLink->GetHelperPid();
}
