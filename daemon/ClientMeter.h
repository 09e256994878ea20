#pragma once

#include "AdapterManager.h"
#include "Meter.h"
#include "MeterView.h"
#include "OrvekMeter.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <sys/socket.h>
#include <vector>

// Who a client of the service is, as its socket tells (SO_PEERCRED), and what it may therefore
// see and change.
struct ClientAccess {
    uint32_t nUid = 0;
    // Root or a member of the capture group: sees every user's applications by name and may
    // change the host's plan. Others see other users' applications as one row per user.
    bool bPrivileged = false;
    // The capture group's name, for a refusal's text ("" when the service names none).
    std::string strGroup;
};

// Loop thread, as a client is accepted on hSocket: its access. Group membership is the peer's
// primary and supplementary groups at its connect (SO_PEERGROUPS; the uid's groups from the group
// database where the kernel cannot tell). captureGid: the capture group (nullopt: none).
ClientAccess AccessOf(int hSocket, const ucred& cred, std::optional<gid_t> captureGid,
                      const std::string& strGroup);

// A user as a row names it: "user NAME", or "uid N" for a uid the user database does not know.
std::string UserRowName(uint32_t nUid);

// Pure but for the user database: the application rows as nViewerUid sees them when it does not
// see everything: its own applications and rows of no owner (reasons, "other") as they are, each
// other user's applications as one row named by UserRowName, owned by that user. Bytes and
// connections are kept, so that the rows still add up to the totals. names: the users' names
// looked up so far, by uid, kept and added to (null: looked up anew).
std::vector<AppUsage> ShowAppsTo(const std::vector<AppUsage>& rows, uint32_t nViewerUid,
                                 std::map<uint32_t, std::string>* pNames = nullptr);

// Pure: the connections nViewerUid sees when it does not see everything: its own only. Another
// user's, and those of no known user (forwarded, not attributed), name addresses that are not
// the viewer's to see; they are counted in nOthers.
void ShowConnectionsTo(std::vector<ConnectionUsage>& connections, int64_t& nOthers,
                       uint32_t nViewerUid);

// Pure: what now counted since base, both snapshots of one meter: the totals, each device of
// the same counters (a device with other counters than in base counts from zero) and each
// application row, less base's; the application rows then add up to the totals again.
MeterSnapshot SubtractSnapshot(const MeterSnapshot& now, const MeterSnapshot& base);

// Whether a client's capture settings are the system service's own: the default filter, not
// promiscuous, no device excluded and no tunnel (or no-tunnel) named.
bool AreServiceSettings(const std::string& strFilter, bool bPromiscuous,
                        const std::set<std::string>& excluded,
                        const std::map<std::string, std::string>& tunnels,
                        const std::set<std::string>& notTunnels);

// The meter one client of the system service speaks to. A Start with the service's own settings
// shares the service's always-on meter: the client's counts are that meter's since its Start
// (a Stop holds them, a later Start counts on from them). A Start with other settings gets a
// meter of the client's own, with capture of its own, when the service allows one more; it ends
// with this object. Loop thread only (the service's one thread), as the session calls it.
class CClientMeter final : public IMeter {
public:
    // Loop thread: claims a meter of the client's own (bClaim; "" when granted, else why not) or
    // gives it back (!bClaim, the answer unused). Must not call this object.
    using ClaimFn = std::function<std::string(bool bClaim)>;

    // Loop thread: the shared meter's snapshot; read now when bNow, else as recent as the
    // caller likes, but never older than one it gave before (a Start's base).
    using SnapshotFn = std::function<MeterSnapshot(bool bNow)>;

    // shared (the always-on meter) must outlive this; ownView is the view of a meter of the
    // client's own (its session), which outlives it too. fnShared gives the shared meter's
    // snapshots (by default its own GetSnapshot).
    // access: who the client is; its snapshots show applications as ShowAppsTo says unless it is
    // privileged.
    CClientMeter(IMeter& shared, IMeterView& ownView, ClaimFn fnClaim, SnapshotFn fnShared = {},
                 ClientAccess access = {0, true, {}});
    CClientMeter(const CClientMeter&) = delete;
    CClientMeter& operator=(const CClientMeter&) = delete;
    ~CClientMeter();

    // Before the first Start: where a meter of the client's own looks new flows' owners up first
    // (the service's in-kernel flow owners, shared with every meter, which outlive this).
    void SetFlowOwners(IFlowOwners* pOwners) { m_pFlowOwners = pOwners; }
    // Whether the client's counts are the shared meter's (after a Start with its settings).
    bool IsShared() const { return m_eMode == EMode::Shared; }
    const ClientAccess& GetAccess() const { return m_access; }

    void SetCaptureSettings(const std::string& strFilter, bool bPromiscuous) override;
    std::string GetFilter() const override { return m_strFilter; }
    bool IsPromiscuous() const override { return m_bPromiscuous; }
    void SetExcludedDevices(const std::set<std::string>& excluded) override;
    std::set<std::string> GetExcludedDevices() const override { return m_excluded; }
    void SetTunnels(const std::map<std::string, std::string>& tunnels) override;
    void SetNotTunnels(const std::set<std::string>& devices) override;
    std::vector<DeviceState> GetDeviceStates() const override;
    void RefreshDeviceStates() override;
    std::string StartCapture() override;
    void StopCapture() override;
    MeterSnapshot GetSnapshot() const override;
    int64_t GetRecvBytes() const override { return GetSnapshot().nRecvBytes; }
    int64_t GetSentBytes() const override { return GetSnapshot().nSentBytes; }
    void UpdateCounters() override {}
    void OnException(const CZarnException&) override {}
    void OnCurrentException() override {}
    std::string DescribeFailure(const CZarnException& e) const override;

private:
    enum class EMode { Idle, Shared, Own };
    // Ends the client's own meter, if it has one, and gives its claim back.
    void EndOwn();
    // The client's counts with every application by name, as the bases are kept.
    MeterSnapshot GetWholeSnapshot() const;

    IMeter& m_shared;
    IMeterView& m_ownView;
    ClaimFn m_fnClaim;
    SnapshotFn m_fnShared;
    ClientAccess m_access;
    IFlowOwners* m_pFlowOwners = nullptr;
    // Other users' row names, looked up once for this client's snapshots.
    mutable std::map<uint32_t, std::string> m_userNames;
    EMode m_eMode = EMode::Idle;
    std::string m_strFilter{COrvekMeter::kDefaultFilter};
    bool m_bPromiscuous = false;
    std::set<std::string> m_excluded;
    std::map<std::string, std::string> m_tunnels;
    std::set<std::string> m_notTunnels;
    // Shared counts: the shared meter's counts at the client's Start, and while stopped, the
    // client's counts at its Stop.
    MeterSnapshot m_base;
    bool m_bHaveBase = false;
    bool m_bStopped = false;
    MeterSnapshot m_held;
    // A meter of the client's own; the manager outlives the meter.
    std::unique_ptr<CAdapterManager> m_pOwnManager;
    std::unique_ptr<COrvekMeter> m_pOwnMeter;
};
