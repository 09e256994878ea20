#include "Daemon.h"

#include "Plan.h"
#include "SnapshotFormat.h"
#include "ZarnException.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <grp.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace {

std::string Describe(const ucred& cred, uint64_t nId) {
    return "orvekd: client " + std::to_string(nId) + " (uid " + std::to_string(cred.uid) +
           ", pid " + std::to_string(cred.pid) + ")";
}

sockaddr_un AddressOf(const std::string& strPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (strPath.empty() || strPath.size() >= sizeof address.sun_path) {
        throw std::runtime_error("the socket path '" + strPath + "' is empty or longer than " +
                                 std::to_string(sizeof address.sun_path - 1) + " bytes");
    }
    std::memcpy(address.sun_path, strPath.data(), strPath.size());
    return address;
}

// Sends what fits at once of a refusal (the hello, then the reason) and closes.
void Refuse(CZarnFd hClient, const std::string& strReason) {
    const std::string strFrames = EncodeFrame(HelperMessage{HelloMessage{}}) +
                                  EncodeFrame(HelperMessage{ErrorMessage{strReason}});
    [[maybe_unused]] const ssize_t n =
        send(hClient.Get(), strFrames.data(), strFrames.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

} // namespace

CDaemon::CDaemon(const DaemonConfig& config, CEventLoop& loop)
    : m_loop(loop), m_limits(config.limits), m_strCaptureGroup(config.strCaptureGroup),
      m_pFlowOwners(config.pFlowOwners), m_meter(*this, m_manager, m_manager) {
    if (!m_strCaptureGroup.empty()) {
        group entry{};
        group* pEntry = nullptr;
        std::vector<char> buffer(16384);
        if (getgrnam_r(m_strCaptureGroup.c_str(), &entry, buffer.data(), buffer.size(), &pEntry) ==
                0 &&
            pEntry != nullptr) {
            m_captureGid = pEntry->gr_gid;
        } else {
            std::fprintf(stderr,
                         "orvekd: there is no group %s: only root sees every application and "
                         "changes the plan\n",
                         m_strCaptureGroup.c_str());
        }
    }
    std::error_code error;
    std::filesystem::create_directories(config.strStateDir, error);
    if (error) {
        throw std::runtime_error("cannot make the state folder " + config.strStateDir + ": " +
                                 error.message());
    }
    // Every user's History and report read the file: the folder must let them in.
    chmod(config.strStateDir.c_str(), 0755);
    Listen(config.strSocket);
    try {
        const UsageOptions usage{config.strStateDir + "/usage.sqlite", std::nullopt};
        // The host's history is what a provider bills: every IP packet (ICMP, ESP, GRE, ...),
        // while the clients that share the count see TCP and UDP, as the default filter says.
        m_meter.SetCountEveryIp(true);
        m_pRecording = std::make_unique<CUsageRecording>(
            usage, m_loop, [this] { return m_meter.GetEveryIpSnapshot(); },
            [](const std::string& strText) {
                std::fprintf(stderr, "orvekd: %s\n", strText.c_str());
            });
        m_meter.SetFlowOwners(m_pFlowOwners);
        // Devices that fail are said and capture goes on; it throws only when it cannot run at
        // all (no thread), which ends the service.
        if (const std::string strFailures = m_meter.StartCapture(); !strFailures.empty()) {
            std::fprintf(stderr, "orvekd: %s\n", strFailures.c_str());
        }
        if (!config.strMetricsAddress.empty()) {
            // The server's thread: the meter's snapshot and the plan's series are read by any
            // thread.
            m_pMetrics = std::make_unique<CMetricsServer>(
                config.strMetricsAddress, config.nMetricsPort, [this] {
                    return FormatPrometheus(m_meter.GetSnapshot(), ORVEK_VERSION) +
                           m_pRecording->FormatMetrics();
                });
        }
    } catch (...) {
        unlink(m_strSocket.c_str());
        throw;
    }
}

CDaemon::~CDaemon() {
    // The metrics server (which reads the meter) and the socket go first: clients that reconnect
    // at once, as the sessions end, are refused and try again later rather than wait in the
    // backlog of a service that is ending.
    m_pMetrics.reset();
    m_loop.Unwatch(m_hListen.Get());
    m_hListen.Reset();
    unlink(m_strSocket.c_str());
    m_clients.clear();
    m_meter.StopCapture();
    m_pRecording->Finish();
}

void CDaemon::Listen(const std::string& strPath) {
    const sockaddr_un address = AddressOf(strPath);
    struct stat status {};
    if (lstat(strPath.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode)) {
            throw std::runtime_error(strPath + " exists and is no socket: not replaced");
        }
        const CZarnFd hProbe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (connect(hProbe.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
            0) {
            throw std::runtime_error("another orvekd answers on " + strPath);
        }
        unlink(strPath.c_str()); // left by a service that ended without removing it
    }
    m_hListen.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!m_hListen.IsOpen() ||
        bind(m_hListen.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        chmod(strPath.c_str(), 0666) != 0 || listen(m_hListen.Get(), 128) != 0) {
        throw std::runtime_error("cannot listen on " + strPath + ": " + std::strerror(errno));
    }
    m_strSocket = strPath;
    m_loop.Watch(m_hListen.Get(), [this] { OnAcceptable(); });
}

void CDaemon::OnAcceptable() {
    for (;;) {
        CZarnFd hClient(accept4(m_hListen.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!hClient.IsOpen()) {
            if (errno == EMFILE || errno == ENFILE) {
                // The socket stays readable: a second's pause rather than a spin.
                std::fprintf(stderr, "orvekd: cannot accept a client for a second: %s\n",
                             std::strerror(errno));
                m_loop.Unwatch(m_hListen.Get());
                m_loop.Post([this] { m_loop.Watch(m_hListen.Get(), [this] { OnAcceptable(); }); },
                            1000);
            }
            return; // EAGAIN: nobody waits; a client that went before it was accepted
        }
        Accept(std::move(hClient));
    }
}

void CDaemon::Accept(CZarnFd hClient) {
    ucred cred{};
    socklen_t nLength = sizeof cred;
    if (getsockopt(hClient.Get(), SOL_SOCKET, SO_PEERCRED, &cred, &nLength) != 0) {
        return;
    }
    const uint64_t nId = m_nNextId++;
    const std::string strName = Describe(cred, nId);
    std::string strRefusal;
    if (m_clients.size() >= m_limits.nClients) {
        strRefusal = "the service serves " + std::to_string(m_limits.nClients) +
                     " clients already, the most it serves at once";
    } else if (const auto it = m_clientsOfUid.find(cred.uid);
               it != m_clientsOfUid.end() && it->second >= m_limits.nClientsPerUid) {
        strRefusal = "this user has " + std::to_string(m_limits.nClientsPerUid) +
                     " connections already, the most one user may have";
    }
    if (!strRefusal.empty()) {
        std::fprintf(stderr, "%s refused: %s\n", strName.c_str(), strRefusal.c_str());
        Refuse(std::move(hClient), strRefusal);
        return;
    }
    ++m_clientsOfUid[cred.uid];
    ClientAccess access = AccessOf(hClient.Get(), cred, m_captureGid, m_strCaptureGroup);
    auto pClient = std::make_unique<Client>(
        hClient.Release(), m_loop, m_meter, cred,
        CMeterSession::Options{
            strName, m_limits.nQueueBound,
            [this, nId](int) {
                const auto it = m_clients.find(nId);
                const uid_t nUid = it->second->cred.uid;
                m_clients.erase(it);
                if (--m_clientsOfUid[nUid] == 0) {
                    m_clientsOfUid.erase(nUid);
                }
            },
            &m_nQueuedInAll, m_limits.nQueuedInAllBound,
            [this, nId](const std::string& strPlan) { return SetPlan(nId, strPlan); }},
        [this, nUid = cred.uid](bool bClaim) { return Claim(nUid, bClaim); },
        [this](bool bNow) { return GetSharedSnapshot(bNow); }, std::move(access));
    Client& client = *pClient;
    client.meter.SetFlowOwners(m_pFlowOwners);
    m_clients.emplace(nId, std::move(pClient));
    client.session.Begin();
    m_loop.Post(
        [this, nId] {
            const auto it = m_clients.find(nId);
            if (it == m_clients.end()) {
                return;
            }
            it->second->session.ReadWaiting();
            if (!it->second->session.IsGreeted()) {
                it->second->session.End(CMeterSession::kDropped,
                                        "the client did not greet in time");
            }
        },
        m_limits.nHelloTimeoutMs);
}

std::string CDaemon::Claim(uid_t nUid, bool bClaim) {
    if (!bClaim) {
        --m_nOwnMeters;
        if (--m_ownMetersOfUid[nUid] == 0) {
            m_ownMetersOfUid.erase(nUid);
        }
        return "";
    }
    if (m_nOwnMeters >= m_limits.nOwnMeters) {
        return "the service runs " + std::to_string(m_limits.nOwnMeters) +
               " captures of clients' own settings already, the most it runs; the default "
               "settings share its own capture";
    }
    if (m_ownMetersOfUid[nUid] >= m_limits.nOwnMetersPerUid) {
        return "this user has " + std::to_string(m_limits.nOwnMetersPerUid) +
               " captures of its own settings already, the most one user may have; the default "
               "settings share the service's own capture";
    }
    ++m_ownMetersOfUid[nUid];
    ++m_nOwnMeters;
    return "";
}

std::string CDaemon::SetPlan(uint64_t nId, const std::string& strPlan) {
    const Client& client = *m_clients.at(nId);
    const ClientAccess& access = client.meter.GetAccess();
    if (!access.bPrivileged) {
        // Told to the client alone: a client that asks again and again fills no journal.
        return access.strGroup.empty() ? "only root may change this host's plan"
                                       : "only root and members of group " + access.strGroup +
                                             " may change this host's plan";
    }
    std::optional<Plan> plan;
    if (!strPlan.empty() && !(plan = ParsePlan(strPlan))) {
        return "this service does not read the plan it was sent";
    }
    std::string strRefusal = m_pRecording->SetPlan(plan);
    std::fprintf(stderr, "%s %s\n", Describe(client.cred, nId).c_str(),
                 !strRefusal.empty() ? ("could not change the plan: " + strRefusal).c_str()
                 : plan              ? "set the plan"
                                     : "removed the plan");
    return strRefusal;
}

MeterSnapshot CDaemon::GetSharedSnapshot(bool bNow) {
    const auto tNow = std::chrono::steady_clock::now();
    if (bNow || m_bSharedSnapshotStale || tNow - m_tSharedSnapshot > kSharedSnapshotAge) {
        m_sharedSnapshot = m_meter.GetSnapshot();
        m_tSharedSnapshot = tNow;
        m_bSharedSnapshotStale = false;
    }
    return m_sharedSnapshot;
}

void CDaemon::ShowCounters(int64_t, int64_t) {
    // The pacer shows a movement once: the push must not be served a snapshot from before it
    // (say, one a client's Start read a moment ago), or the clients would miss it until the
    // next movement.
    m_bSharedSnapshotStale = true;
    m_pRecording->OnCountsMoved(
        std::exchange(m_bFirstFlushDue, false) ? kFirstFlushMs : CUsageRecorder::kFlushPeriodMs);
    for (auto& [nId, client] : m_clients) {
        if (client->meter.IsShared()) {
            client->session.OnCountsMoved();
        }
    }
}

void CDaemon::ShowMessage(const std::string& strText, const char*) {
    m_loop.Post([this, strText] {
        std::fprintf(stderr, "orvekd: %s\n", strText.c_str());
        for (auto& [nId, client] : m_clients) {
            if (client->meter.IsShared()) {
                client->session.SendNotice(strText);
            }
        }
    });
}

void CDaemon::Post(std::function<void()> fn, int nDelayMs) {
    m_loop.Post(std::move(fn), nDelayMs);
}
