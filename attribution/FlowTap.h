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
#include <utility>

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

// A flow a capture thread saw start: a TCP SYN (without ACK), or a UDP flow's first datagram in a
// table.
struct FlowStart {
    FlowKey key;
    bool bSent = false; // its first packet was sent (else received)
};

// A bounded queue of flow starts from one capture thread (the producer) to the resolver (the
// consumer): a ring of kCapacity entries with two indices, no lock, no allocation after it is
// built. A start that finds it full is dropped: its flow is then resolved when its table comes.
class CFlowStartQueue {
public:
    static constexpr size_t kCapacity = 256;

    // Producer only. False when full.
    bool Push(const FlowStart& start) {
        const size_t nTail = m_nTail.load(std::memory_order_relaxed);
        if (nTail - m_nHead.load(std::memory_order_acquire) == kCapacity) {
            return false;
        }
        m_aEntries[nTail & (kCapacity - 1)] = start;
        // The release publishes the entry to the consumer's acquire of the tail.
        m_nTail.store(nTail + 1, std::memory_order_release);
        return true;
    }
    // Consumer only. False when empty.
    bool Pop(FlowStart& start) {
        const size_t nHead = m_nHead.load(std::memory_order_relaxed);
        if (nHead == m_nTail.load(std::memory_order_acquire)) {
            return false;
        }
        start = m_aEntries[nHead & (kCapacity - 1)];
        // The release hands the entry's room back to the producer's acquire of the head.
        m_nHead.store(nHead + 1, std::memory_order_release);
        return true;
    }

private:
    static_assert((kCapacity & (kCapacity - 1)) == 0);
    std::array<FlowStart, kCapacity> m_aEntries{};
    alignas(64) std::atomic<size_t> m_nTail{0}; // the producer's
    alignas(64) std::atomic<size_t> m_nHead{0}; // the consumer's
};

// One device's two tables: its capture thread fills one while the resolver empties the other.
// At a batch's end the capture thread hands its table over when the resolver has given the other
// back, and keeps filling its own otherwise; memory per device is two tables (about 230 KiB).
// Hand-overs come at most every kHandOverPauseNs (each may wake the resolver, a system call),
// sooner only for a table half full.
class CFlowTap {
public:
    static constexpr int64_t kHandOverPauseNs = 50'000'000;

    // What CountRepeat found: no repeat, or the direction the repeated packet was counted in.
    enum class ERepeat : uint8_t { No, Received, Sent };

    // Capture thread: counts under its flow a packet that repeats the addresses, ports and
    // protocol of the last packet Add counted in a direction since ForgetTrains, and says which
    // direction that was: a packet's direction follows from its addresses while the host's
    // addresses stay the same, which they do until ForgetTrains. No for any other packet, which
    // the caller classifies and gives to Add. nBytes: the packet's bytes, not merged ones. One
    // for each family, for the caller to keep IPv4's way apart and short.
    [[gnu::always_inline]] inline ERepeat CountRepeat4(const PacketInfo& info, int64_t nBytes) {
        if (info.eNetworkProtocol != ENetworkProtocol::IPv4 ||
            info.pHeader->caplen < info.nLinkHeaderLength + kTrainBytes4) [[unlikely]] {
            return ERepeat::No;
        }
        return Repeat(m_aTrains4, ReadTrain4(info.pData + info.nLinkHeaderLength), nBytes);
    }
    [[gnu::always_inline]] inline ERepeat CountRepeat6(const PacketInfo& info, int64_t nBytes) {
        if (info.eNetworkProtocol != ENetworkProtocol::IPv6 ||
            info.pHeader->caplen < info.nLinkHeaderLength + kTrainBytes6) [[unlikely]] {
            return ERepeat::No;
        }
        return Repeat(m_aTrains6, ReadTrain6(info.pData + info.nLinkHeaderLength), nBytes);
    }
    // Capture thread, when the host's addresses may have changed (after a batch), or before it
    // starts: no packet is a repeat of an earlier one until Add has seen it again.
    void ForgetTrains() {
        m_aTrains4 = {};
        m_aTrains6 = {};
    }

    // Capture thread: counts a packet's bytes under its flow, or under the reason it has none,
    // and remembers its flow for CountRepeat.
    [[gnu::always_inline]] inline void Add(const PacketInfo& info, bool bSent, int64_t nBytes) {
        FlowKey key;
        switch (ReadFlow(info, bSent, key)) {
        case EFlowRead::Flow: {
            CFlowTable& table = m_aTables[m_nFilling];
            const size_t nFlowsBefore = table.GetFlowCount();
            FlowSlot* pSlot = table.Add(key, bSent, nBytes);
            if (table.GetFlowCount() != nFlowsBefore) {
                NoteStart(info, bSent, key); // a flow new to this table
            }
            Remember(info, bSent, pSlot);
            return;
        }
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
    // Capture thread: whether the table being filled holds anything the resolver has not had.
    bool HoldsFlows() const { return !m_aTables[m_nFilling].IsEmpty(); }
    // A coarse monotonic time for HandOver, without a system call.
    static int64_t NowNs();
    // Capture thread, after a batch: whether flows started since the last call (the resolver
    // should then be woken, once for the batch).
    bool TakeStartSignal() { return std::exchange(m_bStarted, false); }

    // Resolver: the next flow start the capture thread queued, if any.
    bool PopStart(FlowStart& start) { return m_starts.Pop(start); }

    // Resolver: the table handed over, or null; GiveBack empties it and returns it.
    const CFlowTable* Take() const;
    void GiveBack();

    // With no capture thread running (after it was joined): the table being filled, which
    // HandOver has not handed over, for the caller to resolve and clear.
    CFlowTable& TakeFillingWhileStopped() {
        ForgetTrains();
        return m_aTables[m_nFilling];
    }

private:
    // A packet as raw bytes that fix its flow: for IPv4 without options the addresses, the
    // ports, and version and header length, protocol and fragment offset (the time to live's
    // byte holds the first one's); for IPv6 without extension headers the addresses, the ports,
    // and the version and next header. Equal bytes, equal flow; the slot is that flow's in the
    // table being filled (null: no train).
    static constexpr uint64_t kTrainBytes4 = 24, kTrainBytes6 = 44;
    struct Train4 {
        uint64_t nAddresses = 0, nRest = 0;
        FlowSlot* pSlot = nullptr;
        bool Is(const Train4& other) const {
            return nAddresses == other.nAddresses && nRest == other.nRest;
        }
    };
    struct Train6 {
        std::array<uint64_t, 4> aAddresses{};
        uint64_t nRest = 0;
        FlowSlot* pSlot = nullptr;
        bool Is(const Train6& other) const {
            return aAddresses == other.aAddresses && nRest == other.nRest;
        }
    };
    static uint64_t Read64(const uint8_t* pb) {
        uint64_t n;
        std::memcpy(&n, pb, sizeof n);
        return n;
    }
    static uint32_t Read32(const uint8_t* pb) {
        uint32_t n;
        std::memcpy(&n, pb, sizeof n);
        return n;
    }
    static Train4 ReadTrain4(const uint8_t* pNetwork) {
        // Bytes 6 to 9 as read on this little-endian host: the fragment offset's bits, the time
        // to live's byte (which takes byte 0) and the protocol.
        const uint32_t nHead = (Read32(pNetwork + 6) & 0xFF00FF1Fu) | uint32_t{pNetwork[0]} << 16;
        return {Read64(pNetwork + 12), uint64_t{Read32(pNetwork + 20)} | uint64_t{nHead} << 32};
    }
    static Train6 ReadTrain6(const uint8_t* pNetwork) {
        return {{Read64(pNetwork + 8), Read64(pNetwork + 16), Read64(pNetwork + 24),
                 Read64(pNetwork + 32)},
                uint64_t{Read32(pNetwork + 40)} | uint64_t{pNetwork[6]} << 32 |
                    uint64_t{pNetwork[0] & 0xF0u} << 40};
    }
    template <class Train>
    [[gnu::always_inline]] static ERepeat Repeat(std::array<Train, 2>& aTrains, const Train& seen,
                                                 int64_t nBytes) {
        if (aTrains[1].pSlot != nullptr && aTrains[1].Is(seen)) {
            aTrains[1].pSlot->nSentBytes += nBytes;
            return ERepeat::Sent;
        }
        if (aTrains[0].pSlot != nullptr && aTrains[0].Is(seen)) {
            aTrains[0].pSlot->nRecvBytes += nBytes;
            return ERepeat::Received;
        }
        return ERepeat::No;
    }
    // Remembers the flow of a packet Add counted, when its headers are the common ones whose
    // bytes ReadFlow's key depends on alone.
    void Remember(const PacketInfo& info, bool bSent, FlowSlot* pSlot) {
        const uint8_t* pNetwork = info.pData + info.nLinkHeaderLength;
        const uint64_t nCaptured = info.pHeader->caplen;
        if (pSlot == nullptr) {
            return;
        }
        if (info.eNetworkProtocol == ENetworkProtocol::IPv4) {
            if (nCaptured >= info.nLinkHeaderLength + kTrainBytes4 && pNetwork[0] == 0x45) {
                m_aTrains4[bSent ? 1 : 0] = ReadTrain4(pNetwork);
                m_aTrains4[bSent ? 1 : 0].pSlot = pSlot;
            }
        } else if (nCaptured >= info.nLinkHeaderLength + kTrainBytes6 && (pNetwork[0] >> 4) == 6 &&
                   (pNetwork[6] == 6 || pNetwork[6] == 17)) {
            m_aTrains6[bSent ? 1 : 0] = ReadTrain6(pNetwork);
            m_aTrains6[bSent ? 1 : 0].pSlot = pSlot;
        }
    }

    // Queues a flow new to the filling table when it starts: a TCP SYN without ACK (other TCP
    // flows new to a table started before it), any UDP one. Out of line: once a flow a table.
    [[gnu::noinline]] void NoteStart(const PacketInfo& info, bool bSent, const FlowKey& key);

    std::array<CFlowTable, 2> m_aTables;
    CFlowStartQueue m_starts;
    bool m_bStarted = false;       // capture thread's: a start was queued since TakeStartSignal
    int m_nFilling = 0;            // capture thread's
    int64_t m_nLastHandOverNs = 0; // capture thread's
    // The capture thread's: the last flow counted in each direction, received first.
    std::array<Train4, 2> m_aTrains4{};
    std::array<Train6, 2> m_aTrains6{};
    // The table the resolver holds, or -1; the capture thread sets it, the resolver clears it.
    alignas(64) std::atomic<int> m_nHanded{-1};
};
