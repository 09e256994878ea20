#include "HelperSession.h"

#include <algorithm>
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

bool SameStates(const std::vector<DeviceState>& a, const std::vector<DeviceState>& b) {
    return std::ranges::equal(a, b, [](const DeviceState& x, const DeviceState& y) {
        return x.strName == y.strName && x.strKind == y.strKind && x.eState == y.eState &&
               x.strError == y.strError && x.bChosen == y.bChosen && x.strReason == y.strReason;
    });
}

} // namespace

CHelperSession::CHelperSession(int hSocket, int hSignals)
    : m_socket(hSocket), m_hSignals(hSignals), m_meter(*this, m_manager, m_manager) {}

int CHelperSession::Run() {
    Send(HelloMessage{});
    m_loop.Watch(m_socket.Get(), [this] { OnReadable(); });
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

void CHelperSession::ShowCounters(int64_t, int64_t) {
    SendChanges();
}

void CHelperSession::ShowMessage(const std::string& strText, const char*) {
    // A failure tends to change the devices' states (or the monitor's): they follow at once.
    m_loop.Post([this, strText] {
        Send(NoticeMessage{strText});
        SendChanges();
    });
}

void CHelperSession::Post(std::function<void()> fn, int nDelayMs) {
    m_loop.Post(std::move(fn), nDelayMs);
}

void CHelperSession::OnReadable() {
    while (!m_bEnded) {
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
                    StartedMessage answer{m_meter.StartCapture()};
                    SendChanges();
                    Send(answer);
                    if (m_nLookChain == 0) {
                        const uint64_t nChain = m_nLookChain = ++m_nCaptures;
                        m_loop.Post([this, nChain] { OnLook(nChain); }, kLookMs);
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
            } else if constexpr (std::is_same_v<T, RefreshMessage>) {
                m_meter.RefreshDeviceStates();
            }
            SendChanges();
        },
        message);
}

void CHelperSession::SendChanges(bool bSnapshot) {
    std::vector<DeviceState> states = m_meter.GetDeviceStates();
    if (!m_bSentAny || !SameStates(states, m_sentStates)) {
        DevicesMessage devices = ToDevicesMessage(states);
        SendFitted(devices, devices.devices);
        m_sentStates = std::move(states);
    }
    SnapshotMessage snapshot{m_meter.GetSnapshot()};
    if (bSnapshot || !m_bSentAny || snapshot.snapshot != m_sentSnapshot) {
        m_sentSnapshot = snapshot.snapshot;
        SendFitted(snapshot, snapshot.snapshot.devices);
    }
    m_bSentAny = true;
}

void CHelperSession::OnLook(uint64_t nChain) {
    if (nChain != m_nLookChain || m_bEnded) {
        return;
    }
    SendChanges(true);
    m_loop.Post([this, nChain] { OnLook(nChain); }, kLookMs);
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
    if (!m_bEnded && m_socket.Send(EncodeFrame(message)) != 0) {
        End(kFailed);
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
