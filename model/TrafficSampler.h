#pragma once

#include "MeterSnapshot.h"
#include "Units.h"

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

// The time between snapshots read one after another, which their counts are rated over: from when
// each one's counts held, not when it was read. A snapshot holds its counts from when it was taken
// and, read more than kSnapshotHeld later (pushed ones are replaced sooner while counts move),
// until then; one that tells no time holds them when it is read. Called on one thread at a time.
class CSnapshotInterval {
public:
    // The first snapshot has none before it: no time.
    CSnapshotInterval() = default;
    // The first snapshot is rated from tStart, from counts of zero then.
    explicit CSnapshotInterval(std::chrono::steady_clock::time_point tStart)
        : m_tHeldBefore(tStart), m_tReadBefore(tStart), m_bHasBefore(true) {}

    // The snapshot read at tRead: the seconds since the one before (or the start), 0 when there
    // is none. The same snapshot read again before it aged holds its counts between the readings.
    double Next(const MeterSnapshot& snapshot, std::chrono::steady_clock::time_point tRead);
    // Whether the snapshot read at tRead is the one read last, and was fresh (at most
    // kSnapshotHeld old) then: pushes and readings share a pace but not a phase, so a reading may
    // fall just before the next push. Such a reading tells nothing new and is not passed to Next;
    // read once more, the snapshot is overdue and Next rates it as holding its counts.
    bool Repeats(const MeterSnapshot& snapshot, std::chrono::steady_clock::time_point tRead);

private:
    std::chrono::steady_clock::time_point m_tHeldBefore, m_tReadBefore;
    // The last reading, a repeated one included, and when the snapshot it read was taken.
    std::chrono::steady_clock::time_point m_tLastRead;
    int64_t m_nTakenBefore = 0;
    bool m_bHasBefore = false;
};

// A row's rates in bytes a second: counts now against those of the snapshot before (0 where the
// row is new there), over CSnapshotInterval's seconds. Every front end's rates come from here.
struct RowRates {
    double dSent = -1, dRecv = -1;
};
inline RowRates RatesSince(int64_t nSent, int64_t nRecv, int64_t nSentBefore, int64_t nRecvBefore,
                           double dSeconds) {
    return {BytesPerSecond(nSent, nSentBefore, dSeconds),
            BytesPerSecond(nRecv, nRecvBefore, dSeconds)};
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

// One connection at one sample, with its rates as a device's.
struct ConnectionSample {
    ConnectionUsage connection;
    double dSentRate = -1, dRecvRate = -1;
};

// Everything at one sample: the devices by total (sent + received, largest first; ties by name),
// the meter's totals (the devices' and those of devices it forgot), and the total rates.
struct TrafficSample {
    std::vector<DeviceSample> devices;
    int64_t nSentBytes = 0, nRecvBytes = 0, nSentPackets = 0, nRecvPackets = 0;
    int64_t nDropsSinceCapture = 0;
    double dSentRate = -1, dRecvRate = -1;
    bool bMonitorUp = true; // as the snapshot tells
    // The applications by total (largest first), then the bytes not attributed, by reason.
    std::vector<AppSample> apps;
    // The connections the snapshot carried (by total, largest first), and how many more the
    // meter saw.
    std::vector<ConnectionSample> connections;
    int64_t nOtherConnections = 0;
};

// Turns the meter's snapshots, read once a period, into what front ends show: the latest sample
// with its rates over the times the snapshots held (CSnapshotInterval), and the total rates of the
// last ten minutes as a graph's points. Plain C++, so that any front end can feed it (the window
// does, through CTimedSampler); called on one thread at a time, the feeding one. Nothing is
// allocated once the sample's lists reached their sizes: samples are made in the one before last,
// the history's rings written in place.
class CTrafficSampler {
public:
    static constexpr int kPeriodMs = 1000;
    // Ten minutes of one point a second.
    static constexpr int kHistoryPoints = 600;

    // Takes the snapshot read at tNow as the latest sample: rated against the sample before over
    // the time between (CSnapshotInterval; not rated when it is the first, or no time passed)
    // and, when rated, its total rates added to the history. The pushed snapshot read before,
    // read again before its successor came (CSnapshotInterval::Repeats), leaves the latest sample
    // as it was and adds its rates to the history again: a late push is not traffic that stopped.
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
    // As SampleApps, for the connections, found by their ends and protocol.
    void SampleConnections(std::vector<ConnectionUsage>& connections, TrafficSample& sample,
                           double dSeconds) const;
    void IndexConnections();
    void AddHistoryPoint(double dSent, double dRecv);

    size_t HistorySlot(int nIndex) const {
        return static_cast<size_t>((m_nHistoryNext - m_nHistoryCount + nIndex + kHistoryPoints) %
                                   kHistoryPoints);
    }

    TrafficSample m_latest;
    // The sample before m_latest, whose lists' capacity the next sample is made in.
    TrafficSample m_spare;
    // m_latest.apps' positions by reason and name, for finding each application's row of the
    // sample before in log time (hundreds of applications a second); its capacity is kept.
    std::vector<uint32_t> m_vecAppOrder;
    // m_latest.connections' positions by their ends, likewise.
    std::vector<uint32_t> m_vecConnectionOrder;
    CSnapshotInterval m_interval;
    // Each device's drop count at the last Capture.
    std::map<std::string, int64_t> m_dropBase;
    // Fixed rings, written in place: no allocation once constructed.
    std::array<double, kHistoryPoints> m_historySent{};
    std::array<double, kHistoryPoints> m_historyRecv{};
    int m_nHistoryNext = 0;
    int m_nHistoryCount = 0;
};
