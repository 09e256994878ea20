#include "MeterSession.h"

#include "ZarnException.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sys/socket.h>

namespace {

bool SameStates(const std::vector<DeviceState>& a, const std::vector<DeviceState>& b) {
    return std::ranges::equal(a, b, [](const DeviceState& x, const DeviceState& y) {
        return x.strName == y.strName && x.strKind == y.strKind && x.eState == y.eState &&
               x.strError == y.strError && x.bChosen == y.bChosen && x.strReason == y.strReason;
    });
}

} // namespace

CMeterSession::CMeterSession(int hSocket, CEventLoop& loop, IMeter& meter, Options options)
    : m_socket(hSocket), m_loop(loop), m_meter(meter), m_options(std::move(options)) {}

CMeterSession::~CMeterSession() {
    m_loop.Unwatch(m_socket.Get());
    Dequeue();
}

void CMeterSession::Begin() {
    Send(HelloMessage{});
    if (!m_bEnded) {
        m_loop.Watch(m_socket.Get(), [this] { OnReadable(); });
    }
}

void CMeterSession::ShowCounters(int64_t, int64_t) {
    OnCountsMoved();
}

void CMeterSession::OnCountsMoved() {
    if (m_bEnded || m_bPushPosted) {
        return; // the push already due shows this movement too
    }
    const auto tDue = m_tSentSnapshot + std::chrono::milliseconds(m_nPaceMs);
    const auto tNow = std::chrono::steady_clock::now();
    // The display's pace is kept by the meter's pacer already.
    if (m_nPaceMs <= kMinPaceMs || tNow >= tDue) {
        SendChanges();
        return;
    }
    m_bPushPosted = true;
    Post(
        [this] {
            m_bPushPosted = false;
            SendChanges();
        },
        static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(tDue - tNow).count()));
}

void CMeterSession::ShowMessage(const std::string& strText, const char*) {
    Post([this, strText] { SendNotice(strText); }, 0);
}

void CMeterSession::Post(std::function<void()> fn, int nDelayMs) {
    m_loop.Post(
        [pSelf = std::weak_ptr(m_pSelf), fn = std::move(fn)] {
            if (pSelf.lock()) {
                fn();
            }
        },
        nDelayMs);
}

void CMeterSession::SendNotice(const std::string& strText) {
    // A failure tends to change the devices' states (or the monitor's): they follow at once.
    Send(NoticeMessage{strText});
    SendChanges();
}

void CMeterSession::OnReadable() {
    for (int nHandled = 0; !m_bEnded; ++nHandled) {
        if (nHandled == kMessagesPerTurn) {
            // The others' turn. What this client sent may already be read into the inbox, where
            // the socket no longer shows it readable: the rest is read on a later turn.
            Post([this] { OnReadable(); }, 0);
            return;
        }
        const CFrameSocket::Read read = m_socket.Next(false);
        switch (read.eStatus) {
        case CFrameSocket::EStatus::Again:
            return;
        case CFrameSocket::EStatus::Closed:
            End(kEnded); // the client went
            return;
        case CFrameSocket::EStatus::Failed:
            End(kFailed);
            return;
        case CFrameSocket::EStatus::Malformed:
            End(kProtocolBroken, "the client sent " + read.strError);
            return;
        case CFrameSocket::EStatus::Frame:
            break;
        }
        const DecodedMessage<ClientMessage> decoded = DecodeClientMessage(read.body);
        if (!decoded.strError.empty()) {
            End(kProtocolBroken, "the client sent " + decoded.strError);
            return;
        }
        Handle(decoded.message);
    }
}

void CMeterSession::Handle(const ClientMessage& message) {
    if (!m_bGreeted) {
        const auto* pHello = std::get_if<HelloMessage>(&message);
        if (pHello == nullptr || pHello->nVersion != kProtocolVersion) {
            End(kProtocolBroken, pHello == nullptr
                                     ? "the client did not greet first"
                                     : "the client speaks protocol version " +
                                           std::to_string(pHello->nVersion) + ", the helper " +
                                           std::to_string(kProtocolVersion));
            return;
        }
        m_bGreeted = true;
        return;
    }
    std::visit(
        [this](const auto& typed) {
            using T = std::decay_t<decltype(typed)>;
            if constexpr (std::is_same_v<T, HelloMessage>) {
                End(kProtocolBroken, "the client greeted twice");
            } else if constexpr (std::is_same_v<T, SettingsMessage>) {
                m_meter.SetCaptureSettings(typed.strFilter, typed.bPromiscuous);
            } else if constexpr (std::is_same_v<T, ExcludedMessage>) {
                std::map<std::string, std::string> tunnels;
                for (const TunnelFields& tunnel : typed.vecTunnels) {
                    tunnels[tunnel.strDevice] = tunnel.strCarrier;
                }
                m_meter.SetTunnels(tunnels);
                m_meter.SetExcludedDevices(
                    std::set<std::string>(typed.vecDevices.begin(), typed.vecDevices.end()));
                m_meter.SetNotTunnels(
                    std::set<std::string>(typed.vecNotTunnels.begin(), typed.vecNotTunnels.end()));
            } else if constexpr (std::is_same_v<T, StartMessage>) {
                try {
                    StartedMessage answer{m_meter.StartCapture()};
                    SendChanges();
                    Send(answer);
                    if (m_nLookChain == 0) {
                        const uint64_t nChain = m_nLookChain = ++m_nCaptures;
                        Post([this, nChain] { OnLook(nChain); }, kLookMs);
                    }
                } catch (...) {
                    const CZarnException e = CurrentError();
                    SendChanges();
                    Send(StartFailedMessage{e.GetCode(), e.HasDescription(), e.GetDescription()});
                }
                return;
            } else if constexpr (std::is_same_v<T, StopMessage>) {
                m_meter.StopCapture();
                m_nLookChain = 0;
                SendChanges();
                Send(StoppedMessage{});
                return;
            } else if constexpr (std::is_same_v<T, PaceMessage>) {
                m_nPaceMs = typed.nIntervalMs;
                return; // nothing changed with it
            } else if constexpr (std::is_same_v<T, RefreshMessage>) {
                m_meter.RefreshDeviceStates();
            } else if constexpr (std::is_same_v<T, SetPlanMessage>) {
                Send(PlanAnsweredMessage{m_options.fnSetPlan
                                             ? m_options.fnSetPlan(typed.strPlan)
                                             : "the capture helper keeps no usage file: the plan "
                                               "is set in the program's own file"});
                return;
            }
            SendChanges();
        },
        message);
}

void CMeterSession::SendChanges(bool bSnapshot) {
    if (m_bEnded) {
        return;
    }
    std::vector<DeviceState> states = m_meter.GetDeviceStates();
    if (!m_bSentAny || !SameStates(states, m_sentStates)) {
        DevicesMessage devices = ToDevicesMessage(states);
        SendFitted(devices, devices.devices);
        m_sentStates = std::move(states);
    }
    SnapshotMessage snapshot{m_meter.GetSnapshot()};
    // Every snapshot is taken at another time: news only when something else changed.
    m_sentSnapshot.nTakenNs = snapshot.snapshot.nTakenNs;
    if (bSnapshot || !m_bSentAny || snapshot.snapshot != m_sentSnapshot) {
        m_sentSnapshot = snapshot.snapshot;
        m_tSentSnapshot = std::chrono::steady_clock::now();
        std::string strFrame = EncodeFrame(snapshot);
        if (strFrame.size() > kFrameHeaderBytes + kMaxMessageBytes) {
            // Connections with very long names: the largest ones that fit, the others counted.
            std::vector<ConnectionUsage>& connections = snapshot.snapshot.connections;
            std::ranges::sort(connections, std::greater<>(),
                              [](const ConnectionUsage& c) { return c.nSentBytes + c.nRecvBytes; });
            while (!connections.empty() &&
                   EncodeFrame(snapshot).size() > kFrameHeaderBytes + kMaxMessageBytes) {
                snapshot.snapshot.nOtherConnections +=
                    static_cast<int64_t>(connections.size() - connections.size() / 2);
                connections.resize(connections.size() / 2);
            }
            SendFitted(snapshot, snapshot.snapshot.devices);
        } else {
            SendFrame(strFrame);
        }
    }
    m_bSentAny = true;
}

void CMeterSession::OnLook(uint64_t nChain) {
    if (nChain != m_nLookChain || m_bEnded) {
        return;
    }
    // A snapshot sent within the look's period told the client that the helper is there; the
    // changes that move no count wait for the next look.
    if (std::chrono::steady_clock::now() - m_tSentSnapshot >=
        std::chrono::milliseconds(kLookMs - kMinPaceMs)) {
        SendChanges(true);
    }
    Post([this, nChain] { OnLook(nChain); }, kLookMs);
}

template <class TMessage, class TList>
void CMeterSession::SendFitted(TMessage& message, TList& devices) {
    // Thousands of devices: the first ones that fit, rather than no answer.
    std::string strFrame = EncodeFrame(message);
    while (strFrame.size() > kFrameHeaderBytes + kMaxMessageBytes) {
        devices.resize(devices.size() / 2);
        strFrame = EncodeFrame(message);
    }
    SendFrame(strFrame);
}

void CMeterSession::Send(const HelperMessage& message) {
    if (!m_bEnded) {
        SendFrame(EncodeFrame(message));
    }
}

void CMeterSession::SendFrame(const std::string& strFrame) {
    if (m_bEnded) {
        return;
    }
    if (m_options.nQueueBound == 0) {
        if (m_socket.Send(strFrame) != 0) {
            End(kFailed);
        }
        return;
    }
    const bool bOverAll = m_options.pQueuedInAll != nullptr &&
                          *m_options.pQueuedInAll + strFrame.size() > m_options.nQueuedInAllBound;
    if (m_strQueue.size() + strFrame.size() > m_options.nQueueBound || bOverAll) {
        Dequeue(); // the reason goes first, if the client takes anything at all
        End(kDropped, "the client did not take what it was sent: " +
                          std::to_string(m_options.nQueueBound) + " bytes waited for it" +
                          (bOverAll ? " (with the others' queues, the most they may hold)" : ""));
        return;
    }
    const bool bWasEmpty = m_strQueue.empty();
    m_strQueue += strFrame;
    if (m_options.pQueuedInAll != nullptr) {
        *m_options.pQueuedInAll += strFrame.size();
    }
    if (bWasEmpty) {
        Flush();
    }
}

void CMeterSession::Flush() {
    size_t nSent = 0;
    while (nSent < m_strQueue.size()) {
        const ssize_t n = send(m_socket.Get(), m_strQueue.data() + nSent, m_strQueue.size() - nSent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n <= 0) {
            Dequeue();
            End(kFailed);
            return;
        }
        nSent += static_cast<size_t>(n);
    }
    Dequeue(nSent);
    if (!m_strQueue.empty()) {
        m_loop.WatchWritable(m_socket.Get(), [pSelf = std::weak_ptr(m_pSelf)] {
            if (const auto p = pSelf.lock()) {
                (*p)->Flush();
            }
        });
    }
}

void CMeterSession::Dequeue(size_t nBytes) {
    nBytes = std::min(nBytes, m_strQueue.size());
    m_strQueue.erase(0, nBytes);
    if (m_options.pQueuedInAll != nullptr) {
        *m_options.pQueuedInAll -= nBytes;
    }
}

void CMeterSession::End(int nStatus, const std::string& strError) {
    if (m_bEnded) {
        return;
    }
    if (!strError.empty()) {
        Send(ErrorMessage{strError});
        std::fprintf(stderr, "%s: %s\n", m_options.strName.c_str(), strError.c_str());
    }
    m_bEnded = true;
    m_loop.Unwatch(m_socket.Get());
    if (m_options.nQueueBound != 0) {
        // What the client has not taken is given up; the reason is sent when there is room.
        shutdown(m_socket.Get(), SHUT_RDWR);
    }
    if (m_options.fnEnded) {
        // A copy: fnEnded may destroy this session, its options with it.
        Post([fnEnded = m_options.fnEnded, nStatus] { fnEnded(nStatus); }, 0);
    }
}
