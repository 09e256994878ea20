#pragma once

#include "CountingBackend.h"
#include "DeviceCounter.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The libpcap capture's counting backend: one CDeviceCounter per device, made at its first
// opening and kept, so that totals survive Stop and reopening, until it has been gone (listed by
// no reading) for the expiry.
class CCaptureCounting final : public ICountingBackend {
public:
    // A device gone for this long is forgotten: dropped from readings, its counters folded into
    // the totals; if it comes back it counts from zero. Containers come and go with names never
    // used again, and each would otherwise stay in every scrape for the life of the process.
    static constexpr std::chrono::seconds kGoneExpiry{3600};

    // The lookup, the resolver and the listener are the devices' (see CDeviceCounter).
    CCaptureCounting(const IAddressLookup& lookup, CAppResolver& resolver,
                     ICountsListener& listener);
    CCaptureCounting(const CCaptureCounting&) = delete;
    CCaptureCounting& operator=(const CCaptureCounting&) = delete;

    // Any thread but a capture thread, as a device is opened: its counter, made on first use and
    // not gone from now on; valid until it has been gone for the expiry.
    CDeviceCounter& Open(const std::string& strDevice);
    // How long a gone device is kept (kGoneExpiry); any thread.
    void SetGoneExpiry(std::chrono::steady_clock::duration expiry);

    // Any thread but a capture thread; totals summed under the devices' lock.
    ByteTotals GetTotals() const override;
    // Any thread but a capture thread; a device listed is not gone, one unlisted is gone since
    // this reading at least.
    CountsReading ReadCounts(const std::vector<ListedDevice>& listed) override;

private:
    struct Entry {
        std::unique_ptr<CDeviceCounter> pCounter;
        // The kind the device was last listed with, kept for when it is gone.
        std::string strKind;
        // Since when the device is gone (listed by no reading). Unset while it is listed, and
        // by every opening.
        std::optional<std::chrono::steady_clock::time_point> tGoneSince;
    };

    const IAddressLookup& m_lookup;
    CAppResolver& m_resolver;
    ICountsListener& m_listener;

    // Entries are removed only once gone for the expiry: no adapter holds them then, since the
    // capture control closes a device's adapter as soon as a listing no longer shows it captured,
    // and an opening (Open) makes its device not gone under the same lock.
    mutable std::mutex m_mtxDevices;
    std::map<std::string, Entry> m_devices; // guarded by m_mtxDevices
    // Counts of forgotten devices, so that totals never go down; guarded by m_mtxDevices.
    ByteTotals m_forgotten;
    ByteTotals m_forgottenOtherIp; // as m_forgotten, for DeviceCounts::nOtherIpSentBytes
    std::chrono::steady_clock::duration m_goneExpiry = kGoneExpiry; // guarded by m_mtxDevices
    // The next device's counter id; guarded by m_mtxDevices. Starts at random, so that no other
    // meter (a capture helper before this one) gave the same id to a device.
    uint64_t m_nNextCounterId;
};
