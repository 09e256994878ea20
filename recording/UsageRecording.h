#pragma once

#include "EventLoop.h"
#include "MeterSnapshot.h"
#include "UsageClock.h"
#include "UsageOptions.h"
#include "UsageRecorder.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// A program's usage file: records the meter's snapshots on the event loop's thread,
// at most every flush period while counts move and never while they do not, and keeps the plan's
// used bytes for the metrics.
class CUsageRecording {
public:
    // Loop thread: the meter's snapshot now; must not wait for a capture thread.
    using SnapshotFn = std::function<MeterSnapshot()>;

    // Loop thread, before capture starts: opens the file (said through fnNotice when it cannot,
    // or another Orvek records), sets the options' plan in it, and takes the base snapshot.
    // Nothing is recorded when options name no file. The loop must outlive this.
    CUsageRecording(const UsageOptions& options, CEventLoop& loop, SnapshotFn fnSnapshot,
                    CUsageRecorder::NoticeFn fnNotice);

    // Loop thread, whenever the totals moved: a flush is due within nDelayMs (the flush period
    // by default; a due flush is not moved).
    void OnCountsMoved(int nDelayMs = CUsageRecorder::kFlushPeriodMs);
    // Loop thread, after capture stopped: the last counts and the time run, written.
    void Finish();
    // Loop thread: sets the plan in the file, or removes it (nullopt); "" when done, else why not.
    std::string SetPlan(const std::optional<Plan>& plan);
    // Any thread (the metrics server's): the plan's series, "" without a plan.
    std::string FormatMetrics() const;

private:
    // Loop thread: observes, writes, and brings the plan's figures up to date.
    void Flush(bool bFinal);
    void UpdatePlan();

    CEventLoop& m_loop;
    SnapshotFn m_fnSnapshot;
    CSystemUsageClock m_clock;
    std::unique_ptr<CUsageRecorder> m_pRecorder;
    std::optional<Plan> m_plan;
    bool m_bFlushDue = false;
    // Expires with this object, so that work posted to the loop does not outlive it.
    std::shared_ptr<CUsageRecording*> m_pSelf = std::make_shared<CUsageRecording*>(this);
    std::atomic<int64_t> m_nPlanUsed{-1}; // -1: no plan
    std::atomic<int64_t> m_nPlanLimit{0};
    std::atomic<int64_t> m_nCycleEnd{0}; // UTC second the figures' cycle ends
};
