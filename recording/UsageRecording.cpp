#include "UsageRecording.h"

#include "PlanMetrics.h"
#include "PlanUsage.h"

CUsageRecording::CUsageRecording(const UsageOptions& options, CEventLoop& loop,
                                 SnapshotFn fnSnapshot, CUsageRecorder::NoticeFn fnNotice)
    : m_loop(loop), m_fnSnapshot(std::move(fnSnapshot)) {
    if (options.strDatabase.empty()) {
        return;
    }
    m_pRecorder = std::make_unique<CUsageRecorder>(options.strDatabase, m_clock, fnNotice);
    m_pRecorder->Observe(m_fnSnapshot());
    CUsageStore* pStore = m_pRecorder->GetStore();
    try {
        if (options.plan && pStore != nullptr) {
            SavePlan(*pStore, options.plan);
        }
        m_plan = options.plan;
        if (!m_plan && pStore != nullptr) {
            m_plan = LoadPlan(*pStore);
        }
    } catch (const CSqliteError& e) {
        if (fnNotice) {
            fnNotice("cannot keep the plan in " + options.strDatabase + " (" + e.what() + ")");
        }
        m_plan = options.plan;
    }
    UpdatePlan();
}

std::string CUsageRecording::SetPlan(const std::optional<Plan>& plan) {
    CUsageStore* pStore = m_pRecorder ? m_pRecorder->GetStore() : nullptr;
    if (pStore == nullptr) {
        return m_pRecorder ? m_pRecorder->DescribeState() : "no usage file is kept";
    }
    try {
        SavePlan(*pStore, plan);
    } catch (const CSqliteError& e) {
        return "cannot keep the plan in " + pStore->GetPath() + ": " + e.what();
    }
    m_plan = plan;
    if (!m_plan) {
        m_nPlanUsed.store(-1, std::memory_order_release);
    }
    UpdatePlan();
    return "";
}

void CUsageRecording::OnCountsMoved(int nDelayMs) {
    if (!m_pRecorder || m_bFlushDue) {
        return;
    }
    m_bFlushDue = true;
    m_loop.Post(
        [wpSelf = std::weak_ptr<CUsageRecording*>(m_pSelf)] {
            if (const auto pSelf = wpSelf.lock()) {
                (*pSelf)->m_bFlushDue = false;
                (*pSelf)->Flush(false);
            }
        },
        nDelayMs);
}

void CUsageRecording::Finish() {
    if (m_pRecorder) {
        Flush(true);
    }
}

void CUsageRecording::Flush(bool bFinal) {
    m_pRecorder->Observe(m_fnSnapshot());
    m_pRecorder->Flush(bFinal);
    UpdatePlan();
}

void CUsageRecording::UpdatePlan() {
    if (!m_plan) {
        return;
    }
    const int64_t nNow = m_pRecorder->NowUtc();
    PlanStatus status;
    try {
        status =
            ComputePlanStatus(*m_plan, m_pRecorder->GetStore(), m_pRecorder->GetPending(), nNow);
    } catch (const CSqliteError&) {
        // The file cannot be read now: the figures stay as they were until it can.
        return;
    }
    m_nPlanLimit.store(m_plan->nCapBytes, std::memory_order_relaxed);
    m_nCycleEnd.store(status.cycle.nEnd, std::memory_order_relaxed);
    m_nPlanUsed.store(status.nUsed, std::memory_order_release);
}

std::string CUsageRecording::FormatMetrics() const {
    int64_t nUsed = m_nPlanUsed.load(std::memory_order_acquire);
    if (nUsed < 0) {
        return "";
    }
    // A cycle that ended with nothing counted since: the new one has used nothing yet (anything
    // counted would have been flushed, and the figures updated, within the flush period).
    if (m_clock.NowUtcMs() / 1000 >= m_nCycleEnd.load(std::memory_order_relaxed)) {
        nUsed = 0;
    }
    return FormatPlanPrometheus(nUsed, m_nPlanLimit.load(std::memory_order_relaxed));
}
