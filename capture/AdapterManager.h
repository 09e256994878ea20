#pragma once

#include "Adapter.h"
#include "AddressMonitor.h"
#include "AddressTable.h"
#include "CaptureControl.h"
#include "DeviceList.h"
#include "FailureMemo.h"
#include "LinkTable.h"
#include "UserTunnels.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class CLinkTable;
struct pcap_if;

// The registry of capture: one adapter per device that carries this host's traffic (up, with an IP
// address, not loopback, not a port of an aggregate), the host's addresses, and an address monitor
// that refreshes both on every change. Its own user makes one and hands it down.
class CAdapterManager final : public IAddressLookup,
                              public ICaptureControl,
                              private CAddressMonitor::IClient {
public:
    CAdapterManager() = default;
    CAdapterManager(const CAdapterManager&) = delete;
    CAdapterManager& operator=(const CAdapterManager&) = delete;
    // Stops capture.
    ~CAdapterManager();

    // Lists the devices (announcing each new or stopped adapter to the listener, on threads of
    // their own, while this thread waits) and starts the monitor.
    std::vector<DeviceFailure> Start(IAdapterListener* pListener) override;
    // Stops the monitor, then closes and deletes every adapter.
    void StopAll() override;
    // The host's addresses from the last successful listing. Lock-free and allocation-free, for
    // the capture threads inside a batch of their adapter; a replaced table is freed once every
    // batch that may read it has ended.
    const CAddressTable& GetAddressTable() const override { return m_addressMap.GetCurrent(); }
    // Any thread: the same table, kept while the caller holds it.
    std::shared_ptr<const CAddressTable> ShareAddressTable() const { return m_addressMap.Share(); }
    // Any thread: replaced address tables still kept for capture threads.
    size_t CountKeptAddressTables() const { return m_addressMap.GetKeptCount(); }

    std::vector<DeviceState> GetDeviceStates() const override;
    void RefreshDeviceStates() override;
    void SetExcludedDevices(const std::set<std::string>& excluded) override;
    std::set<std::string> GetExcludedDevices() const override;
    void SetChosenTunnels(const std::map<std::string, std::string>& tunnels) override;
    void SetNotTunnels(const std::set<std::string>& devices) override;
    // Devices captured with rings of the default size; those opened beyond them get small rings
    // (see CaptureRequest::bSmallRing), so that a host with hundreds of container devices does not
    // hold hundreds of large rings. Devices other than virtual ones (veth, macvlan...) come
    // first.
    static constexpr size_t kLargeRings = 32;
    void SetLargeRingLimit(size_t nLargeRings);
    // Any thread: whether the monitor runs (it may be restarting).
    bool IsMonitorRunning() const;
    bool IsMonitorUp() const override;
    // Test hook: the monitor's news socket closes, as if it had failed.
    void CloseMonitorNewsForTest();

private:
    // What a refresh found: the devices that failed, and when another refresh is owed without
    // news: soon (a device changed while it was being opened), or when a tun device not found to
    // be a tunnel is due to be looked at again; -1: not.
    struct RefreshResult {
        std::vector<DeviceFailure> failures;
        int nRefreshOwedMs = -1;
        bool bStackedOnFailed = false; // a device with others stacked on it failed to open
    };

    // Lists the devices, m_mtxRefresh held: publishes every address of the listing, announces
    // adapters and opens them, closes those whose device went away or is no longer captured. A
    // device that fails to open is returned and not announced again until its link or addresses
    // change (a fresh Start forgets failures); one that a fresh listing no longer shows capturable
    // is no failure, but owes a refresh. Throws what listing throws. When a device fails that
    // others are stacked on, lists once more, so that they are opened on their own.
    RefreshResult Refresh();
    RefreshResult RefreshOnce();
    // Why each device of a listing (one entry per device, in its order; no name for what is no
    // network device) is not captured, or Capturing; a device stacked on a captured one is
    // Stacked with that device's name, a kernel tunnel Carried with its carrier's, and so is one
    // of the user's tunnels (chosen, device to carrier: the user's word counts first) and a tun or
    // tap device found to be a user-space tunnel (userTunnels) unless the user said it is none
    // (notTunnels). A device without an address of its own is captured when a device stacked on
    // it would be: its capture shows their frames. A device that failed unchanged (failed, with
    // its error) is Failed, and what is stacked on it is captured on its own; what is stacked on a
    // tunnel is carried with it.
    struct UserChoices {
        std::set<std::string> excluded, notTunnels;
        std::map<std::string, std::string> chosen;
    };
    // Each state comes with how its outer packets are told (for a tunnel), which only capture
    // needs, and which DeviceState therefore does not carry.
    struct Judgement {
        std::vector<DeviceState> states;
        std::vector<OuterFlow> outers; // one per state
    };
    static Judgement Judge(const CDeviceList& devices, const CLinkTable& links,
                           const UserChoices& choices,
                           const std::map<std::string, TunVerdict>& userTunnels,
                           const std::map<std::string, std::string>& failed);
    // What the user said of the devices, as it stands; takes m_mtxState.
    UserChoices CopyUserChoices() const;
    // The adapter named so, or null; either lock held.
    CAdapter* FindAdapter(const std::string& strDeviceName) const;

    // Monitor thread.
    int OnAddressChange() override;
    void OnMonitorFailure(const CZarnException& e, bool bRestarting) override;

    // Serialises Start, StopAll and refreshes; held while devices are listed and opened. Never
    // taken while m_mtxState is held.
    std::mutex m_mtxRefresh;
    // Guards what the user's thread reads and sets; held only for copies, never across a wait.
    mutable std::mutex m_mtxState;

    IAdapterListener* m_pListener = nullptr; // m_mtxRefresh
    CFailureMemo m_failures;                 // m_mtxRefresh
    CAddressMap m_addressMap;                // written under m_mtxRefresh
    // By device name: changed under both locks, read under either; deleted only by StopAll (and
    // by the refresh that made them, when they never opened).
    std::map<std::string, std::unique_ptr<CAdapter>> m_adapters;
    size_t m_nLargeRings = kLargeRings;                 // m_mtxRefresh
    std::vector<DeviceState> m_deviceStates;            // m_mtxState
    std::set<std::string> m_excluded;                   // m_mtxState
    std::map<std::string, std::string> m_chosenTunnels; // m_mtxState
    std::set<std::string> m_notTunnels;                 // m_mtxState
    CUserTunnels m_userTunnels;                         // m_mtxRefresh
    // The role each running adapter was opened in, m_mtxRefresh: a tunnel's (Carried) with its
    // outer flow, or none. One that turns into a tunnel or back, or whose outer flow changed, is
    // opened afresh, with the listener's answer for its new role.
    std::map<std::string, std::optional<OuterFlow>> m_openedRole;
    // Devices no longer excluded since the last refresh: their failures are forgotten.
    std::set<std::string> m_readmitted;          // m_mtxState
    std::unique_ptr<CAddressMonitor> m_pMonitor; // m_mtxState
};
