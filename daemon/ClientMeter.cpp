#include "ClientMeter.h"

#include "ZarnException.h"

#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <tuple>
#include <utility>

ClientAccess AccessOf(int hSocket, const ucred& cred, std::optional<gid_t> captureGid,
                      const std::string& strGroup) {
    ClientAccess access{cred.uid, cred.uid == 0, strGroup};
    if (access.bPrivileged || !captureGid) {
        return access;
    }
    std::vector<gid_t> groups(64);
    for (;;) {
        auto nLength = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(hSocket, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &nLength) == 0) {
            groups.resize(nLength / sizeof(gid_t));
            break;
        }
        if (errno == ERANGE && groups.size() < 65536) {
            groups.resize(std::max<size_t>(nLength / sizeof(gid_t), groups.size() * 2));
            continue;
        }
        // No peer groups from the kernel: the user's groups as the group database lists them.
        groups.resize(256);
        int nCount = static_cast<int>(groups.size());
        passwd* pEntry = nullptr;
        passwd entry{};
        char szBuffer[1024];
        if (getpwuid_r(cred.uid, &entry, szBuffer, sizeof szBuffer, &pEntry) != 0 ||
            pEntry == nullptr ||
            getgrouplist(pEntry->pw_name, cred.gid, groups.data(), &nCount) < 0) {
            nCount = 0;
        }
        groups.resize(static_cast<size_t>(nCount));
        break;
    }
    groups.push_back(cred.gid);
    access.bPrivileged = std::ranges::find(groups, *captureGid) != groups.end();
    return access;
}

std::string UserRowName(uint32_t nUid) {
    passwd entry{};
    passwd* pEntry = nullptr;
    char szBuffer[1024];
    if (getpwuid_r(nUid, &entry, szBuffer, sizeof szBuffer, &pEntry) == 0 && pEntry != nullptr) {
        return std::string("user ") + pEntry->pw_name;
    }
    return "uid " + std::to_string(nUid);
}

std::vector<AppUsage> ShowAppsTo(const std::vector<AppUsage>& rows, uint32_t nViewerUid,
                                 std::map<uint32_t, std::string>* pNames) {
    std::vector<AppUsage> shown;
    std::map<uint32_t, std::string> lookedUp;
    std::map<uint32_t, std::string>& names = pNames != nullptr ? *pNames : lookedUp;
    for (const AppUsage& row : rows) {
        if (!row.IsAttributed() || row.nOwnerUid == AppUsage::kNoOwner ||
            row.nOwnerUid == nViewerUid) {
            MergeAppRows(shown, {row}, true);
            continue;
        }
        auto [it, bNew] = names.try_emplace(row.nOwnerUid);
        if (bNew) {
            it->second = UserRowName(row.nOwnerUid);
        }
        MergeAppRows(shown,
                     {AppUsage{it->second, 0, row.nSentBytes, row.nRecvBytes, row.nConnections,
                               static_cast<uint32_t>(EAppKind::User), row.nOwnerUid}},
                     true);
    }
    return shown;
}

void ShowConnectionsTo(std::vector<ConnectionUsage>& connections, int64_t& nOthers,
                       uint32_t nViewerUid) {
    nOthers += std::erase_if(connections, [nViewerUid](const ConnectionUsage& connection) {
        return connection.nOwnerUid != nViewerUid;
    });
}

MeterSnapshot SubtractSnapshot(const MeterSnapshot& now, const MeterSnapshot& base) {
    MeterSnapshot result = now;
    result.nSentBytes -= base.nSentBytes;
    result.nRecvBytes -= base.nRecvBytes;
    std::map<std::pair<std::string, uint64_t>, const DeviceSnapshot*> baseDevices;
    for (const DeviceSnapshot& device : base.devices) {
        baseDevices[{device.strName, device.nCounterId}] = &device;
    }
    for (DeviceSnapshot& device : result.devices) {
        const auto it = baseDevices.find({device.strName, device.nCounterId});
        if (it == baseDevices.end() || device.nCounterId == 0) {
            continue;
        }
        const DeviceSnapshot& was = *it->second;
        device.nSentBytes -= was.nSentBytes;
        device.nRecvBytes -= was.nRecvBytes;
        device.nSentPackets -= was.nSentPackets;
        device.nRecvPackets -= was.nRecvPackets;
        device.nDrops -= was.nDrops;
        device.nInnerSentBytes -= was.nInnerSentBytes;
        device.nInnerRecvBytes -= was.nInnerRecvBytes;
        device.nInnerSentPackets -= was.nInnerSentPackets;
        device.nInnerRecvPackets -= was.nInnerRecvPackets;
        device.nOuterSentBytes -= was.nOuterSentBytes;
        device.nOuterRecvBytes -= was.nOuterRecvBytes;
    }
    std::map<std::tuple<std::string, uint32_t, uint32_t>, const AppUsage*> baseApps;
    for (const AppUsage& app : base.apps) {
        baseApps[{app.strName, app.nReason, app.nOwnerUid}] = &app;
    }
    std::vector<AppUsage> apps;
    for (AppUsage app : now.apps) {
        if (const auto it = baseApps.find({app.strName, app.nReason, app.nOwnerUid});
            it != baseApps.end()) {
            // What waits for attribution shrinks as it is attributed: never below nothing.
            app.nSentBytes = std::max<int64_t>(app.nSentBytes - it->second->nSentBytes, 0);
            app.nRecvBytes = std::max<int64_t>(app.nRecvBytes - it->second->nRecvBytes, 0);
        }
        if (app.nSentBytes != 0 || app.nRecvBytes != 0 || app.nConnections != 0) {
            apps.push_back(std::move(app));
        }
    }
    BalanceAppRows(apps, result.nSentBytes, result.nRecvBytes);
    result.apps = std::move(apps);
    return result;
}

bool AreServiceSettings(const std::string& strFilter, bool bPromiscuous,
                        const std::set<std::string>& excluded,
                        const std::map<std::string, std::string>& tunnels,
                        const std::set<std::string>& notTunnels) {
    return strFilter == COrvekMeter::kDefaultFilter && !bPromiscuous && excluded.empty() &&
           tunnels.empty() && notTunnels.empty();
}

CClientMeter::CClientMeter(IMeter& shared, IMeterView& ownView, ClaimFn fnClaim,
                           SnapshotFn fnShared, ClientAccess access)
    : m_shared(shared), m_ownView(ownView), m_fnClaim(std::move(fnClaim)),
      m_fnShared(fnShared ? std::move(fnShared) : [&shared](bool) { return shared.GetSnapshot(); }),
      m_access(std::move(access)) {}

CClientMeter::~CClientMeter() {
    EndOwn();
}

void CClientMeter::EndOwn() {
    if (m_pOwnMeter) {
        m_pOwnMeter.reset(); // stops its capture first
        m_pOwnManager.reset();
        m_fnClaim(false);
    }
}

void CClientMeter::SetCaptureSettings(const std::string& strFilter, bool bPromiscuous) {
    m_strFilter = strFilter;
    m_bPromiscuous = bPromiscuous;
    if (m_pOwnMeter) {
        m_pOwnMeter->SetCaptureSettings(strFilter, bPromiscuous);
    }
}

void CClientMeter::SetExcludedDevices(const std::set<std::string>& excluded) {
    m_excluded = excluded;
    if (m_pOwnMeter) {
        m_pOwnMeter->SetExcludedDevices(excluded);
    }
}

void CClientMeter::SetTunnels(const std::map<std::string, std::string>& tunnels) {
    m_tunnels = tunnels;
    if (m_pOwnMeter) {
        m_pOwnMeter->SetTunnels(tunnels);
    }
}

void CClientMeter::SetNotTunnels(const std::set<std::string>& devices) {
    m_notTunnels = devices;
    if (m_pOwnMeter) {
        m_pOwnMeter->SetNotTunnels(devices);
    }
}

std::vector<DeviceState> CClientMeter::GetDeviceStates() const {
    return m_pOwnMeter ? m_pOwnMeter->GetDeviceStates() : m_shared.GetDeviceStates();
}

void CClientMeter::RefreshDeviceStates() {
    // The shared meter captures all along: its states are current.
    if (m_pOwnMeter) {
        m_pOwnMeter->RefreshDeviceStates();
    }
}

std::string CClientMeter::StartCapture() {
    if (AreServiceSettings(m_strFilter, m_bPromiscuous, m_excluded, m_tunnels, m_notTunnels)) {
        EndOwn();
        // Read now: a base older than the Start would count what crossed before it, and the
        // snapshots that follow are never older than this one.
        const MeterSnapshot now = m_fnShared(true);
        if (m_eMode != EMode::Shared || !m_bHaveBase) {
            m_base = now;
        } else if (m_bStopped) {
            m_base = SubtractSnapshot(now, m_held); // counts on from what was held
        }
        m_bHaveBase = true;
        m_bStopped = false;
        m_eMode = EMode::Shared;
        return "";
    }
    if (!m_pOwnMeter) {
        if (const std::string strRefusal = m_fnClaim(true); !strRefusal.empty()) {
            throw CZarnException(0, strRefusal.c_str());
        }
        m_pOwnManager = std::make_unique<CAdapterManager>();
        m_pOwnMeter = std::make_unique<COrvekMeter>(m_ownView, *m_pOwnManager, *m_pOwnManager);
        m_pOwnMeter->SetFlowOwners(m_pFlowOwners);
        m_pOwnMeter->SetCaptureSettings(m_strFilter, m_bPromiscuous);
        m_pOwnMeter->SetTunnels(m_tunnels);
        m_pOwnMeter->SetNotTunnels(m_notTunnels);
        m_pOwnMeter->SetExcludedDevices(m_excluded);
    }
    m_eMode = EMode::Own;
    m_bHaveBase = false;
    return m_pOwnMeter->StartCapture();
}

void CClientMeter::StopCapture() {
    if (m_pOwnMeter) {
        m_pOwnMeter->StopCapture();
    } else if (m_eMode == EMode::Shared && !m_bStopped) {
        m_held = GetWholeSnapshot();
        m_bStopped = true;
    }
}

MeterSnapshot CClientMeter::GetSnapshot() const {
    MeterSnapshot snapshot = GetWholeSnapshot();
    if (!m_access.bPrivileged) {
        snapshot.apps = ShowAppsTo(snapshot.apps, m_access.nUid, &m_userNames);
        ShowConnectionsTo(snapshot.connections, snapshot.nOtherConnections, m_access.nUid);
    }
    // Whoever sees other users' rows, their processes are theirs alone.
    HideOthersProcesses(snapshot.apps, m_access.nUid);
    return snapshot;
}

MeterSnapshot CClientMeter::GetWholeSnapshot() const {
    if (m_pOwnMeter) {
        return m_pOwnMeter->GetSnapshot();
    }
    if (m_eMode == EMode::Shared && m_bStopped) {
        return m_held;
    }
    const MeterSnapshot now = m_fnShared(false);
    // Before its first Start a client counts nothing yet, but sees the devices.
    return SubtractSnapshot(now, m_bHaveBase ? m_base : now);
}

std::string CClientMeter::DescribeFailure(const CZarnException& e) const {
    return m_pOwnMeter ? m_pOwnMeter->DescribeFailure(e) : m_shared.DescribeFailure(e);
}
