#include "TrafficSampler.h"

#include <algorithm>
#include <tuple>

namespace {

// The order rows are found in: by reason, then name, then owner.
bool KeyLess(const AppUsage& a, const AppUsage& b) {
    return std::tie(a.nReason, a.strName, a.nOwnerUid) <
           std::tie(b.nReason, b.strName, b.nOwnerUid);
}

// The order connections are found in: by protocol, ends and ports.
bool EndsLess(const ConnectionUsage& a, const ConnectionUsage& b) {
    return std::tie(a.nProtocol, a.strLocal, a.nLocalPort, a.strRemote, a.nRemotePort) <
           std::tie(b.nProtocol, b.strLocal, b.nLocalPort, b.strRemote, b.nRemotePort);
}

// When the snapshot was taken, on the steady clock.
std::chrono::steady_clock::time_point TakenAt(const MeterSnapshot& snapshot) {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(snapshot.nTakenNs)));
}

} // namespace

bool CSnapshotInterval::Repeats(const MeterSnapshot& snapshot,
                                std::chrono::steady_clock::time_point tRead) {
    if (!m_bHasBefore || snapshot.nTakenNs == 0 || snapshot.nTakenNs != m_nTakenBefore ||
        m_tLastRead - TakenAt(snapshot) > kSnapshotHeld) {
        return false;
    }
    m_tLastRead = tRead;
    return true;
}

double CSnapshotInterval::Next(const MeterSnapshot& snapshot,
                               std::chrono::steady_clock::time_point tRead) {
    auto tHeld = tRead;
    if (snapshot.nTakenNs != 0) {
        tHeld = std::max(TakenAt(snapshot), tRead - kSnapshotHeld);
    }
    double dSeconds = 0;
    if (m_bHasBefore) {
        dSeconds = std::chrono::duration<double>(tHeld - m_tHeldBefore).count();
        if (dSeconds <= 0) {
            dSeconds = std::chrono::duration<double>(tRead - m_tReadBefore).count();
        }
    }
    m_tHeldBefore = tHeld;
    m_tReadBefore = m_tLastRead = tRead;
    m_nTakenBefore = snapshot.nTakenNs;
    m_bHasBefore = true;
    return std::max(dSeconds, 0.0);
}

void CTrafficSampler::MarkCapture(const MeterSnapshot& snapshot) {
    m_dropBase.clear();
    for (const DeviceSnapshot& device : snapshot.devices) {
        m_dropBase[device.strName] = device.nDrops;
    }
}

void CTrafficSampler::SampleApps(std::vector<AppUsage>& apps, TrafficSample& sample,
                                 double dSeconds) const {
    sample.apps.clear();
    for (AppUsage& app : apps) {
        AppSample& row = sample.apps.emplace_back();
        row.app = std::move(app);
        if (dSeconds <= 0) {
            continue;
        }
        const auto itOrder = std::ranges::lower_bound(
            m_vecAppOrder, row.app, KeyLess,
            [this](uint32_t nIndex) -> const AppUsage& { return m_latest.apps[nIndex].app; });
        const AppUsage* pBefore = nullptr;
        if (itOrder != m_vecAppOrder.end() && !KeyLess(row.app, m_latest.apps[*itOrder].app)) {
            pBefore = &m_latest.apps[*itOrder].app;
        }
        const RowRates rates =
            RatesSince(row.app.nSentBytes, row.app.nRecvBytes, pBefore ? pBefore->nSentBytes : 0,
                       pBefore ? pBefore->nRecvBytes : 0, dSeconds);
        row.dSentRate = rates.dSent;
        row.dRecvRate = rates.dRecv;
    }
    std::ranges::sort(sample.apps, [](const AppSample& a, const AppSample& b) {
        if (a.app.IsAttributed() != b.app.IsAttributed()) {
            return a.app.IsAttributed();
        }
        const int64_t nA = a.app.nSentBytes + a.app.nRecvBytes;
        const int64_t nB = b.app.nSentBytes + b.app.nRecvBytes;
        if (!a.app.IsAttributed()) {
            return a.app.nReason < b.app.nReason;
        }
        return nA != nB ? nA > nB : a.app.strName < b.app.strName;
    });
}

void CTrafficSampler::SampleConnections(std::vector<ConnectionUsage>& connections,
                                        TrafficSample& sample, double dSeconds) const {
    sample.connections.clear();
    for (ConnectionUsage& connection : connections) {
        ConnectionSample& row = sample.connections.emplace_back();
        row.connection = std::move(connection);
        if (dSeconds <= 0) {
            continue;
        }
        const auto itOrder =
            std::ranges::lower_bound(m_vecConnectionOrder, row.connection, EndsLess,
                                     [this](uint32_t nIndex) -> const ConnectionUsage& {
                                         return m_latest.connections[nIndex].connection;
                                     });
        const ConnectionUsage* pBefore = nullptr;
        if (itOrder != m_vecConnectionOrder.end() &&
            !EndsLess(row.connection, m_latest.connections[*itOrder].connection)) {
            pBefore = &m_latest.connections[*itOrder].connection;
        }
        const RowRates rates = RatesSince(row.connection.nSentBytes, row.connection.nRecvBytes,
                                          pBefore ? pBefore->nSentBytes : 0,
                                          pBefore ? pBefore->nRecvBytes : 0, dSeconds);
        row.dSentRate = rates.dSent;
        row.dRecvRate = rates.dRecv;
    }
    std::ranges::sort(sample.connections, [](const ConnectionSample& a, const ConnectionSample& b) {
        const int64_t nA = a.connection.nSentBytes + a.connection.nRecvBytes;
        const int64_t nB = b.connection.nSentBytes + b.connection.nRecvBytes;
        return nA != nB ? nA > nB : EndsLess(a.connection, b.connection);
    });
}

void CTrafficSampler::IndexConnections() {
    m_vecConnectionOrder.resize(m_latest.connections.size());
    for (uint32_t n = 0; n < m_vecConnectionOrder.size(); ++n) {
        m_vecConnectionOrder[n] = n;
    }
    std::ranges::sort(m_vecConnectionOrder, [this](uint32_t a, uint32_t b) {
        return EndsLess(m_latest.connections[a].connection, m_latest.connections[b].connection);
    });
}

void CTrafficSampler::IndexApps() {
    m_vecAppOrder.resize(m_latest.apps.size());
    for (uint32_t n = 0; n < m_vecAppOrder.size(); ++n) {
        m_vecAppOrder[n] = n;
    }
    std::ranges::sort(m_vecAppOrder, [this](uint32_t a, uint32_t b) {
        return KeyLess(m_latest.apps[a].app, m_latest.apps[b].app);
    });
}

void CTrafficSampler::AddHistoryPoint(double dSent, double dRecv) {
    m_historySent[static_cast<size_t>(m_nHistoryNext)] = dSent;
    m_historyRecv[static_cast<size_t>(m_nHistoryNext)] = dRecv;
    m_nHistoryNext = (m_nHistoryNext + 1) % kHistoryPoints;
    m_nHistoryCount = std::min(m_nHistoryCount + 1, kHistoryPoints);
}

void CTrafficSampler::Sample(MeterSnapshot snapshot, std::chrono::steady_clock::time_point tNow) {
    if (m_interval.Repeats(snapshot, tNow)) {
        if (m_latest.dSentRate >= 0) {
            AddHistoryPoint(m_latest.dSentRate, m_latest.dRecvRate);
        }
        return;
    }
    const double dSeconds = m_interval.Next(snapshot, tNow);
    const bool bRated = dSeconds > 0;
    const int64_t nTotalSent = snapshot.nSentBytes, nTotalRecv = snapshot.nRecvBytes;

    // Made in the sample before last, whose lists keep their capacity.
    TrafficSample& sample = m_spare;
    sample.devices.clear();
    sample.nSentBytes = sample.nRecvBytes = sample.nSentPackets = sample.nRecvPackets = 0;
    sample.nDropsSinceCapture = 0;
    sample.dSentRate = sample.dRecvRate = -1;
    sample.bMonitorUp = snapshot.bMonitorUp;
    for (DeviceSnapshot& device : snapshot.devices) {
        DeviceSample& row = sample.devices.emplace_back();
        row.device = std::move(device);
        const auto itBase = m_dropBase.find(row.device.strName);
        row.nDropsSinceCapture =
            row.device.nDrops - (itBase == m_dropBase.end() ? 0 : itBase->second);
        sample.nSentBytes += row.device.nSentBytes;
        sample.nRecvBytes += row.device.nRecvBytes;
        sample.nSentPackets += row.device.nSentPackets;
        sample.nRecvPackets += row.device.nRecvPackets;
        sample.nDropsSinceCapture += row.nDropsSinceCapture;
        if (!bRated) {
            continue;
        }
        // A few dozen devices: searching the previous sample costs less than indexing it.
        const auto itBefore = std::ranges::find(
            m_latest.devices, row.device.strName,
            [](const DeviceSample& s) -> const std::string& { return s.device.strName; });
        const bool bBefore = itBefore != m_latest.devices.end();
        const RowRates rates = RatesSince(ShownSentBytes(row.device), ShownRecvBytes(row.device),
                                          bBefore ? ShownSentBytes(itBefore->device) : 0,
                                          bBefore ? ShownRecvBytes(itBefore->device) : 0, dSeconds);
        row.dSentRate = rates.dSent;
        row.dRecvRate = rates.dRecv;
    }
    // The meter's totals also hold what devices it has forgotten counted: the sum over the listed
    // devices would drop when one is forgotten, and the total rate with it. A snapshot made
    // without totals has its devices' sum.
    sample.nSentBytes = std::max(sample.nSentBytes, nTotalSent);
    sample.nRecvBytes = std::max(sample.nRecvBytes, nTotalRecv);
    if (bRated) {
        const RowRates rates = RatesSince(sample.nSentBytes, sample.nRecvBytes, m_latest.nSentBytes,
                                          m_latest.nRecvBytes, dSeconds);
        sample.dSentRate = rates.dSent;
        sample.dRecvRate = rates.dRecv;
        AddHistoryPoint(sample.dSentRate, sample.dRecvRate);
    }
    SampleApps(snapshot.apps, sample, bRated ? dSeconds : 0);
    SampleConnections(snapshot.connections, sample, bRated ? dSeconds : 0);
    sample.nOtherConnections = snapshot.nOtherConnections;
    std::ranges::sort(sample.devices, [](const DeviceSample& a, const DeviceSample& b) {
        const int64_t nA = ShownSentBytes(a.device) + ShownRecvBytes(a.device);
        const int64_t nB = ShownSentBytes(b.device) + ShownRecvBytes(b.device);
        return nA != nB ? nA > nB : a.device.strName < b.device.strName;
    });
    std::swap(m_latest, m_spare);
    IndexApps();
    IndexConnections();
}
