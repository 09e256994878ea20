#include "DisplayPacer.h"

void CDisplayPacer::OnCountsMoved() {
    // At most one display update is pending; the first batch after it was shown asks again. The
    // exchange publishes the batch's counts to ReleaseDisplay's exchange, which reads its value:
    // either this thread finds the flag cleared and posts, or the releasing thread sees the counts.
    if (!m_bDisplayPending.exchange(true, std::memory_order_acq_rel)) {
        PostToView(&CDisplayPacer::OnDisplayUpdate, 0);
    }
}

void CDisplayPacer::PostToView(void (CDisplayPacer::*pfn)(), int nDelayMs) {
    m_view.Post(
        [pfn, wpSelf = std::weak_ptr<CDisplayPacer*>(m_pSelf)] {
            if (const auto pSelf = wpSelf.lock()) {
                ((*pSelf)->*pfn)();
            }
        },
        nDelayMs);
}

void CDisplayPacer::OnDisplayUpdate() {
    m_counters.UpdateCounters();
    PostToView(&CDisplayPacer::OnDisplayPaced, kDisplayPaceMs);
}

void CDisplayPacer::OnDisplayPaced() {
    if (ReleaseDisplay()) {
        OnDisplayUpdate();
    }
}

bool CDisplayPacer::ReleaseDisplay() {
    // An exchange, not a store: it takes over the counts of the batch whose exchange it follows.
    m_bDisplayPending.exchange(false, std::memory_order_acq_rel);
    if (!m_counters.HaveTotalsMoved()) {
        return false;
    }
    // Counts arrived while the update was pending; whoever sets the flag first shows them.
    return !m_bDisplayPending.exchange(true, std::memory_order_acq_rel);
}
