#include "FlowTap.h"

#include <ctime>
#include <new>
#include <sys/mman.h>

namespace {

constexpr size_t kSlotBytes = CFlowTable::kSlots * sizeof(FlowSlot);
constexpr uint8_t kTcp = 6;
constexpr uint8_t kSyn = 0x02, kAck = 0x10;

} // namespace

CFlowTable::CFlowTable() {
    void* pPages =
        ::mmap(nullptr, kSlotBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pPages == MAP_FAILED) {
        throw std::bad_alloc();
    }
    // Slots are plain aggregates: zeroed memory holds them, free.
    m_pSlots.reset(static_cast<FlowSlot*>(pPages));
}

void CFlowTable::CUnmapSlots::operator()(FlowSlot* pSlots) const {
    ::munmap(pSlots, kSlotBytes);
}

void CFlowTable::Clear() {
    for (size_t n = 0; n < m_nUsed; ++n) {
        m_pSlots[m_aUsed[n]] = FlowSlot{};
    }
    m_nUsed = 0;
    m_pLast = nullptr;
    if (m_bUnattributed) {
        m_aSentBy.fill(0);
        m_aRecvBy.fill(0);
        m_bUnattributed = false;
    }
}

void CFlowTap::NoteStart(const PacketInfo& info, bool bSent, const FlowKey& key) {
    if (key.nProtocol == kTcp) {
        // The flags, where the TCP header lies at a known place: right after IPv4's header, or
        // IPv6's without extension headers.
        const uint8_t* pNetwork = info.pData + info.nLinkHeaderLength;
        const uint64_t nCaptured = info.pHeader->caplen;
        uint64_t nTcp = 0;
        if (key.nFamily == 4) {
            nTcp = (pNetwork[0] & 0x0Fu) * 4u;
        } else if (pNetwork[6] == kTcp) {
            nTcp = 40;
        }
        // A SYN without ACK: a connection's first packet. An answer's SYN-ACK new to a table
        // is no start, as its connection may have ended before it is asked for.
        if (nTcp == 0 || nCaptured < info.nLinkHeaderLength + nTcp + 14 ||
            (pNetwork[nTcp + 13] & (kSyn | kAck)) != kSyn) {
            return;
        }
    }
    if (m_starts.Push({key, bSent})) {
        m_bStarted = true;
    }
}

int64_t CFlowTap::NowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now); // the vDSO's: no system call
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

bool CFlowTap::HandOver(int64_t nNowNs) {
    const CFlowTable& filling = m_aTables[m_nFilling];
    if (filling.IsEmpty() ||
        (nNowNs - m_nLastHandOverNs < kHandOverPauseNs && !filling.IsHalfFull()) ||
        m_nHanded.load(std::memory_order_acquire) != -1) {
        return false;
    }
    m_nLastHandOverNs = nNowNs;
    ForgetTrains(); // their slots are in the table handed over
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
