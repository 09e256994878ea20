#pragma once

#include "CountingBackend.h"
#include "MeterSnapshot.h"
#include "MeterView.h"

#include <atomic>
#include <chrono>
#include <memory>

// What the pacer shows: the meter's totals, through its view.
struct IPacedCounters {
    // View thread: shows the totals now.
    virtual void UpdateCounters() = 0;
    // View thread: whether the totals differ from those last shown.
    virtual bool HaveTotalsMoved() const = 0;

protected:
    ~IPacedCounters() = default;
};

// Paces the display: counts that moved ask the view for one update at a time, which rests for
// kDisplayPaceMs after showing; totals that moved meanwhile are shown when the rest ends.
class CDisplayPacer final : public ICountsListener {
public:
    // How long the counters rest after an update before showing the next one.
    static constexpr int kDisplayPaceMs = 100;
    // Clients take a snapshot that old as having held its counts since.
    static_assert(std::chrono::milliseconds(kDisplayPaceMs) < kSnapshotHeld);

    // The view and the counters outlive the pacer, which is destroyed on the view thread: work
    // it posted does nothing once it is gone.
    CDisplayPacer(IMeterView& view, IPacedCounters& counters)
        : m_view(view), m_counters(counters) {}
    CDisplayPacer(const CDisplayPacer&) = delete;
    CDisplayPacer& operator=(const CDisplayPacer&) = delete;

    // Capture thread, after a batch that counted: asks the view, at most once per update, to show
    // the totals.
    void OnCountsMoved() override;

private:
    // View thread: shows the totals an update asked for, then rests.
    void OnDisplayUpdate();
    // View thread, after the rest: shows totals that moved meanwhile, or ends the update.
    void OnDisplayPaced();
    // View thread: ends the pending update. True when the totals moved since they were last
    // shown and this thread now owns a new pending update.
    bool ReleaseDisplay();
    // Runs fn on the view thread after nDelayMs, unless the pacer is gone by then.
    void PostToView(void (CDisplayPacer::*pfn)(), int nDelayMs);

    IMeterView& m_view;
    IPacedCounters& m_counters;
    // Expires with the pacer, so that work posted to the view does not outlive it.
    std::shared_ptr<CDisplayPacer*> m_pSelf = std::make_shared<CDisplayPacer*>(this);
    // Last, on a cache line of its own: capture threads exchange it.
    alignas(64) std::atomic<bool> m_bDisplayPending{false};
};
