#include "CaptureCounting.h"

#include <algorithm>
#include <random>

namespace {

DeviceCounts ReadDevice(const std::string& strName, const std::string& strKind,
                        const CDeviceCounter& device) {
    const DeviceCounters& counters = device.GetCounters();
    const DeviceCounters& inner = device.GetInnerCounters();
    DeviceCounts counts;
    counts.strName = strName;
    counts.strKind = strKind;
    counts.nCounterId = device.GetCounterId();
    counts.nSentBytes = counters.nSentBytes.load();
    counts.nRecvBytes = counters.nRecvBytes.load();
    counts.nSentPackets = counters.nSentPackets.load();
    counts.nRecvPackets = counters.nRecvPackets.load();
    counts.nDrops = counters.nDrops.load();
    counts.nInnerSentBytes = inner.nSentBytes.load();
    counts.nInnerRecvBytes = inner.nRecvBytes.load();
    counts.nInnerSentPackets = inner.nSentPackets.load();
    counts.nInnerRecvPackets = inner.nRecvPackets.load();
    const DeviceCounters& otherIp = device.GetOtherIpCounters();
    counts.nOtherIpSentBytes = otherIp.nSentBytes.load();
    counts.nOtherIpRecvBytes = otherIp.nRecvBytes.load();
    counts.nOtherIpSentPackets = otherIp.nSentPackets.load();
    counts.nOtherIpRecvPackets = otherIp.nRecvPackets.load();
    return counts;
}

} // namespace

CCaptureCounting::CCaptureCounting(const IAddressLookup& lookup, CAppResolver& resolver,
                                   ICountsListener& listener)
    : m_lookup(lookup), m_resolver(resolver), m_listener(listener) {
    std::random_device random;
    m_nNextCounterId = uint64_t{random()} << 32 | random();
}

CDeviceCounter& CCaptureCounting::Open(const std::string& strDevice) {
    std::lock_guard<std::mutex> guard(m_mtxDevices);
    Entry& entry = m_devices[strDevice];
    if (!entry.pCounter) {
        m_nNextCounterId += m_nNextCounterId == 0 ? 1 : 0; // 0 is no device's
        entry.pCounter =
            std::make_unique<CDeviceCounter>(m_lookup, m_resolver, m_listener, m_nNextCounterId++);
    }
    // Not gone while it is being opened: a reading cannot forget it under the adapter.
    entry.tGoneSince.reset();
    return *entry.pCounter;
}

void CCaptureCounting::SetGoneExpiry(std::chrono::steady_clock::duration expiry) {
    std::lock_guard<std::mutex> guard(m_mtxDevices);
    m_goneExpiry = expiry;
}

ByteTotals CCaptureCounting::GetTotals() const {
    std::lock_guard<std::mutex> guard(m_mtxDevices);
    ByteTotals totals = m_forgotten;
    for (const auto& [strName, entry] : m_devices) {
        totals.nSentBytes += entry.pCounter->GetCounters().nSentBytes.load();
        totals.nRecvBytes += entry.pCounter->GetCounters().nRecvBytes.load();
    }
    return totals;
}

CountsReading CCaptureCounting::ReadCounts(const std::vector<ListedDevice>& listed) {
    CountsReading reading;
    const auto tNow = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(m_mtxDevices);
    reading.totals = m_forgotten;
    reading.otherIp = m_forgottenOtherIp;
    for (auto itDevice = m_devices.begin(); itDevice != m_devices.end();) {
        auto& [strName, entry] = *itDevice;
        const auto it = std::ranges::find(listed, strName, &ListedDevice::strName);
        if (it != listed.end()) {
            entry.tGoneSince.reset();
            entry.strKind = it->strKind;
        } else if (!entry.tGoneSince) {
            entry.tGoneSince = tNow; // gone since this reading at least
        } else if (tNow - *entry.tGoneSince >= m_goneExpiry) {
            const DeviceCounts& counts =
                reading.forgotten.emplace_back(ReadDevice(strName, entry.strKind, *entry.pCounter));
            m_forgotten.nSentBytes += counts.nSentBytes;
            m_forgotten.nRecvBytes += counts.nRecvBytes;
            m_forgottenOtherIp.nSentBytes += counts.nOtherIpSentBytes;
            m_forgottenOtherIp.nRecvBytes += counts.nOtherIpRecvBytes;
            reading.totals.nSentBytes += counts.nSentBytes;
            reading.totals.nRecvBytes += counts.nRecvBytes;
            reading.otherIp.nSentBytes += counts.nOtherIpSentBytes;
            reading.otherIp.nRecvBytes += counts.nOtherIpRecvBytes;
            // No adapter holds it: its tap goes back to the resolver with it.
            itDevice = m_devices.erase(itDevice);
            continue;
        }
        const DeviceCounts& counts =
            reading.devices.emplace_back(ReadDevice(strName, entry.strKind, *entry.pCounter));
        reading.totals.nSentBytes += counts.nSentBytes;
        reading.totals.nRecvBytes += counts.nRecvBytes;
        reading.otherIp.nSentBytes += counts.nOtherIpSentBytes;
        reading.otherIp.nRecvBytes += counts.nOtherIpRecvBytes;
        ++itDevice;
    }
    return reading;
}
