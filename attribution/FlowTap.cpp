#include "FlowTap.h"

CFlowTable::CFlowTable() : m_pSlots(std::make_unique<FlowSlot[]>(kSlots)) {}

void CFlowTable::Clear() {
    for (size_t n = 0; n < m_nUsed; ++n) {
        m_pSlots[m_aUsed[n]] = FlowSlot{};
    }
    m_nUsed = 0;
    if (m_bUnattributed) {
        m_aSentBy.fill(0);
        m_aRecvBy.fill(0);
        m_bUnattributed = false;
    }
}

bool CFlowTap::HandOver() {
    if (m_aTables[m_nFilling].IsEmpty() || m_nHanded.load(std::memory_order_acquire) != -1) {
        return false;
    }
    // The release publishes the table's contents to the resolver's Take.
    m_nHanded.store(m_nFilling, std::memory_order_release);
    m_nFilling ^= 1;
    return true;
}

const CFlowTable* CFlowTap::Take() const {
    const int nHanded = m_nHanded.load(std::memory_order_acquire);
    return nHanded < 0 ? nullptr : &m_aTables[nHanded];
}

void CFlowTap::GiveBack() {
    const int nHanded = m_nHanded.load(std::memory_order_relaxed);
    if (nHanded < 0) {
        return;
    }
    m_aTables[nHanded].Clear();
    // The release publishes the emptied table to the capture thread's next HandOver.
    m_nHanded.store(-1, std::memory_order_release);
}
