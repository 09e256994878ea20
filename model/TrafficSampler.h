#pragma once

#include "MeterSnapshot.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What a device's row shows: a tunnel's inner bytes (kept out of the totals), any other
// device's counted bytes.
inline int64_t ShownSentBytes(const DeviceSnapshot& device) {
    return device.bCarried ? device.nInnerSentBytes : device.nSentBytes;
}
inline int64_t ShownRecvBytes(const DeviceSnapshot& device) {
    return device.bCarried ? device.nInnerRecvBytes : device.nRecvBytes;
}

// One device at one sample: its snapshot, drops since the last Capture and its rates over the
// time since the sample before (negative: not known yet).
struct DeviceSample {
    DeviceSnapshot device;
    int64_t nDropsSinceCapture = 0;
    double dSentRate = -1, dRecvRate = -1;
};

// One application (or reason bytes are not attributed) at one sample, with its rates as a
// device's.
struct AppSample {
    AppUsage app;
    double dSentRate = -1, dRecvRate = -1;
};

// Everything at one sample: the devices by total (sent + received, largest first; ties by name),
// the totals over them, and the total rates.
struct TrafficSample {
    std::vector<DeviceSample> devices;
    int64_t nSentBytes = 0, nRecvBytes = 0, nSentPackets = 0, nRecvPackets = 0;
    int64_t nDropsSinceCapture = 0;
    double dSentRate = -1, dRecvRate = -1;
    bool bMonitorUp = true; // as the snapshot tells
    // The applications by total (largest first), then the bytes not attributed, by reason.
    std::vector<AppSample> apps;
};

// Turns the meter's snapshots, taken once a period, into what front ends show: the latest sample
// with its rates, and the total rates of the last ten minutes as a graph's points. Plain C++, so
// that any front end can feed it (the window does, through CTimedSampler); called on one thread
// at a time, the feeding one. The history's rings are written in place: no allocation for them
// once constructed.
class CTrafficSampler {
public:
    static constexpr int kPeriodMs = 1000;
    // Ten minutes of one point a second.
    static constexpr int kHistoryPoints = 600;

    // Takes the snapshot taken at tNow as the latest sample: rated against the sample before
    // over the time between (not rated when it is the first, or no time passed) and, when rated,
    // its total rates added to the history.
    void Sample(MeterSnapshot snapshot, std::chrono::steady_clock::time_point tNow);
    // Drops are counted from the devices' drops in snapshot on (taken when capture starts).
    void MarkCapture(const MeterSnapshot& snapshot);

    const TrafficSample& GetLatest() const { return m_latest; }
    // The rates of point nIndex, 0 the oldest of GetHistoryCount(), in bytes a second.
    int GetHistoryCount() const { return m_nHistoryCount; }
    double GetHistorySent(int nIndex) const { return m_historySent[HistorySlot(nIndex)]; }
    double GetHistoryRecv(int nIndex) const { return m_historyRecv[HistorySlot(nIndex)]; }

private:
    // The snapshot's application rows into the sample, rated against the latest sample over
    // dSeconds (0: not rated), in the sample's order.
    void SampleApps(std::vector<AppUsage>& apps, TrafficSample& sample, double dSeconds) const;
    // Sorts m_vecAppOrder after m_latest changed.
    void IndexApps();

    size_t HistorySlot(int nIndex) const {
        return static_cast<size_t>((m_nHistoryNext - m_nHistoryCount + nIndex + kHistoryPoints) %
                                   kHistoryPoints);
    }

    TrafficSample m_latest;
    // m_latest.apps' positions by reason and name, for finding each application's row of the
    // sample before in log time (hundreds of applications a second); its capacity is kept.
    std::vector<uint32_t> m_vecAppOrder;
    std::chrono::steady_clock::time_point m_tLatest;
    bool m_bHasLatest = false;
    // Each device's drop count at the last Capture.
    std::map<std::string, int64_t> m_dropBase;
    // Fixed rings, written in place: no allocation once constructed.
    std::array<double, kHistoryPoints> m_historySent{};
    std::array<double, kHistoryPoints> m_historyRecv{};
    int m_nHistoryNext = 0;
    int m_nHistoryCount = 0;
};
