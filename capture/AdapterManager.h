#pragma once

#include "Adapter.h"
#include "AddressMonitor.h"
#include "AddressTable.h"
#include "CaptureControl.h"
#include "FailureMemo.h"

#include <memory>
#include <mutex>
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
    // the capture threads; replaced tables are kept until capture stops.
    const CAddressTable& GetAddressTable() const override { return m_addressMap.GetCurrent(); }

    std::vector<DeviceState> GetDeviceStates() const override;
    void RefreshDeviceStates() override;
    void SetExcludedDevices(const std::set<std::string>& excluded) override;
    std::set<std::string> GetExcludedDevices() const override;
    // Any thread: whether the monitor follows changes.
    bool IsMonitorRunning() const;

private:
    // What a refresh found: the devices that failed, and whether another refresh is owed soon.
    struct RefreshResult {
        std::vector<DeviceFailure> failures;
        bool bRefreshOwed = false;
    };

    // Lists the devices once, m_mtxRefresh held: publishes every address of the listing, announces
    // adapters and opens them, closes those whose device went away or is no longer captured. A
    // device that fails to open is returned and not announced again until its link or addresses
    // change (a fresh Start forgets failures); one that a fresh listing no longer shows capturable
    // is no failure, but owes a refresh. Throws what listing throws.
    RefreshResult Refresh();
    // Why a listed device is not captured, or Capturing.
    static EDeviceState Judge(const pcap_if* pDevice, const CLinkTable& links,
                              const std::set<std::string>& excluded);
    // The adapter named so, or null; either lock held.
    CAdapter* FindAdapter(const std::string& strDeviceName) const;

    // Monitor thread.
    bool OnAddressChange() override;
    void OnMonitorFailure(const CZarnException& e, bool bEnded) override;

    // Serialises Start, StopAll and refreshes; held while devices are listed and opened. Never
    // taken while m_mtxState is held.
    std::mutex m_mtxRefresh;
    // Guards what the user's thread reads and sets; held only for copies, never across a wait.
    mutable std::mutex m_mtxState;

    IAdapterListener* m_pListener = nullptr; // m_mtxRefresh
    CFailureMemo m_failures;                 // m_mtxRefresh
    CAddressMap m_addressMap;                // written under m_mtxRefresh
    // Changed under both locks, read under either; deleted only by StopAll.
    std::vector<std::unique_ptr<CAdapter>> m_adapters;
    std::vector<DeviceState> m_deviceStates;     // m_mtxState
    std::set<std::string> m_excluded;            // m_mtxState
    std::unique_ptr<CAddressMonitor> m_pMonitor; // m_mtxState
};
