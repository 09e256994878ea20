#pragma once

// The per-packet path: a packet's direction from its bytes, and one device's counters, which its
// capture thread alone writes, with no allocation and no lock per packet.

#include "AdapterListener.h"
#include "AddressTable.h"
#include "FlowTap.h"

#include <atomic>
#include <cstdint>

class CAppResolver;
struct ICountsListener;

// What a captured packet is to this host.
enum class EDirection : uint8_t {
    Ignored,  // too short for an IPv4 header after the link header: not counted
    Sent,     // its source is one of the host's addresses
    Received, // addressed to the host (its own address, multicast, broadcast), or not shown to
              // be anything else
    Forwarded // between two other hosts: the host only routes, bridges or translates it
};

// Pure: tells the direction of a packet from its bytes and the host's addresses, reading nothing
// past the captured length. The source decides "sent"; with bCountForeign (promiscuous capture)
// everything else is received, otherwise only what is addressed to the host is, and the rest is
// forwarded. Frames that are not IP are judged by the four bytes at offsets 12 to 15 after the
// link header, as an IPv4 source; a capture too short to show an address counts as received.
EDirection ClassifyPacket(const PacketInfo& info, const CAddressTable& addresses,
                          bool bCountForeign);

// What one device's capture has counted. Only that device's capture thread writes it, so no two
// devices share a cache line; any thread reads it.
struct alignas(64) DeviceCounters {
    std::atomic<int64_t> nSentBytes{0};
    std::atomic<int64_t> nRecvBytes{0};
    std::atomic<int64_t> nSentPackets{0};
    std::atomic<int64_t> nRecvPackets{0};
    // Packets the kernel dropped for this device's captures (ring full, interface drops).
    std::atomic<int64_t> nDrops{0};
};

// One device's counts and the analyzer of its packets, kept across openings so that its counts
// survive Stop and reopening. Its flow tap is the resolver's from construction to destruction.
class CDeviceCounter final : public IPacketAnalyzer {
public:
    // The lookup tells the host's addresses, the resolver takes the flows, the listener hears of
    // counts that moved; all three outlive the device. nCounterId names these counters.
    CDeviceCounter(const IAddressLookup& lookup, CAppResolver& resolver, ICountsListener& listener,
                   uint64_t nCounterId);
    CDeviceCounter(const CDeviceCounter&) = delete;
    CDeviceCounter& operator=(const CDeviceCounter&) = delete;
    // Any thread but a capture thread, once none fills the tap: hands the tap's flows over.
    ~CDeviceCounter();

    // Capture thread: counts one packet.
    void AnalyzePacket(PacketInfo* pInfo) override;
    // Capture thread, after a batch: forgets the batch's addresses, hands the batch's flows to
    // the resolver and tells the listener if the totals moved.
    void OnPacketsDelivered() override;
    // Capture thread: while flows start, so that their sockets are asked for while they exist.
    bool WantsPromptDelivery() override { return m_bStartsInBatch; }
    // Capture thread: the kernel's drops since this opening, added to those of earlier ones.
    void OnDropCount(int64_t nDrops) override;
    // Capture thread, after a batch and while it answers true: hands the batches' flows over
    // when the resolver has room; true while the tap still holds some.
    bool FinishWork() override;
    // Any thread.
    const DeviceCounters& GetCounters() const { return m_counters; }
    // Any thread: what the device counted as a tunnel (opened Carried), outside the totals.
    const DeviceCounters& GetInnerCounters() const { return m_inner; }
    // Any thread: the counters' id in snapshots (DeviceSnapshot::nCounterId), never 0.
    uint64_t GetCounterId() const { return m_nCounterId; }
    // The analyzer for an opening as a tunnel: counts its inner packets apart, with no flow tap
    // (their bytes are the outer flow's).
    IPacketAnalyzer& GetInnerAnalyzer() { return m_innerAnalyzer; }

    // The IP packets that the filter "tcp or udp" would not have passed, counted apart where the
    // capture passes every IP packet (PrepareOpen's bSplitTcpUdp), with no flow tap: in no
    // total, and in no application's row. Any thread.
    const DeviceCounters& GetOtherIpCounters() const { return m_otherIp; }

    // Refreshing thread, before the device's capture thread starts: this opening's choice. With
    // bSplitTcpUdp the capture passes every IP packet, and what "tcp or udp" would not have
    // passed counts apart (GetOtherIpCounters).
    void PrepareOpen(bool bCountForeign, bool bSplitTcpUdp = false);

private:
    // The analyzer of the device opened as a tunnel. Calls as CDeviceCounter's.
    class CInner final : public IPacketAnalyzer {
    public:
        explicit CInner(CDeviceCounter& device) : m_device(device) {}
        void AnalyzePacket(PacketInfo* pInfo) override;
        void OnPacketsDelivered() override;
        void OnDropCount(int64_t nDrops) override;

    private:
        CDeviceCounter& m_device;
    };
    // Capture thread: counts a packet that repeats the last flow of its direction
    // (CFlowTap::CountRepeat4 or 6); false for others.
    template <CFlowTap::ERepeat (CFlowTap::*fnRepeat)(const PacketInfo&, int64_t)>
    bool CountRepeat(const PacketInfo& info);
    // Capture thread: AnalyzePacket out of line, so that IPv4's repeats need no registers
    // saved: for packets of other families, for those that repeat no flow, and for those
    // whose direction the short classification leaves, which keeps that one short too.
    [[gnu::noinline]] void AnalyzeOtherFamily(PacketInfo* pInfo);
    [[gnu::noinline]] void AnalyzeFresh(PacketInfo* pInfo);
    [[gnu::noinline]] void AnalyzeOther(PacketInfo* pInfo);
    // Capture thread: counts an IP packet that "tcp or udp" would not have passed.
    [[gnu::noinline]] void AnalyzeOtherIp(PacketInfo* pInfo);
    // Capture thread, where other IP packets count apart: judges a packet the common test left.
    [[gnu::noinline]] void AnalyzeSplit(PacketInfo* pInfo);
    // Capture thread: counts a packet the filter passes (AnalyzePacket's path without the split).
    [[gnu::always_inline]] inline void AnalyzeTcpUdp(PacketInfo* pInfo);

    const IAddressLookup& m_lookup;
    CAppResolver& m_resolver;
    ICountsListener& m_listener;
    const uint64_t m_nCounterId;
    DeviceCounters m_counters;
    DeviceCounters m_inner;
    DeviceCounters m_otherIp;
    CInner m_innerAnalyzer{*this};
    // The flows of what this device counted, for the resolver; filled by the capture thread.
    CFlowTap m_tap;
    // The capture thread's own notes, set by PrepareOpen before it starts: whether packets
    // from others count (promiscuous), whether other IP packets count apart, the counts when the
    // last batch ended, the host's addresses as the batch's first packet found them, and the drops
    // of earlier openings.
    bool m_bCountForeign = false;
    bool m_bSplitTcpUdp = false;
    int64_t m_nMark = 0;
    bool m_bStartsInBatch = false; // the last batch queued flow starts
    const CAddressTable* m_pAddresses = nullptr;
    int64_t m_nDropBase = 0;
};
