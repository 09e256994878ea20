#pragma once

#include "Adapter.h"
#include "AddressTable.h"
#include "ZarnFd.h"
#include "ZarnLock.h"
#include "ZarnThread.h"

#include <atomic>
#include <memory>
#include <vector>

// The process-wide registry: one adapter per device that is up and carries IP addresses, the
// host's address map, and the address-change monitor, which refreshes both on every change.
class CAdapterManager : public IExecutable {
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
    // Whether a source address is one of the host's own. Lock-free and allocation-free, for the
    // capture threads; answers from the last successful enumeration.
    bool IsLocalAddress(uint32_t nAddress) const { return m_addressMap.ContainsIPv4(nAddress); }
    bool IsLocalAddress6(const uint8_t* pbAddress) const {
        return m_addressMap.ContainsIPv6(pbAddress);
    }

    // Enumerates the devices once: publishes every IPv4 and IPv6 address of the listing, announces
    // adapters, closes those whose device went away. Throws what enumeration or the listener throws,
    // except for a device that a fresh listing no longer shows capturable (removed or set down).
    void Refresh();
    CAdapter* FindOrCreate(const char* szDeviceName);

    // The monitor loop and its stop.
    void Run() override;
    void Stop() override;

    size_t GetAdapterCount() const { return m_adapters.size(); }
    CAdapter* GetAdapterAt(size_t nIndex) const { return m_adapters[nIndex].get(); }
    bool IsMonitorRunning() const { return m_bRunning.load(std::memory_order_acquire); }
    // How many refreshes the monitor has made since construction.
    unsigned GetMonitorRefreshCount() const { return m_nRefreshes.load(); }

private:
    CAdapterManager() = default;
    friend struct std::default_delete<CAdapterManager>;

    // Waits for rtnetlink news; true when the news may change devices or addresses.
    bool ReadAddressChanges();
    // Whether rtnetlink news is waiting to be read.
    bool HasPendingNews() const;

    std::vector<std::unique_ptr<CAdapter>> m_adapters;
    CAddressMap m_addressMap;
    IAdapterListener* m_pListener = nullptr;
    CZarnThread m_thread;
    std::atomic<bool> m_bRunning{false};
    // The monitor waits on both, and the stop event wins.
    std::unique_ptr<CZarnEvent> m_pStopEvent;
    CZarnFd m_hNetlink; // rtnetlink socket reporting address and link changes
    CZarnLock m_lock;
    std::atomic<unsigned> m_nRefreshes{0};
};
