#pragma once

#include "Adapter.h"
#include "AddressTable.h"
#include "ZarnException.h"
#include "ZarnFd.h"
#include "ZarnLock.h"
#include "ZarnThread.h"

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class CLinkTable;
struct pcap_if;

// One adapter of the manager's list as it was at one moment.
struct AdapterState {
    std::string strName;
    bool bOpen;
    bool bRunning;
    bool operator==(const AdapterState&) const = default;
};

// Why a listed device is or is not captured.
enum class EDeviceState : uint8_t {
    Capturing,
    Down,      // not up
    NoAddress, // no IPv4 or IPv6 address
    Loopback,  // its traffic never leaves the host
    Port,      // a port of a bridge, bond or team: its traffic crosses the master, which counts
    Excluded,  // the user excluded it
    Failed,    // it could not be opened (strError says why), or its capture ended
    Stopped    // it was captured until StopAll
};

// One listed device as the last refresh saw it.
struct DeviceState {
    std::string strName;
    std::string strKind; // "Ethernet", "Wi-Fi", "tunnel", "bridge", "VLAN", "virtual", "loopback"
    EDeviceState eState;
    std::string strError; // libpcap's text for a failed device
};

// A device that could not be opened, with what opening it threw.
struct DeviceFailure {
    std::string strDevice;
    CZarnException error;
};

// One message for failed devices, each named: "tun0, tun1: <text>" when all failed alike (a filter
// that tunnels refuse is one problem), otherwise a line per device.
std::string DescribeDeviceFailures(const std::vector<DeviceFailure>& failures);

// The process-wide registry: one adapter per device that carries this host's traffic (up, with an
// IP address, not loopback, not a port of an aggregate), the host's address map, and the
// address-change monitor, which refreshes both on every change.
class CAdapterManager : public IAddressLookup, private IExecutable {
public:
    static CAdapterManager* GetInstance();

    CAdapterManager(const CAdapterManager&) = delete;
    CAdapterManager& operator=(const CAdapterManager&) = delete;
    virtual ~CAdapterManager();

    // Stores the listener, enumerates the devices (announcing each new or stopped adapter to it on
    // this thread) and starts the monitor. Devices that fail are skipped and returned; Start throws
    // CZarnException only when devices failed and none could be opened, or when enumerating or
    // starting the monitor failed. Adapters opened before a failure keep capturing.
    std::vector<DeviceFailure> Start(IAdapterListener* pListener);
    // Stops the monitor, then deletes every adapter. Does nothing when nothing runs.
    void StopAll();
    // The host's addresses from the last successful enumeration. Lock-free and allocation-free,
    // for the capture threads; replaced tables are kept until capture stops.
    const CAddressTable& GetAddressTable() const override { return m_addressMap.GetCurrent(); }

    // The adapters in list order, read under the lock, so that the monitor cannot change the
    // list meanwhile. Any thread but a capture thread.
    std::vector<AdapterState> GetAdapterStates() const;
    // Every network device of the last refresh, in libpcap's order (libpcap's pseudo-devices such
    // as "any" or "nflog" are left out). Any thread but a capture thread.
    std::vector<DeviceState> GetDeviceStates() const;
    // Devices never to open; applied at once while capturing (closed, or opened when no longer
    // excluded). Any thread but a capture thread.
    void SetExcludedDevices(const std::set<std::string>& excluded);
    std::set<std::string> GetExcludedDevices() const;
    bool IsMonitorRunning() const { return m_bMonitorRunning.load(std::memory_order_acquire); }

private:
    CAdapterManager() = default;
    friend struct std::default_delete<CAdapterManager>;

    // Enumerates the devices once: publishes every address of the listing, announces adapters,
    // closes those whose device went away or is no longer captured. A device that fails to open
    // is returned and not announced again until its link or addresses change (a fresh Start
    // forgets failures); one that a fresh listing no longer shows capturable is no failure.
    // Throws what enumeration throws.
    std::vector<DeviceFailure> Refresh();
    // Why a listed device is not captured, or Capturing.
    EDeviceState Judge(const pcap_if* pDevice, const CLinkTable& links) const;
    // The adapter named so, or null.
    CAdapter* FindAdapter(const char* szDeviceName) const;

    // Monitor thread: waits for changes and refreshes. Stop asks it to end (StopAll joins).
    void Run() override;
    void Stop() override;
    // Waits for rtnetlink news (or a refresh request) up to nTimeoutMs (-1: no limit); true when
    // the news may change devices or addresses, or the time ran out.
    bool ReadAddressChanges(int nTimeoutMs);
    // Whether rtnetlink news is waiting to be read.
    bool HasPendingNews() const;
    // Monitor thread: reports each failure once to the listener.
    void ReportFailures(const std::vector<DeviceFailure>& failures);

    // A device that failed, with what it looked like then: retried only once that changes.
    struct FailureRecord {
        std::string strSignature;
        std::string strError;
    };

    std::vector<std::unique_ptr<CAdapter>> m_adapters; // guarded by m_lock
    CAddressMap m_addressMap;
    IAdapterListener* m_pListener = nullptr;
    CZarnThread m_thread;
    std::atomic<bool> m_bStopRequested{false};
    std::atomic<bool> m_bMonitorRunning{false};
    // A device changed while it was being opened: the monitor refreshes soon even without news.
    std::atomic<bool> m_bRefreshOwed{false};
    // The monitor waits on these, and the stop event wins.
    std::unique_ptr<CZarnEvent> m_pStopEvent;
    CZarnFd m_hNetlink;     // rtnetlink socket reporting address and link changes
    CZarnFd m_hRefreshWake; // eventfd: a refresh was asked for (exclusions changed)
    mutable CZarnLock m_lock;
    std::map<std::string, FailureRecord> m_failures; // guarded by m_lock
    std::vector<DeviceState> m_deviceStates;         // guarded by m_lock
    std::set<std::string> m_excluded;                // guarded by m_lock
};
