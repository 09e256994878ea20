#include "EarlierCounts.h"

#include <algorithm>
#include <utility>

MeterSnapshot CEarlierCounts::Add(MeterSnapshot snapshot) {
    std::erase_if(m_earlier.devices, [&](const DeviceSnapshot& earlier) {
        const auto itNow =
            std::ranges::find(snapshot.devices, earlier.strName, &DeviceSnapshot::strName);
        const uint64_t nNowId = itNow == snapshot.devices.end() ? 0 : itNow->nCounterId;
        const auto itCarried = m_carriedOnto.find(earlier.strName);
        if (itCarried == m_carriedOnto.end()) {
            if (nNowId != 0) {
                m_carriedOnto.emplace(earlier.strName, nNowId);
            }
            return false;
        }
        if (itCarried->second == nNowId) {
            return false;
        }
        // Not the counters they were carried onto: the helper forgot the device.
        m_carriedOnto.erase(itCarried);
        return true;
    });
    snapshot.nSentBytes += m_earlier.nSentBytes;
    snapshot.nRecvBytes += m_earlier.nRecvBytes;
    MergeAppRows(snapshot.apps, m_earlier.apps, false);
    BalanceAppRows(snapshot.apps, snapshot.nSentBytes, snapshot.nRecvBytes);
    for (const DeviceSnapshot& earlier : m_earlier.devices) {
        auto it = std::ranges::find(snapshot.devices, earlier.strName, &DeviceSnapshot::strName);
        if (it == snapshot.devices.end()) {
            it = snapshot.devices.insert(snapshot.devices.end(), earlier);
            it->eState = EDeviceState::Gone;
            it->bCapturing = false;
            it->bCountable = false;
            continue;
        }
        it->nSentBytes += earlier.nSentBytes;
        it->nRecvBytes += earlier.nRecvBytes;
        it->nSentPackets += earlier.nSentPackets;
        it->nRecvPackets += earlier.nRecvPackets;
        it->nDrops += earlier.nDrops;
        if (earlier.nCounterId != 0) {
            it->nCounterId = earlier.nCounterId; // the counts go on from the earlier ones
        }
    }
    return snapshot;
}

void CEarlierCounts::End(MeterSnapshot last) {
    m_earlier = Add(std::move(last));
    m_carriedOnto.clear();
    m_earlier.bMonitorUp = true; // no monitor runs
    m_earlier.nTakenNs = 0;      // counts that move no more are as of whenever they are read
    for (AppUsage& app : m_earlier.apps) {
        app.nConnections = 0;
    }
    for (DeviceSnapshot& device : m_earlier.devices) {
        device.bCapturing = false;
        if (device.eState != EDeviceState::Gone) {
            device.eState = EDeviceState::Stopped;
        }
    }
}
