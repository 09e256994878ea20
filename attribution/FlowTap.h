#pragma once

// The capture thread's side of attribution: a fixed table of the flows a device's batches
// counted, and the hand-over of full tables to the resolver, with no lock, allocation or system
// call per packet.

#include "Flow.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

// One flow's bytes since the table was last emptied. A slot is free while nFamily is 0.
struct FlowSlot {
    FlowKey key;
    int64_t nSentBytes = 0, nRecvBytes = 0;
};

// An open-addressing table of flows (linear probing), allocated once: kSlots slots, of which at
// most kMaxFlows are used so that every probe ends at a free slot within a few steps. Bytes of a
// new flow that finds the table at kMaxFlows count as TableFull, as do bytes without a flow under
// their reason. Memory: kSlots * 56 bytes plus kMaxFlows * 2 bytes. Throws std::bad_alloc.
class CFlowTable {
public:
    static constexpr size_t kSlots = 2048;
    static constexpr size_t kMaxFlows = kSlots * 3 / 4;

    CFlowTable();
    CFlowTable(const CFlowTable&) = delete;
    CFlowTable& operator=(const CFlowTable&) = delete;

    // Adds to the flow's slot and returns it; null when the table is full (TableFull).
    [[gnu::always_inline]] inline FlowSlot* Add(const FlowKey& key, bool bSent, int64_t nBytes) {
        // Packets come in trains of one flow (a transfer's data and its acknowledgements).
        if (m_pLast != nullptr && m_pLast->key == key) [[likely]] {
            (bSent ? m_pLast->nSentBytes : m_pLast->nRecvBytes) += nBytes;
            return m_pLast;
        }
        size_t nSlot = HashFlowKey(key) >> (64 - kSlotBits);
        for (;;) {
            FlowSlot& slot = m_pSlots[nSlot];
            if (slot.key.nFamily == 0) {
                if (m_nUsed == kMaxFlows) [[unlikely]] {
                    AddUnattributed(EUnattributed::TableFull, bSent, nBytes);
                    return nullptr;
                }
                slot.key = key;
                m_aUsed[m_nUsed++] = static_cast<uint16_t>(nSlot);
            } else if (!(slot.key == key)) {
                nSlot = (nSlot + 1) & (kSlots - 1);
                continue;
            }
            (bSent ? slot.nSentBytes : slot.nRecvBytes) += nBytes;
            m_pLast = &slot;
            return &slot;
        }
    }
    void AddUnattributed(EUnattributed eReason, bool bSent, int64_t nBytes) {
        (bSent ? m_aSentBy : m_aRecvBy)[static_cast<size_t>(eReason)] += nBytes;
        m_bUnattributed = true;
    }

    bool IsEmpty() const { return m_nUsed == 0 && !m_bUnattributed; }
    bool IsHalfFull() const { return m_nUsed >= kMaxFlows / 2; }
    // The used slots, in the order their flows came.
    size_t GetFlowCount() const { return m_nUsed; }
    const FlowSlot& GetFlow(size_t nIndex) const { return m_pSlots[m_aUsed[nIndex]]; }
    int64_t GetUnattributed(EUnattributed eReason, bool bSent) const {
        return (bSent ? m_aSentBy : m_aRecvBy)[static_cast<size_t>(eReason)];
    }
    // Empties the used slots only.
    void Clear();

private:
    static constexpr int kSlotBits = 11;
    static_assert(size_t{1} << kSlotBits == kSlots);

    // Zeroed pages from the kernel, each touched only once a flow lands in it: a table costs
    // nothing until used, and all-zero bytes are free slots.
    struct CUnmapSlots {
        void operator()(FlowSlot* pSlots) const;
    };
    std::unique_ptr<FlowSlot[], CUnmapSlots> m_pSlots;
    FlowSlot* m_pLast = nullptr;             // the slot of the last packet's flow
    std::array<uint16_t, kMaxFlows> m_aUsed; // the first m_nUsed are set
    size_t m_nUsed = 0;
    bool m_bUnattributed = false;
    std::array<int64_t, static_cast<size_t>(EUnattributed::Count)> m_aSentBy{}, m_aRecvBy{};
};

// One device's two tables: its capture thread fills one while the resolver empties the other.
// At a batch's end the capture thread hands its table over when the resolver has given the other
// back, and keeps filling its own otherwise; memory per device is two tables (about 230 KiB).
// Hand-overs come at most every kHandOverPauseNs (each may wake the resolver, a system call),
// sooner only for a table half full.
class CFlowTap {
public:
    static constexpr int64_t kHandOverPauseNs = 50'000'000;

    // Capture thread: counts a packet's bytes under its flow, or under the reason it has none.
    [[gnu::always_inline]] inline void Add(const PacketInfo& info, bool bSent, int64_t nBytes) {
        // IPv4 without options: the packet's own bytes against the last one's of its direction,
        // before any key is read.
        Memo* pMemo = nullptr;
        Memo seen;
        const uint8_t* pNetwork = info.pData + info.nLinkHeaderLength;
        if (info.eNetworkProtocol == ENetworkProtocol::IPv4 &&
            info.pHeader->caplen >= info.nLinkHeaderLength + 24) [[likely]] {
            pMemo = &m_aMemo[bSent ? 1 : 0];
            std::memcpy(&seen.nAddresses, pNetwork + 12, sizeof seen.nAddresses);
            std::memcpy(&seen.nPorts, pNetwork + 20, sizeof seen.nPorts);
            seen.nHead = uint32_t{pNetwork[0]} | uint32_t{pNetwork[9]} << 8 |
                         uint32_t{pNetwork[6] & 0x1Fu} << 16 | uint32_t{pNetwork[7]} << 24;
            if (pMemo->pSlot != nullptr && seen.nAddresses == pMemo->nAddresses &&
                seen.nPorts == pMemo->nPorts && seen.nHead == pMemo->nHead) [[likely]] {
                (bSent ? pMemo->pSlot->nSentBytes : pMemo->pSlot->nRecvBytes) += nBytes;
                return;
            }
        }
        FlowKey key;
        switch (ReadFlow(info, bSent, key)) {
        case EFlowRead::Flow:
            seen.pSlot = m_aTables[m_nFilling].Add(key, bSent, nBytes);
            if (pMemo != nullptr && pNetwork[0] == 0x45) { // ports at 20: the bytes say it all
                *pMemo = seen;
            }
            return;
        case EFlowRead::NotTcpUdp:
            m_aTables[m_nFilling].AddUnattributed(EUnattributed::NotTcpUdp, bSent, nBytes);
            return;
        case EFlowRead::Fragment:
            m_aTables[m_nFilling].AddUnattributed(EUnattributed::Fragment, bSent, nBytes);
            return;
        case EFlowRead::HeadersCut:
            m_aTables[m_nFilling].AddUnattributed(EUnattributed::HeadersCut, bSent, nBytes);
            return;
        }
    }
    // Capture thread, after a batch or when idle, nNowNs a monotonic time: hands the filled table
    // over if the resolver gave the other back and the pause since the last hand-over passed.
    // True when it did (the resolver should then be woken).
    bool HandOver(int64_t nNowNs);
    // A coarse monotonic time for HandOver, without a system call.
    static int64_t NowNs();

    // Resolver: the table handed over, or null; GiveBack empties it and returns it.
    const CFlowTable* Take() const;
    void GiveBack();

    // With no capture thread running (after it was joined): the table being filled, which
    // HandOver has not handed over, for the caller to resolve and clear.
    CFlowTable& TakeFillingWhileStopped() {
        m_aMemo = {};
        return m_aTables[m_nFilling];
    }

private:
    // What the last IPv4 packet of a direction was, as bytes, and its flow's slot in the table
    // being filled (null: none).
    struct Memo {
        uint64_t nAddresses = 0;
        uint32_t nPorts = 0, nHead = 0; // version and length, protocol, fragment offset
        FlowSlot* pSlot = nullptr;
    };

    std::array<CFlowTable, 2> m_aTables;
    int m_nFilling = 0;            // capture thread's
    int64_t m_nLastHandOverNs = 0; // capture thread's
    std::array<Memo, 2> m_aMemo{}; // capture thread's; by direction, sent second
    // The table the resolver holds, or -1; the capture thread sets it, the resolver clears it.
    alignas(64) std::atomic<int> m_nHanded{-1};
};
