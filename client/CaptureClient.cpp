#include "CaptureClient.h"

#include "Capabilities.h"
#include "CaptureAdvice.h"
#include "EarlierCounts.h"
#include "HelperProcess.h"
#include "Protocol.h"
#include "ZarnException.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
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
// Bytes read from the socket at a time.
constexpr size_t kReadChunk = 64 * 1024;
// Longer names are no device's: they are not sent, so that an exclusion list always fits a frame.
constexpr size_t kMaxDeviceName = 255;
constexpr size_t kMaxExcludedSent = 4096;

std::string Seconds(std::chrono::milliseconds duration) {
    const auto nMs = duration.count();
    return nMs % 1000 == 0 ? std::to_string(nMs / 1000) + " s" : std::to_string(nMs) + " ms";
}

} // namespace

// One helper after another, and this client's end of each: the requests, the reader thread that
// takes the helper's messages, and the counts of helpers that ended.
class CCaptureClient::CLink {
public:
    CLink(IMeterView& view, std::function<void()> fnCaptureEnded, CaptureTimeouts timeouts)
        : m_view(view), m_fnCaptureEnded(std::move(fnCaptureEnded)), m_timeouts(timeouts),
          m_strHelper(FindHelper()) {}
    CLink(const CLink&) = delete;
    CLink& operator=(const CLink&) = delete;
    // The session ends first: its reader thread reads m_pSelf until it is joined.
    ~CLink() {
        std::lock_guard guard(m_mtxRequest);
        m_pSession.reset();
    }

    // View thread.
    std::string Start(const SettingsMessage& settings, const ExcludedMessage& excluded);
    // Any thread: a message for a running helper, dropped when none runs.
    void Tell(const ClientMessage& message);
    void Stop();
    MeterSnapshot GetSnapshot();
    std::vector<DeviceState> GetDeviceStates();
    // View thread.
    void RefreshDeviceStates(const SettingsMessage& settings, const ExcludedMessage& excluded);
    const std::string& GetHelperPath() const { return m_strHelper; }
    void GetShownTotals(int64_t& nRecv, int64_t& nSent) {
        std::lock_guard guard(m_mtxState);
        nRecv = m_nShownRecv;
        nSent = m_nShownSent;
    }
    pid_t GetHelperPid() {
        std::lock_guard guard(m_mtxRequest);
        return IsRunning() ? m_pSession->process.GetPid() : 0;
    }

    // View thread: shows totals.
    void ShowTotals(int64_t nRecv, int64_t nSent) { m_view.ShowCounters(nRecv, nSent); }

private:
    struct CSession {
        explicit CSession(const std::string& strHelper) : process(strHelper) {}
        // Tells the helper to end (it sees the socket close) and waits for its reader thread,
        // which reaps it.
        ~CSession() {
            bClosing = true;
            shutdown(process.GetSocket(), SHUT_RDWR);
            if (reader.joinable()) {
                reader.join();
            }
        }

        CHelperProcess process;
        std::thread reader;
        std::atomic<bool> bClosing{false};
        // Whether the end was told to the user: once, by whichever path reaches the view first.
        const std::shared_ptr<std::atomic<bool>> pReported = std::make_shared<std::atomic<bool>>();
        // Guarded by m_mtxState.
        bool bGreeted = false;     // the helper's hello came
        bool bEstablished = false; // greeted and given the settings
        bool bAsking = false;      // a request waits for its answer
        std::optional<HelperMessage> answer;
        bool bEnded = false;
        std::string strEnd; // the message that tells the end
    };

    // m_mtxRequest held.
    bool IsRunning() {
        if (!m_pSession) {
            return false;
        }
        std::lock_guard guard(m_mtxState);
        return !m_pSession->bEnded;
    }
    // m_mtxRequest held, view thread: the running session, a new one when none runs. Throws
    // CZarnException.
    CSession& Connect(const SettingsMessage& settings, const ExcludedMessage& excluded);
    // m_mtxRequest held: false (the session ended) when the message cannot be sent.
    bool Send(CSession& session, const ClientMessage& message);
    // m_mtxRequest held: sends a request and waits for its answer; nothing when the session ended
    // first or ends now, for want of an answer in time.
    std::optional<HelperMessage> Ask(CSession& session, const ClientMessage& request,
                                     std::chrono::milliseconds timeout);
    // The session's reader thread: handles the helper's messages until the socket closes or the
    // helper breaks the protocol, then reaps the helper and ends the session.
    void Read(CSession& session);
    // Reader thread: false, and why, when the message ends the session.
    bool OnHelperMessage(CSession& session, HelperMessage&& message, std::string& strProblem);
    // Any thread: the session ends for strReason (the helper killed when bKill): its counts are
    // kept, an asker wakes, and the view hears of it once, on its thread.
    void EndSession(CSession& session, const std::string& strReason, bool bKill);
    // m_mtxRequest held, a session running: the device states a request was answered with, or
    // none when it was not answered, or wrongly (which ends the session).
    std::vector<DeviceState> Devices(const std::optional<HelperMessage>& answer);
    // m_mtxRequest held: the end as an exception for the caller to throw; the view is not told.
    CZarnException EndAsException(CSession& session) {
        session.pReported->store(true);
        std::lock_guard guard(m_mtxState);
        return CZarnException(0, session.strEnd.c_str());
    }
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

    IMeterView& m_view;
    const std::function<void()> m_fnCaptureEnded;
    const CaptureTimeouts m_timeouts;
    const std::string m_strHelper;

    // Serialises the messages to the helper and the session's replacement; held while a request
    // waits for its answer. Never taken by a reader thread.
    std::mutex m_mtxRequest;
    std::unique_ptr<CSession> m_pSession; // m_mtxRequest; replaced on the view thread only

    // What reader threads hand over; held only briefly, never across a wait but the condition's.
    std::mutex m_mtxState;
    std::condition_variable m_cvState;
    // Guarded by m_mtxState: the counts of helpers that ended, their devices stopped; the running
    // helper's last snapshot and totals; and the totals the view was last given, earlier counts
    // included.
    CEarlierCounts m_earlier;
    MeterSnapshot m_lastSnapshot;
    int64_t m_nLastRecv = 0, m_nLastSent = 0;
    int64_t m_nShownRecv = 0, m_nShownSent = 0;

    // Expires with the client, so that work posted to the view does not outlive it.
    std::shared_ptr<CLink*> m_pSelf = std::make_shared<CLink*>(this);
};

CCaptureClient::CLink::CSession& CCaptureClient::CLink::Connect(const SettingsMessage& settings,
                                                                const ExcludedMessage& excluded) {
    if (IsRunning()) {
        return *m_pSession;
    }
    m_pSession.reset(); // the ended one, reaped by now or soon
    auto pSession = std::make_unique<CSession>(m_strHelper);
    CSession& session = *pSession;
    // A helper that stops reading cannot hold a sender longer than an answer may take.
    const timeval sendTimeout{static_cast<time_t>(m_timeouts.answer.count() / 1000),
                              static_cast<suseconds_t>(m_timeouts.answer.count() % 1000 * 1000)};
    setsockopt(session.process.GetSocket(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout,
               sizeof sendTimeout);
    try {
        session.reader = std::thread([this, &session] { Read(session); });
    } catch (const std::system_error& e) {
        throw CZarnException(e.code().value());
    }
    if (Send(session, HelloMessage{})) {
        std::unique_lock lock(m_mtxState);
        if (!m_cvState.wait_for(lock, m_timeouts.answer,
                                [&] { return session.bGreeted || session.bEnded; })) {
            lock.unlock();
            EndSession(session, "did not greet within " + Seconds(m_timeouts.answer), true);
        }
    }
    if (!Send(session, settings) || !Send(session, excluded)) {
        throw EndAsException(session);
    }
    {
        std::lock_guard guard(m_mtxState);
        session.bEstablished = true;
    }
    m_pSession = std::move(pSession);
    return session;
}

bool CCaptureClient::CLink::Send(CSession& session, const ClientMessage& message) {
    {
        std::lock_guard guard(m_mtxState);
        if (session.bEnded) {
            return false;
        }
    }
    const std::string strFrame = EncodeFrame(message);
    for (size_t nSent = 0; nSent < strFrame.size();) {
        const ssize_t n = send(session.process.GetSocket(), strFrame.data() + nSent,
                               strFrame.size() - nSent, MSG_NOSIGNAL);
        const int nError = n < 0 ? errno : EPIPE;
        if (n < 0 && nError == EINTR) {
            continue;
        }
        if (n <= 0 && (nError == EPIPE || nError == ECONNRESET)) {
            // The helper went: its reader thread tells how, once it has reaped it.
            std::unique_lock lock(m_mtxState);
            if (m_cvState.wait_for(lock, m_timeouts.answer, [&] { return session.bEnded; })) {
                return false;
            }
        }
        if (n <= 0) {
            EndSession(session,
                       nError == EAGAIN
                           ? "did not read for " + Seconds(m_timeouts.answer)
                           : std::string("could not be written to: ") + std::strerror(nError),
                       true);
            return false;
        }
        nSent += static_cast<size_t>(n);
    }
    return true;
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
    m_cvState.wait_for(lock, timeout, [&] { return session.answer || session.bEnded; });
    session.bAsking = false;
    std::optional<HelperMessage> answer = std::exchange(session.answer, std::nullopt);
    if (!answer && !session.bEnded) {
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
    std::vector<uint8_t> inbox;
    std::string strProblem;
    bool bBroken = false;
    while (!bBroken) {
        const size_t nHad = inbox.size();
        inbox.resize(nHad + kReadChunk);
        const ssize_t nRead = recv(session.process.GetSocket(), inbox.data() + nHad, kReadChunk, 0);
        inbox.resize(nHad + static_cast<size_t>(std::max<ssize_t>(nRead, 0)));
        if (nRead < 0 && errno == EINTR) {
            continue;
        }
        if (nRead <= 0) {
            break;
        }
        size_t nUsed = 0;
        while (!bBroken) {
            const FrameVerdict frame = ReadFrame(std::span(inbox).subspan(nUsed));
            if (frame.eStatus == FrameVerdict::EStatus::Incomplete) {
                break;
            }
            DecodedMessage<HelperMessage> decoded;
            if (frame.eStatus == FrameVerdict::EStatus::Malformed) {
                decoded.strError = frame.strError;
            } else {
                decoded = DecodeHelperMessage(frame.body);
                nUsed += frame.nFrameBytes;
            }
            if (!decoded.strError.empty()) {
                strProblem = "sent " + decoded.strError;
                session.process.Kill();
                bBroken = true;
            } else {
                bBroken = !OnHelperMessage(session, std::move(decoded.message), strProblem);
            }
        }
        inbox.erase(inbox.begin(), inbox.begin() + static_cast<ptrdiff_t>(nUsed));
    }
    const std::string strExit = session.process.WaitForExit(kExitGraceMs);
    if (!session.bClosing) {
        EndSession(session, strProblem.empty() ? "ended unexpectedly: " + strExit : strProblem,
                   false);
    }
}

bool CCaptureClient::CLink::OnHelperMessage(CSession& session, HelperMessage&& message,
                                            std::string& strProblem) {
    std::unique_lock lock(m_mtxState);
    if (!session.bGreeted) {
        const auto* pHello = std::get_if<HelloMessage>(&message);
        if (pHello == nullptr || pHello->nVersion != kProtocolVersion) {
            strProblem = pHello == nullptr
                             ? "did not greet first"
                             : "speaks protocol version " + std::to_string(pHello->nVersion) +
                                   ", this program " + std::to_string(kProtocolVersion);
            session.process.Kill();
            return false;
        }
        session.bGreeted = true;
        m_cvState.notify_all();
        return true;
    }
    if (const auto* pCounters = std::get_if<CountersMessage>(&message)) {
        m_nLastRecv = pCounters->nRecvBytes;
        m_nLastSent = pCounters->nSentBytes;
        const int64_t nRecv = m_nShownRecv = m_earlier.Get().nRecvBytes + m_nLastRecv;
        const int64_t nSent = m_nShownSent = m_earlier.Get().nSentBytes + m_nLastSent;
        lock.unlock();
        PostToView([nRecv, nSent](CLink& link) { link.ShowTotals(nRecv, nSent); });
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
        session.process.Kill();
        return false;
    }
    session.answer = std::move(message);
    m_cvState.notify_all();
    return true;
}

void CCaptureClient::CLink::EndSession(CSession& session, const std::string& strReason,
                                       bool bKill) {
    bool bEstablished = false;
    std::string strEnd;
    {
        std::lock_guard guard(m_mtxState);
        if (session.bEnded) {
            return;
        }
        session.bEnded = true;
        strEnd = session.strEnd =
            "Orvek's capture helper (" + m_strHelper + ") " + strReason + "; capture stopped.";
        bEstablished = session.bEstablished;
        // Its counts stay, as they were last told: totals move more often than snapshots come.
        m_earlier.End(std::exchange(m_lastSnapshot, {}), std::exchange(m_nLastRecv, 0),
                      std::exchange(m_nLastSent, 0));
        m_nShownRecv = m_earlier.Get().nRecvBytes;
        m_nShownSent = m_earlier.Get().nSentBytes;
        m_cvState.notify_all();
    }
    if (bKill) {
        session.process.Kill();
    }
    // A session that never ran is told by the exception of the Start that began it.
    if (bEstablished) {
        PostToView([pReported = session.pReported, strEnd](CLink& link) {
            if (!pReported->exchange(true)) {
                link.m_view.ShowMessage(strEnd, kExceptionCaption);
            }
            if (link.m_fnCaptureEnded) {
                link.m_fnCaptureEnded();
            }
        });
    }
}

std::string CCaptureClient::CLink::Start(const SettingsMessage& settings,
                                         const ExcludedMessage& excluded) {
    std::lock_guard guard(m_mtxRequest);
    CSession& session = Connect(settings, excluded);
    const std::optional<HelperMessage> answer = Ask(session, StartMessage{}, m_timeouts.capture);
    if (const auto* pStarted = answer ? std::get_if<StartedMessage>(&*answer) : nullptr) {
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

void CCaptureClient::CLink::Tell(const ClientMessage& message) {
    std::lock_guard guard(m_mtxRequest);
    if (IsRunning()) {
        Send(*m_pSession, message);
    }
}

void CCaptureClient::CLink::Stop() {
    std::lock_guard guard(m_mtxRequest);
    if (!IsRunning()) {
        return;
    }
    const std::optional<HelperMessage> answer = Ask(*m_pSession, StopMessage{}, m_timeouts.capture);
    if (answer && !std::holds_alternative<StoppedMessage>(*answer)) {
        EndSession(*m_pSession, "answered Stop out of turn", true);
    }
}

MeterSnapshot CCaptureClient::CLink::GetSnapshot() {
    std::lock_guard request(m_mtxRequest);
    if (IsRunning()) {
        std::optional<HelperMessage> answer =
            Ask(*m_pSession, SnapshotRequest{}, m_timeouts.answer);
        if (auto* pSnapshot = answer ? std::get_if<SnapshotMessage>(&*answer) : nullptr) {
            std::lock_guard guard(m_mtxState);
            m_lastSnapshot = pSnapshot->snapshot;
            return m_earlier.Add(std::move(pSnapshot->snapshot));
        }
        if (answer) {
            EndSession(*m_pSession, "answered a snapshot request out of turn", true);
        }
    }
    std::lock_guard guard(m_mtxState);
    return m_earlier.Get();
}

std::vector<DeviceState> CCaptureClient::CLink::GetDeviceStates() {
    std::lock_guard request(m_mtxRequest);
    if (!IsRunning()) {
        return {};
    }
    const std::optional<HelperMessage> answer =
        Ask(*m_pSession, DevicesRequest{false}, m_timeouts.answer);
    return Devices(answer);
}

void CCaptureClient::CLink::RefreshDeviceStates(const SettingsMessage& settings,
                                                const ExcludedMessage& excluded) {
    std::lock_guard request(m_mtxRequest);
    try {
        Devices(Ask(Connect(settings, excluded), DevicesRequest{true}, m_timeouts.capture));
    } catch (const CZarnException&) {
        // No helper to list them: Capture says why.
    }
}

std::vector<DeviceState>
CCaptureClient::CLink::Devices(const std::optional<HelperMessage>& answer) {
    if (const auto* pDevices = answer ? std::get_if<DevicesMessage>(&*answer) : nullptr) {
        if (std::optional<std::vector<DeviceState>> states = FromDevicesMessage(*pDevices)) {
            return std::move(*states);
        }
        EndSession(*m_pSession, "sent a device state that is none", true);
    } else if (answer) {
        EndSession(*m_pSession, "answered a device request out of turn", true);
    }
    return {};
}

CCaptureClient::CCaptureClient(IMeterView& view, std::function<void()> fnCaptureEnded,
                               CaptureTimeouts timeouts)
    : m_view(view), m_pLink(std::make_unique<CLink>(view, std::move(fnCaptureEnded), timeouts)) {}

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
    m_pLink->Tell(SettingsMessage{strFilter, bPromiscuous});
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
    m_pLink->RefreshDeviceStates(settings, excluded);
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
    m_pLink->Tell(message);
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

std::string CCaptureClient::StartCapture() {
    SettingsMessage settings;
    ExcludedMessage excluded;
    {
        std::lock_guard guard(m_mtxSettings);
        settings = {m_strFilter, m_bPromiscuous};
        excluded = ToMessage(m_excluded, m_tunnels, m_notTunnels);
    }
    if (settings.strFilter.size() > kMaxTextBytes) {
        throw CZarnException(
            0, ("The capture filter is longer than " + std::to_string(kMaxTextBytes) + " bytes")
                   .c_str());
    }
    return m_pLink->Start(settings, excluded);
}

void CCaptureClient::StopCapture() {
    m_pLink->Stop();
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
