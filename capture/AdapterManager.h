#pragma once

#include "Adapter.h"
#include "AddressTable.h"
#include "ZarnFd.h"
#include "ZarnLock.h"
#include "ZarnThread.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

// One adapter of the manager's list as it was at one moment.
struct AdapterState {
    std::string strName;
    bool bOpen;
    bool bRunning;
    bool operator==(const AdapterState&) const = default;
};

// The process-wide registry: one adapter per device that is up and carries IP addresses, the
// host's address map, and the address-change monitor, which refreshes both on every change.
class CAdapterManager : public IAddressLookup, private IExecutable {
public:
    static CAdapterManager* GetInstance();

    CAdapterManager(const CAdapterManager&) = delete;
    CAdapterManager& operator=(const CAdapterManager&) = delete;
    virtual ~CAdapterManager();

    // Stores the listener, enumerates the devices (announcing each new or stopped adapter to it on
    // this thread) and starts the monitor. Throws CZarnException; adapters opened before a failure
    // keep capturing.
    void Start(IAdapterListener* pListener);
    // Stops the monitor, then deletes every adapter. Does nothing when nothing runs.
    void StopAll();
    // Whether an address is one of the host's own. Lock-free and allocation-free, for the capture
    // threads; answers from the last successful enumeration.
    bool IsLocalAddress(uint32_t nAddress) const override {
        return m_addressMap.ContainsIPv4(nAddress);
    }
    bool IsLocalAddress6(const uint8_t* pbAddress) const override {
        return m_addressMap.ContainsIPv6(pbAddress);
    }

    // The adapters in list order, read under the lock, so that the monitor cannot change the
    // list meanwhile. Any thread but a capture thread.
    std::vector<AdapterState> GetAdapterStates() const;
    bool IsMonitorRunning() const { return m_bMonitorRunning.load(std::memory_order_acquire); }

private:
    CAdapterManager() = default;
    friend struct std::default_delete<CAdapterManager>;

    // Enumerates the devices once: publishes every IPv4 and IPv6 address of the listing, announces
    // adapters, closes those whose device went away. Throws what enumeration or the listener
    // throws, except for a device that a fresh listing no longer shows capturable (removed or set
    // down).
    void Refresh();
    // Announces the device's adapter if it is new or not running. An adapter that the first
    // announcement failed to open is dropped again, so no nameless adapter stays in the list.
    void FindOrCreate(const char* szDeviceName);

    // Monitor thread: waits for changes and refreshes. Stop asks it to end (StopAll joins).
    void Run() override;
    void Stop() override;
    // Waits for rtnetlink news; true when the news may change devices or addresses.
    bool ReadAddressChanges();
    // Whether rtnetlink news is waiting to be read.
    bool HasPendingNews() const;

    std::vector<std::unique_ptr<CAdapter>> m_adapters; // guarded by m_lock
    CAddressMap m_addressMap;
    IAdapterListener* m_pListener = nullptr;
    CZarnThread m_thread;
    std::atomic<bool> m_bStopRequested{false};
    std::atomic<bool> m_bMonitorRunning{false};
    // The monitor waits on both, and the stop event wins.
    std::unique_ptr<CZarnEvent> m_pStopEvent;
    CZarnFd m_hNetlink; // rtnetlink socket reporting address and link changes
    mutable CZarnLock m_lock;
};
