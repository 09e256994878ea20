#pragma once

#include "MeterSnapshot.h"
#include "UsageClock.h"
#include "UsageStore.h"
#include "WriterLock.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Keeps a process's usage in its file: fed the meter's snapshots, it takes per-device differences
// (counters of another id, or that went down, started again from zero: their whole value is new)
// and the same differences of the snapshot's application rows (a second view of the same bytes,
// kept by day and month), and writes them, with the time it was running, in one transaction per
// Flush. Only one process records into a file at
// a time; the others say once that they do not, and take over when it ends. A file that cannot be
// written is said once; what was counted waits in memory and the next Flush tries again.
// Called on one thread (the window's or the event loop's), never a capture thread.
class CUsageRecorder {
public:
    // How often a process flushes while counts move: a crash loses at most this much.
    static constexpr int kFlushPeriodMs = 10000;
    // Wall time that runs ahead of or behind the steady clock by more than this between two
    // observations was a jump or a sleep: the recorded stretch ends there and a new one begins.
    static constexpr int64_t kJumpToleranceMs = 5000;

    enum class EState { Recording, OtherWriter, CannotWrite, ReadOnly };
    // ReadOnly: another process (the system service) records into the file; this one only reads
    // it, never takes the writer's right, and keeps nothing of what it observes.
    enum class EMode { Record, ReadOnly };

    // Receives one line for the user, on the calling thread.
    using NoticeFn = CUsageStore::NoticeFn;

    // The clock must outlive the recorder. Takes the writer's right if it is free (not in
    // ReadOnly mode).
    CUsageRecorder(std::string strPath, const IUsageClock& clock, NoticeFn fnNotice,
                   EMode eMode = EMode::Record);
    CUsageRecorder(const CUsageRecorder&) = delete;
    CUsageRecorder& operator=(const CUsageRecorder&) = delete;

    // The meter's counters now. The first snapshot is the base: what it holds was counted before
    // this process recorded (by another process, or while nobody did).
    void Observe(const MeterSnapshot& snapshot);
    // Writes what was observed since the last write; nothing when nothing was counted, unless
    // bFinal (at exit), which also writes how long this process ran.
    void Flush(bool bFinal = false);

    bool HasPending() const { return !m_pending.empty() || !m_pendingApps.empty(); }
    EState GetState() const { return m_eState; }
    // One line on the state: "recording into ...", "not recording: ...", "cannot write ...".
    std::string DescribeState() const;
    const std::string& GetPath() const { return m_strPath; }

    // The file to read the history from: the recorder's own, or (while another process records)
    // a shared connection; nullptr when there is no file yet.
    CUsageStore* GetStore();
    // Bytes observed but not written yet: (five-minute bucket, device) -> (sent, received).
    using PendingMap = std::map<std::pair<int64_t, std::string>, std::pair<int64_t, int64_t>>;
    const PendingMap& GetPending() const { return m_pending; }
    // The time recorded but not written yet: the stretches a jump ended and the running one, up
    // to the last observation; none while this process does not record.
    std::vector<RecordedSpan> GetPendingSpans() const;
    // Now by the recorder's clock, in UTC seconds.
    int64_t NowUtc() const { return m_clock.NowUtcMs() / 1000; }

private:
    // The wall clock against the steady one since the last look; ends the stretch on a jump.
    void TrackTime();
    // The application rows' growth into m_pendingApps (when bRecord) and m_lastApps.
    void ObserveApps(const MeterSnapshot& snapshot, bool bRecord, int64_t nDay);
    // Whether observed bytes are kept: this process records, or would if the file could be written.
    bool Counts() const;
    // Says why the writer's lock is not held, and forgets what another writer records.
    void SayLockFailure();
    // Once per failure: the same failure is not repeated until a write succeeded.
    void Fail(EState eState, const std::string& strText);

    std::string m_strPath;
    const IUsageClock& m_clock;
    NoticeFn m_fnNotice;
    std::optional<CWriterLock> m_lock;      // none in ReadOnly mode
    std::unique_ptr<CUsageStore> m_pStore;  // writing; while this process holds the lock
    std::unique_ptr<CUsageStore> m_pShared; // reading; while another process records
    EState m_eState = EState::Recording;
    std::string m_strFailure;
    bool m_bFailureSaid = false;

    bool m_bHasBase = false;
    // Counters as last seen: which ones (DeviceSnapshot::nCounterId; for applications a number
    // that changes when their rows' sum goes down) and their bytes, sent and received.
    // Devices and applications the meter no longer lists are not kept.
    struct LastSeen {
        uint64_t nCounterId = 0;
        int64_t nSent = 0, nRecv = 0;
        // The growth since the last look, sent and received; the counters are then the last.
        std::pair<int64_t, int64_t> Advance(uint64_t nId, int64_t nNowSent, int64_t nNowRecv);
    };
    std::map<std::string, LastSeen> m_last;
    PendingMap m_pending;
    // The application rows by key (ApplicationKey), and their sums as last seen.
    std::map<std::string, LastSeen> m_lastApps;
    int64_t m_nAppsSent = 0, m_nAppsRecv = 0;
    uint64_t m_nAppCounters = 1;
    // (day, application key) -> (sent, received), not written yet.
    PendingMap m_pendingApps;

    // The stretch running now, and those a jump ended that are not written yet; UTC ms.
    int64_t m_nSpanStartMs = 0, m_nSpanEndMs = 0;
    std::vector<RecordedSpan> m_closedSpans;
    int64_t m_nLastWallMs = 0, m_nLastSteadyMs = 0;
};
