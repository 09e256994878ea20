#include "TrafficSampler.h"

#include "Units.h"

#include <algorithm>

namespace {

// A device or application seen for the first time starts from zero.
double RateOf(int64_t nNow, int64_t nBefore, double dSeconds) {
    return BytesPerSecond(nNow, nBefore, dSeconds);
}

// The order rows are found in: by reason, then name.
bool KeyLess(const AppUsage& a, const AppUsage& b) {
    return a.nReason != b.nReason ? a.nReason < b.nReason : a.strName < b.strName;
}

} // namespace

void CTrafficSampler::MarkCapture(const MeterSnapshot& snapshot) {
    m_dropBase.clear();
    for (const DeviceSnapshot& device : snapshot.devices) {
        m_dropBase[device.strName] = device.nDrops;
    }
}

void CTrafficSampler::SampleApps(std::vector<AppUsage>& apps, TrafficSample& sample,
                                 double dSeconds) const {
    sample.apps.reserve(apps.size());
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
        row.dSentRate = RateOf(row.app.nSentBytes, pBefore ? pBefore->nSentBytes : 0, dSeconds);
        row.dRecvRate = RateOf(row.app.nRecvBytes, pBefore ? pBefore->nRecvBytes : 0, dSeconds);
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

void CTrafficSampler::IndexApps() {
    m_vecAppOrder.resize(m_latest.apps.size());
    for (uint32_t n = 0; n < m_vecAppOrder.size(); ++n) {
        m_vecAppOrder[n] = n;
    }
    std::ranges::sort(m_vecAppOrder, [this](uint32_t a, uint32_t b) {
        return KeyLess(m_latest.apps[a].app, m_latest.apps[b].app);
    });
}

void CTrafficSampler::Sample(MeterSnapshot snapshot, std::chrono::steady_clock::time_point tNow) {
    const double dSeconds = std::chrono::duration<double>(tNow - m_tLatest).count();
    const bool bRated = m_bHasLatest && dSeconds > 0;

    TrafficSample sample;
    sample.bMonitorUp = snapshot.bMonitorUp;
    sample.devices.reserve(snapshot.devices.size());
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
        const auto itBefore =
            std::ranges::find(m_latest.devices, row.device.strName,
                              [](const DeviceSample& s) { return s.device.strName; });
        const int64_t nSentBefore =
            itBefore == m_latest.devices.end() ? 0 : ShownSentBytes(itBefore->device);
        const int64_t nRecvBefore =
            itBefore == m_latest.devices.end() ? 0 : ShownRecvBytes(itBefore->device);
        row.dSentRate = RateOf(ShownSentBytes(row.device), nSentBefore, dSeconds);
        row.dRecvRate = RateOf(ShownRecvBytes(row.device), nRecvBefore, dSeconds);
    }
    if (bRated) {
        sample.dSentRate = RateOf(sample.nSentBytes, m_latest.nSentBytes, dSeconds);
        sample.dRecvRate = RateOf(sample.nRecvBytes, m_latest.nRecvBytes, dSeconds);
        m_historySent[static_cast<size_t>(m_nHistoryNext)] = sample.dSentRate;
        m_historyRecv[static_cast<size_t>(m_nHistoryNext)] = sample.dRecvRate;
        m_nHistoryNext = (m_nHistoryNext + 1) % kHistoryPoints;
        m_nHistoryCount = std::min(m_nHistoryCount + 1, kHistoryPoints);
    }
    SampleApps(snapshot.apps, sample, bRated ? dSeconds : 0);
    std::ranges::sort(sample.devices, [](const DeviceSample& a, const DeviceSample& b) {
        const int64_t nA = ShownSentBytes(a.device) + ShownRecvBytes(a.device);
        const int64_t nB = ShownSentBytes(b.device) + ShownRecvBytes(b.device);
        return nA != nB ? nA > nB : a.device.strName < b.device.strName;
    });
    m_latest = std::move(sample);
    IndexApps();
    m_tLatest = tNow;
    m_bHasLatest = true;
}
