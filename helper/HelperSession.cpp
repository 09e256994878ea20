#include "HelperSession.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Bytes read from the socket at a time.
constexpr size_t kReadChunk = 64 * 1024;

} // namespace

CHelperSession::CHelperSession(int hSocket, int hSignals)
    : m_hSocket(hSocket), m_hSignals(hSignals), m_meter(*this, m_manager, m_manager) {}

int CHelperSession::Run() {
    Send(HelloMessage{});
    m_loop.Watch(m_hSocket.Get(), [this] { OnReadable(); });
    m_loop.Watch(m_hSignals, [this] {
        signalfd_siginfo info{};
        bool bStop = false;
        while (read(m_hSignals, &info, sizeof info) > 0) {
            if (info.ssi_signo == SIGUSR1) {
                m_manager.CloseMonitorNewsForTest();
            } else {
                bStop = true;
            }
        }
        if (bStop) {
            End(kEnded);
        }
    });
    m_loop.Run();
    m_meter.StopCapture();
    return m_nStatus;
}

void CHelperSession::ShowCounters(int64_t nRecvBytes, int64_t nSentBytes) {
    Send(CountersMessage{nRecvBytes, nSentBytes});
}

void CHelperSession::ShowMessage(const std::string& strText, const char*) {
    m_loop.Post([this, strText] { Send(NoticeMessage{strText}); });
}

void CHelperSession::Post(std::function<void()> fn, int nDelayMs) {
    m_loop.Post(std::move(fn), nDelayMs);
}

void CHelperSession::OnReadable() {
    const size_t nHad = m_inbox.size();
    m_inbox.resize(nHad + kReadChunk);
    const ssize_t nRead = recv(m_hSocket.Get(), m_inbox.data() + nHad, kReadChunk, MSG_DONTWAIT);
    m_inbox.resize(nHad + static_cast<size_t>(std::max<ssize_t>(nRead, 0)));
    if (nRead < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (nRead <= 0) {
        End(nRead == 0 ? kEnded : kFailed); // the client went
        return;
    }
    size_t nUsed = 0;
    while (!m_bEnded) {
        const FrameVerdict frame = ReadFrame(std::span(m_inbox).subspan(nUsed));
        if (frame.eStatus == FrameVerdict::EStatus::Incomplete) {
            break;
        }
        if (frame.eStatus == FrameVerdict::EStatus::Malformed) {
            End(kProtocolBroken, "the client sent " + frame.strError);
            return;
        }
        nUsed += frame.nFrameBytes;
        const DecodedMessage<ClientMessage> decoded = DecodeClientMessage(frame.body);
        if (!decoded.strError.empty()) {
            End(kProtocolBroken, "the client sent " + decoded.strError);
            return;
        }
        Handle(decoded.message);
    }
    m_inbox.erase(m_inbox.begin(), m_inbox.begin() + static_cast<ptrdiff_t>(nUsed));
}

void CHelperSession::Handle(const ClientMessage& message) {
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
                    Send(StartedMessage{m_meter.StartCapture()});
                } catch (...) {
                    const CZarnException e = CurrentError();
                    Send(StartFailedMessage{e.GetCode(), e.HasDescription(), e.GetDescription()});
                }
            } else if constexpr (std::is_same_v<T, StopMessage>) {
                m_meter.StopCapture();
                Send(StoppedMessage{});
            } else if constexpr (std::is_same_v<T, SnapshotRequest>) {
                SnapshotMessage answer{m_meter.GetSnapshot()};
                SendFitted(answer, answer.snapshot.devices);
            } else if constexpr (std::is_same_v<T, DevicesRequest>) {
                if (typed.bRefresh) {
                    m_meter.RefreshDeviceStates();
                }
                DevicesMessage answer = ToDevicesMessage(m_meter.GetDeviceStates());
                SendFitted(answer, answer.devices);
            }
        },
        message);
}

template <class TMessage, class TList>
void CHelperSession::SendFitted(TMessage& message, TList& devices) {
    // Thousands of devices: the first ones that fit, rather than no answer.
    while (EncodeFrame(message).size() > kFrameHeaderBytes + kMaxMessageBytes) {
        devices.resize(devices.size() / 2);
    }
    Send(message);
}

void CHelperSession::Send(const HelperMessage& message) {
    if (m_bEnded) {
        return;
    }
    const std::string strFrame = EncodeFrame(message);
    size_t nSent = 0;
    while (nSent < strFrame.size()) {
        const ssize_t n =
            send(m_hSocket.Get(), strFrame.data() + nSent, strFrame.size() - nSent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            End(kFailed);
            return;
        }
        nSent += static_cast<size_t>(n);
    }
}

void CHelperSession::End(int nStatus, const std::string& strError) {
    if (m_bEnded) {
        return;
    }
    if (!strError.empty()) {
        Send(ErrorMessage{strError});
        std::fprintf(stderr, "orvek-capture: %s\n", strError.c_str());
    }
    m_bEnded = true;
    m_nStatus = nStatus;
    m_loop.Quit();
}
