#include "DeviceCounter.h"

#include "AppResolver.h"
#include "CountingBackend.h"
#include "Segments.h"
#include "TcpUdpFilter.h"

#include <algorithm>
#include <cstring>
#include <pcap/pcap.h>

namespace {

constexpr uint32_t kMinimumIPv4Header = 20;
constexpr uint32_t kIPv4Source = 12, kIPv4Dest = 16, kIPv6Source = 8, kIPv6Dest = 24;

uint32_t ReadAddress4(const uint8_t* pData) {
    uint32_t nAddress;
    std::memcpy(&nAddress, pData, sizeof nAddress);
    return nAddress;
}

// Multicast (224.0.0.0/4) or the limited broadcast address; nAddress in packet order.
bool IsGroupAddress4(uint32_t nAddress) {
    const auto* pb = reinterpret_cast<const uint8_t*>(&nAddress);
    return (pb[0] & 0xF0) == 0xE0 || nAddress == 0xFFFFFFFF;
}

// What the short path answers where the full classification must decide. Never a verdict of the
// short path itself, which decides only packets long enough to count.
constexpr EDirection kUndecided = EDirection::Ignored;

// The direction a look-up in the host's address index leads to: eIfPresent, Forwarded for an
// address that is not the host's, kUndecided where only a search can tell.
[[gnu::always_inline]] inline EDirection Decided(EMembership eFound, EDirection eIfPresent) {
    switch (eFound) {
    case EMembership::Present:
        return eIfPresent;
    case EMembership::Absent:
        return EDirection::Forwarded;
    case EMembership::Unknown:
        break;
    }
    return kUndecided;
}

// The common packets, IP with both addresses captured: their direction in a few steps and no
// call, as ClassifyPacket gives it. kUndecided for every other packet. Packets are delivered with
// no more captured than their wire length, so a capture long enough holds what is counted.
[[gnu::always_inline]] inline EDirection
ClassifyCommonIPv4(const PacketInfo& info, const CAddressTable& addresses, bool bCountForeign) {
    const uint64_t nStart = info.nLinkHeaderLength;
    if (info.pHeader->caplen < nStart + kMinimumIPv4Header) {
        return kUndecided;
    }
    const uint8_t* pNetwork = info.pData + nStart;
    const EMembership eSource = addresses.FindIPv4(ReadAddress4(pNetwork + kIPv4Source));
    if (eSource != EMembership::Absent) {
        return Decided(eSource, EDirection::Sent);
    }
    const uint32_t nDest = ReadAddress4(pNetwork + kIPv4Dest);
    if (bCountForeign || IsGroupAddress4(nDest)) {
        return EDirection::Received;
    }
    const EMembership eDest = addresses.FindIPv4(nDest);
    if (eDest != EMembership::Absent) {
        return Decided(eDest, EDirection::Received);
    }
    return Decided(addresses.FindBroadcastIPv4(nDest), EDirection::Received);
}

[[gnu::always_inline]] inline EDirection
ClassifyCommonIPv6(const PacketInfo& info, const CAddressTable& addresses, bool bCountForeign) {
    const uint64_t nStart = info.nLinkHeaderLength;
    if (info.pHeader->caplen < nStart + kIPv6Dest + 16) {
        return kUndecided;
    }
    const uint8_t* pNetwork = info.pData + nStart;
    const EMembership eSource = addresses.FindIPv6(pNetwork + kIPv6Source);
    if (eSource != EMembership::Absent) {
        return Decided(eSource, EDirection::Sent);
    }
    const uint8_t* pbDest = pNetwork + kIPv6Dest;
    if (bCountForeign || pbDest[0] == 0xFF) {
        return EDirection::Received;
    }
    return Decided(addresses.FindIPv6(pbDest), EDirection::Received);
}

[[gnu::always_inline]] inline EDirection
ClassifyCommon(const PacketInfo& info, const CAddressTable& addresses, bool bCountForeign) {
    switch (info.eNetworkProtocol) {
    case ENetworkProtocol::IPv4:
        return ClassifyCommonIPv4(info, addresses, bCountForeign);
    case ENetworkProtocol::IPv6:
        return ClassifyCommonIPv6(info, addresses, bCountForeign);
    case ENetworkProtocol::Other:
        break;
    }
    return kUndecided;
}

// Adds to one direction's counters; this thread is their only writer: plain stores, no locked
// instruction per packet.
[[gnu::always_inline]] inline void Add(DeviceCounters& counters, bool bSent, int64_t nPackets,
                                       int64_t nBytes) {
    std::atomic<int64_t>& nPacketTotal = bSent ? counters.nSentPackets : counters.nRecvPackets;
    std::atomic<int64_t>& nByteTotal = bSent ? counters.nSentBytes : counters.nRecvBytes;
    nPacketTotal.store(nPacketTotal.load(std::memory_order_relaxed) + nPackets,
                       std::memory_order_relaxed);
    nByteTotal.store(nByteTotal.load(std::memory_order_relaxed) + nBytes,
                     std::memory_order_relaxed);
}

// The tap of a tunnel's inner packets: none. Their bytes are the outer flow's, which the
// applications have from the carrier's tap already.
struct CNoTap {
    void Add(const PacketInfo&, bool, int64_t) {}
};

// A packet longer than its device's MTU, merged by offloads: counted as the wire's segments,
// under its flow too, so that the applications add up to the totals.
template <class TTap>
[[gnu::noinline]] void CountMerged(DeviceCounters& counters, TTap& tap, bool bSent,
                                   const PacketInfo& info, uint32_t nNetworkLength) {
    const uint32_t nCaptured = info.pHeader->caplen;
    const uint32_t nStart = std::min(info.nLinkHeaderLength, nCaptured);
    const SegmentVerdict verdict = CountSegments(info.eNetworkProtocol, info.pData + nStart,
                                                 nCaptured - nStart, nNetworkLength, info.nMtu);
    const int64_t nBytes = int64_t{nNetworkLength} + static_cast<int64_t>(verdict.nExtraBytes);
    Add(counters, bSent, verdict.nSegments, nBytes);
    tap.Add(info, bSent, nBytes);
}

// Counts one packet of a direction into its device's counters, and under its flow.
template <class TTap>
[[gnu::always_inline]] inline void Count(DeviceCounters& counters, TTap& tap, EDirection eDirection,
                                         const PacketInfo& info) {
    if (eDirection == EDirection::Ignored || eDirection == EDirection::Forwarded) {
        return;
    }
    const bool bSent = eDirection == EDirection::Sent;
    const uint32_t nNetworkLength = info.pHeader->len - info.nLinkHeaderLength;
    if (nNetworkLength > info.nMtu) [[unlikely]] {
        CountMerged(counters, tap, bSent, info, nNetworkLength);
        return;
    }
    Add(counters, bSent, 1, nNetworkLength);
    tap.Add(info, bSent, nNetworkLength);
}

} // namespace

EDirection ClassifyPacket(const PacketInfo& info, const CAddressTable& addresses,
                          bool bCountForeign) {
    const uint64_t nWire = info.pHeader->len;
    const uint64_t nCaptured = info.pHeader->caplen;
    const uint64_t nStart = info.nLinkHeaderLength;
    if (nWire < nStart + kMinimumIPv4Header) {
        return EDirection::Ignored;
    }
    if (const EDirection eCommon = ClassifyCommon(info, addresses, bCountForeign);
        eCommon != kUndecided) {
        return eCommon;
    }
    const uint8_t* pNetwork = info.pData + nStart;
    if (info.eNetworkProtocol == ENetworkProtocol::IPv6) {
        if (nCaptured < nStart + kIPv6Source + 16) {
            return EDirection::Received;
        }
        if (addresses.ContainsIPv6(pNetwork + kIPv6Source)) {
            return EDirection::Sent;
        }
        if (bCountForeign || nCaptured < nStart + kIPv6Dest + 16) {
            return EDirection::Received;
        }
        const uint8_t* pbDest = pNetwork + kIPv6Dest;
        return pbDest[0] == 0xFF || addresses.ContainsIPv6(pbDest) ? EDirection::Received
                                                                   : EDirection::Forwarded;
    }
    if (nCaptured < nStart + kIPv4Source + 4) {
        return EDirection::Received;
    }
    if (addresses.ContainsIPv4(ReadAddress4(pNetwork + kIPv4Source))) {
        return EDirection::Sent;
    }
    if (bCountForeign || info.eNetworkProtocol != ENetworkProtocol::IPv4 ||
        nCaptured < nStart + kIPv4Dest + 4) {
        return EDirection::Received;
    }
    const uint32_t nDest = ReadAddress4(pNetwork + kIPv4Dest);
    return IsGroupAddress4(nDest) || addresses.ContainsIPv4(nDest) ||
                   addresses.ContainsBroadcastIPv4(nDest)
               ? EDirection::Received
               : EDirection::Forwarded;
}

CDeviceCounter::CDeviceCounter(const IAddressLookup& lookup, CAppResolver& resolver,
                               ICountsListener& listener, uint64_t nCounterId)
    : m_lookup(lookup), m_resolver(resolver), m_listener(listener), m_nCounterId(nCounterId) {
    m_resolver.AddTap(&m_tap);
}

CDeviceCounter::~CDeviceCounter() {
    m_resolver.RemoveTap(&m_tap);
}

void CDeviceCounter::AnalyzePacket(PacketInfo* pInfo) {
    // The packets the common test leaves are judged out of line: no call here, so that the
    // common path saves no registers.
    if (m_bSplitTcpUdp && !IsCommonTcpOrUdp(*pInfo)) {
        AnalyzeSplit(pInfo);
        return;
    }
    AnalyzeTcpUdp(pInfo);
}

void CDeviceCounter::AnalyzeSplit(PacketInfo* pInfo) {
    if (PassesTcpOrUdp(*pInfo)) {
        AnalyzeTcpUdp(pInfo);
    } else {
        AnalyzeOtherIp(pInfo);
    }
}

void CDeviceCounter::AnalyzeTcpUdp(PacketInfo* pInfo) {
    if (pInfo->eNetworkProtocol == ENetworkProtocol::IPv4) [[likely]] {
        if (!CountRepeat<&CFlowTap::CountRepeat4>(*pInfo)) {
            AnalyzeFresh(pInfo);
        }
        return;
    }
    AnalyzeOtherFamily(pInfo);
}

void CDeviceCounter::AnalyzeOtherFamily(PacketInfo* pInfo) {
    if (!CountRepeat<&CFlowTap::CountRepeat6>(*pInfo)) {
        AnalyzeFresh(pInfo);
    }
}

template <CFlowTap::ERepeat (CFlowTap::*fnRepeat)(const PacketInfo&, int64_t)>
[[gnu::always_inline]] inline bool CDeviceCounter::CountRepeat(const PacketInfo& info) {
    // A packet of the flow that came last in its direction goes as that one went: no look-up
    // of its addresses or its flow. Merged packets never take this way, as they count more.
    const uint32_t nNetworkLength = info.pHeader->len - info.nLinkHeaderLength;
    if (nNetworkLength > info.nMtu) [[unlikely]] {
        return false;
    }
    const CFlowTap::ERepeat eRepeat = (m_tap.*fnRepeat)(info, nNetworkLength);
    if (eRepeat == CFlowTap::ERepeat::No) {
        return false;
    }
    Add(m_counters, eRepeat == CFlowTap::ERepeat::Sent, 1, nNetworkLength);
    return true;
}

void CDeviceCounter::AnalyzeFresh(PacketInfo* pInfo) {
    if (const CAddressTable* pAddresses = m_pAddresses) [[likely]] {
        if (const EDirection eDirection = ClassifyCommon(*pInfo, *pAddresses, m_bCountForeign);
            eDirection != kUndecided) [[likely]] {
            Count(m_counters, m_tap, eDirection, *pInfo);
            return;
        }
    }
    AnalyzeOther(pInfo);
}

void CDeviceCounter::AnalyzeOther(PacketInfo* pInfo) {
    // The host's addresses are looked up once a batch, at its first packet (OnPacketsDelivered
    // forgets them after it): a table once returned stays readable until capture stops.
    if (m_pAddresses == nullptr) {
        m_pAddresses = &m_lookup.GetAddressTable();
    }
    Count(m_counters, m_tap, ClassifyPacket(*pInfo, *m_pAddresses, m_bCountForeign), *pInfo);
}

void CDeviceCounter::AnalyzeOtherIp(PacketInfo* pInfo) {
    if (m_pAddresses == nullptr) {
        m_pAddresses = &m_lookup.GetAddressTable();
    }
    CNoTap tap;
    Count(m_otherIp, tap, ClassifyPacket(*pInfo, *m_pAddresses, m_bCountForeign), *pInfo);
}

void CDeviceCounter::CInner::AnalyzePacket(PacketInfo* pInfo) {
    CDeviceCounter& device = m_device;
    if (device.m_pAddresses == nullptr) {
        device.m_pAddresses = &device.m_lookup.GetAddressTable();
    }
    CNoTap tap;
    Count(device.m_inner, tap, ClassifyPacket(*pInfo, *device.m_pAddresses, device.m_bCountForeign),
          *pInfo);
}

void CDeviceCounter::CInner::OnPacketsDelivered() {
    m_device.m_pAddresses = nullptr; // the next batch reads the addresses afresh
}

void CDeviceCounter::CInner::OnDropCount(int64_t nDrops) {
    m_device.m_counters.nDrops.store(m_device.m_nDropBase + nDrops, std::memory_order_relaxed);
}

void CDeviceCounter::OnPacketsDelivered() {
    // The next batch reads the addresses afresh, and its packets repeat none of this one's.
    m_pAddresses = nullptr;
    m_tap.ForgetTrains();
    // One wake for the batch: for a table handed over, or for flows that started in it, whose
    // sockets the resolver asks for while they still exist.
    const bool bHanded = m_tap.HandOver(CFlowTap::NowNs());
    m_bStartsInBatch = m_tap.TakeStartSignal();
    if (m_bStartsInBatch || bHanded) {
        m_resolver.Wake();
    }
    // Other IP packets too: the recording of every IP packet follows them.
    const int64_t nTotal = m_counters.nSentBytes.load(std::memory_order_relaxed) +
                           m_counters.nRecvBytes.load(std::memory_order_relaxed) +
                           m_otherIp.nSentBytes.load(std::memory_order_relaxed) +
                           m_otherIp.nRecvBytes.load(std::memory_order_relaxed);
    if (nTotal == m_nMark) {
        return; // the batch counted nothing
    }
    m_nMark = nTotal;
    m_listener.OnCountsMoved();
}

void CDeviceCounter::OnDropCount(int64_t nDrops) {
    m_counters.nDrops.store(m_nDropBase + nDrops, std::memory_order_relaxed);
}

bool CDeviceCounter::FinishWork() {
    if (m_tap.HandOver(CFlowTap::NowNs())) {
        m_resolver.Wake();
    }
    return m_tap.HoldsFlows();
}

void CDeviceCounter::PrepareOpen(bool bCountForeign, bool bSplitTcpUdp) {
    m_bCountForeign = bCountForeign;
    m_bSplitTcpUdp = bSplitTcpUdp;
    // An earlier capture's address table is gone: the first batch looks the addresses up again,
    // and counts no packet as a repeat of that capture's.
    m_pAddresses = nullptr;
    m_tap.ForgetTrains();
    // libpcap's statistics are per handle: drops of earlier openings stay counted.
    m_nDropBase = m_counters.nDrops.load(std::memory_order_relaxed);
}
