#include "OrvekMeter.h"

#include "CaptureAdvice.h"
#include "Segments.h"
#include "ZarnException.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <pcap/pcap.h>
#include <random>

namespace {

constexpr uint32_t kMinimumIPv4Header = 20;
constexpr double kBytesToKibi = 0.0009765625;
constexpr uint32_t kIPv4Source = 12, kIPv4Dest = 16, kIPv6Source = 8, kIPv6Dest = 24;

// " Recv  %.3f Mb" with a decimal point whatever the C library's locale, which a desktop session
// may set to one with a decimal comma.
std::string FormatCounter(const char* szLabel, int64_t nBytes) {
    return std::string(" ") + szLabel + "  " + COrvekMeter::FormatMebibytes(nBytes) + " Mb";
}

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

COrvekMeter::COrvekMeter(IMeterView& view, const IAddressLookup& lookup, ICaptureControl& control)
    : m_view(view), m_lookup(lookup), m_control(control) {
    std::random_device random;
    m_nNextCounterId = uint64_t{random()} << 32 | random();
}

COrvekMeter::~COrvekMeter() {
    StopCapture();
}

COrvekMeter::CDevice::CDevice(COrvekMeter& meter) : m_meter(meter) {
    m_meter.m_resolver.AddTap(&m_tap);
}

void COrvekMeter::CDevice::AnalyzePacket(PacketInfo* pInfo) {
    if (pInfo->eNetworkProtocol == ENetworkProtocol::IPv4) [[likely]] {
        if (!CountRepeat<&CFlowTap::CountRepeat4>(*pInfo)) {
            AnalyzeFresh(pInfo);
        }
        return;
    }
    AnalyzeOtherFamily(pInfo);
}

void COrvekMeter::CDevice::AnalyzeOtherFamily(PacketInfo* pInfo) {
    if (!CountRepeat<&CFlowTap::CountRepeat6>(*pInfo)) {
        AnalyzeFresh(pInfo);
    }
}

template <CFlowTap::ERepeat (CFlowTap::*fnRepeat)(const PacketInfo&, int64_t)>
[[gnu::always_inline]] inline bool COrvekMeter::CDevice::CountRepeat(const PacketInfo& info) {
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

void COrvekMeter::CDevice::AnalyzeFresh(PacketInfo* pInfo) {
    if (const CAddressTable* pAddresses = m_pAddresses) [[likely]] {
        if (const EDirection eDirection = ClassifyCommon(*pInfo, *pAddresses, m_bCountForeign);
            eDirection != kUndecided) [[likely]] {
            Count(m_counters, m_tap, eDirection, *pInfo);
            return;
        }
    }
    AnalyzeOther(pInfo);
}

void COrvekMeter::CDevice::AnalyzeOther(PacketInfo* pInfo) {
    // The host's addresses are looked up once a batch, at its first packet (OnPacketsDelivered
    // forgets them after it): a table once returned stays readable until capture stops.
    if (m_pAddresses == nullptr) {
        m_pAddresses = &m_meter.m_lookup.GetAddressTable();
    }
    Count(m_counters, m_tap, ClassifyPacket(*pInfo, *m_pAddresses, m_bCountForeign), *pInfo);
}

void COrvekMeter::CDevice::CInner::AnalyzePacket(PacketInfo* pInfo) {
    CDevice& device = m_device;
    if (device.m_pAddresses == nullptr) {
        device.m_pAddresses = &device.m_meter.m_lookup.GetAddressTable();
    }
    CNoTap tap;
    Count(device.m_inner, tap, ClassifyPacket(*pInfo, *device.m_pAddresses, device.m_bCountForeign),
          *pInfo);
}

void COrvekMeter::CDevice::CInner::OnPacketsDelivered() {
    m_device.m_pAddresses = nullptr; // the next batch reads the addresses afresh
}

void COrvekMeter::CDevice::CInner::OnDropCount(int64_t nDrops) {
    m_device.m_counters.nDrops.store(m_device.m_nDropBase + nDrops, std::memory_order_relaxed);
}

void COrvekMeter::CDevice::OnPacketsDelivered() {
    // The next batch reads the addresses afresh, and its packets repeat none of this one's.
    m_pAddresses = nullptr;
    m_tap.ForgetTrains();
    if (m_tap.HandOver(CFlowTap::NowNs())) {
        m_meter.m_resolver.Wake();
    }
    const int64_t nTotal = m_counters.nSentBytes.load(std::memory_order_relaxed) +
                           m_counters.nRecvBytes.load(std::memory_order_relaxed);
    if (nTotal == m_nMark) {
        return; // the batch counted nothing
    }
    m_nMark = nTotal;
    m_meter.OnCountsMoved();
}

void COrvekMeter::CDevice::OnDropCount(int64_t nDrops) {
    m_counters.nDrops.store(m_nDropBase + nDrops, std::memory_order_relaxed);
    // Called also once traffic stops: the last batches' flows reach the resolver then.
    if (m_tap.HandOver(CFlowTap::NowNs())) {
        m_meter.m_resolver.Wake();
    }
}

void COrvekMeter::CDevice::PrepareOpen(bool bCountForeign) {
    m_bCountForeign = bCountForeign;
    // An earlier capture's address table is gone: the first batch looks the addresses up again,
    // and counts no packet as a repeat of that capture's.
    m_pAddresses = nullptr;
    m_tap.ForgetTrains();
    // libpcap's statistics are per handle: drops of earlier openings stay counted.
    m_nDropBase = m_counters.nDrops.load(std::memory_order_relaxed);
}

void COrvekMeter::OnCountsMoved() {
    // At most one display update is pending; the first batch after it was shown asks again. The
    // exchange publishes the batch's counts to ReleaseDisplay's exchange, which reads its value:
    // either this thread finds the flag cleared and posts, or the releasing thread sees the counts.
    if (!m_bDisplayPending.exchange(true, std::memory_order_acq_rel)) {
        PostToView(&COrvekMeter::OnDisplayUpdate, 0);
    }
}

void COrvekMeter::OnException(const CZarnException& e) {
    if (!e.HasDescription()) {
        return;
    }
    m_view.ShowMessage(DescribeFailure(e), kExceptionCaption);
}

std::string COrvekMeter::DescribeFailure(const CZarnException& e) const {
    return IsPermissionFailure(e) ? DescribeError(e) + "\n" + DescribePermissionFix()
                                  : DescribeError(e);
}

std::string COrvekMeter::DescribePermissionFix() const {
    std::string strBinary;
    {
        std::lock_guard<std::mutex> guard(m_mtxSettings);
        strBinary = m_strCapturingBinary;
    }
    return ::DescribePermissionFix(strBinary.empty() ? GetSelfPath() : strBinary);
}

void COrvekMeter::SetCapturingBinary(const std::string& strPath) {
    std::lock_guard<std::mutex> guard(m_mtxSettings);
    m_strCapturingBinary = strPath;
}

CaptureRequest COrvekMeter::OnAdapterFound(const char* szDeviceName, bool bCarried,
                                           const OuterFlow& outer) {
    CaptureRequest request;
    {
        std::lock_guard<std::mutex> guard(m_mtxSettings);
        request.strFilter = m_strFilter;
        request.bPromiscuous = m_bPromiscuous;
    }
    CDevice& device = GetDevice(szDeviceName);
    device.PrepareOpen(request.bPromiscuous);
    request.pAnalyzer = &device;
    if (bCarried) {
        // A tunnel's inner traffic is all it carried, whatever the filter: its outer packets,
        // UDP or TCP to the filter, carry all of it, so that its overhead is only what
        // tunnelling added. An always-true filter keeps the kernel's cut to the snapshot length.
        request.strFilter = kEveryPacketFilter;
        request.pAnalyzer = &device.m_innerAnalyzer;
        std::lock_guard<std::mutex> guard(m_mtxDevices);
        if (m_outerFlows[szDeviceName] != outer) {
            m_outerFlows[szDeviceName] = outer;
            m_resolver.SetOuterFlows(m_outerFlows);
        }
    }
    // The filter also makes the kernel cut each packet to the snapshot length; a refused filter
    // leaves the device closed, as left running it would count everything the filter was to
    // exclude.
    request.nSnapshotLength = kSnapshotLength;
    return request;
}

void COrvekMeter::OnCurrentException() {
    m_view.ShowMessage(DescribeError(CurrentError()), kExceptionCaption);
}

void COrvekMeter::SetCaptureSettings(const std::string& strFilter, bool bPromiscuous) {
    std::lock_guard<std::mutex> guard(m_mtxSettings);
    m_strFilter = strFilter;
    m_bPromiscuous = bPromiscuous;
}

std::string COrvekMeter::GetFilter() const {
    std::lock_guard<std::mutex> guard(m_mtxSettings);
    return m_strFilter;
}

bool COrvekMeter::IsPromiscuous() const {
    std::lock_guard<std::mutex> guard(m_mtxSettings);
    return m_bPromiscuous;
}

void COrvekMeter::SetExcludedDevices(const std::set<std::string>& excluded) {
    m_control.SetExcludedDevices(excluded);
}

void COrvekMeter::SetTunnels(const std::map<std::string, std::string>& tunnels) {
    m_control.SetChosenTunnels(tunnels);
}

void COrvekMeter::SetNotTunnels(const std::set<std::string>& devices) {
    m_control.SetNotTunnels(devices);
}

std::set<std::string> COrvekMeter::GetExcludedDevices() const {
    return m_control.GetExcludedDevices();
}

std::vector<DeviceState> COrvekMeter::GetDeviceStates() const {
    return m_control.GetDeviceStates();
}

void COrvekMeter::RefreshDeviceStates() {
    try {
        m_control.RefreshDeviceStates();
    } catch (const CZarnException&) {
        // Nothing to list: Start says why.
    }
}

std::string COrvekMeter::StartCapture() {
    m_resolver.Start();
    const std::vector<DeviceFailure> failures = m_control.Start(this);
    std::string strMessage = DescribeDeviceFailures(failures);
    if (std::ranges::any_of(failures, [](const DeviceFailure& failure) {
            return IsPermissionFailure(failure.error);
        })) {
        // The advice once, after every device's text. (Appended in two steps: GCC 12 warns,
        // wrongly, of overlapping copies in "\n" + a temporary, which breaks optimised builds.)
        strMessage.append("\n").append(DescribePermissionFix());
    }
    return strMessage;
}

void COrvekMeter::StopCapture() {
    m_control.StopAll();
    // No capture thread runs now: what their tables still hold is resolved, so that the rows
    // add up to the totals, and the worker rests until the next Capture.
    m_resolver.StopWorker();
    m_resolver.DrainStopped();
}

COrvekMeter::CDevice& COrvekMeter::GetDevice(const std::string& strDevice) {
    std::lock_guard<std::mutex> guard(m_mtxDevices);
    std::unique_ptr<CDevice>& pDevice = m_devices[strDevice];
    if (!pDevice) {
        pDevice = std::make_unique<CDevice>(*this);
        m_nNextCounterId += m_nNextCounterId == 0 ? 1 : 0; // 0 is no device's
        pDevice->m_nCounterId = m_nNextCounterId++;
    }
    // Not gone while it is being opened: a snapshot cannot forget it under the adapter.
    pDevice->m_tGoneSince.reset();
    return *pDevice;
}

void COrvekMeter::SetGoneExpiry(std::chrono::steady_clock::duration expiry) {
    std::lock_guard<std::mutex> guard(m_mtxDevices);
    m_goneExpiry = expiry;
}

int64_t COrvekMeter::SumOverDevices(std::atomic<int64_t> DeviceCounters::*pTotal) const {
    std::lock_guard<std::mutex> guard(m_mtxDevices);
    int64_t nTotal = pTotal == &DeviceCounters::nSentBytes ? m_nForgottenSent : m_nForgottenRecv;
    for (const auto& [strName, pDevice] : m_devices) {
        nTotal += (pDevice->GetCounters().*pTotal).load();
    }
    return nTotal;
}

int64_t COrvekMeter::GetRecvBytes() const {
    return SumOverDevices(&DeviceCounters::nRecvBytes);
}

int64_t COrvekMeter::GetSentBytes() const {
    return SumOverDevices(&DeviceCounters::nSentBytes);
}

MeterSnapshot COrvekMeter::GetSnapshot() const {
    MeterSnapshot snapshot;
    // Before the counters, which then hold at least what the resolver had.
    std::vector<AppUsage> resolved = m_resolver.GetUsage();
    snapshot.bMonitorUp = m_control.IsMonitorUp();
    for (const DeviceState& state : m_control.GetDeviceStates()) {
        DeviceSnapshot& device = snapshot.devices.emplace_back();
        device.strName = state.strName;
        device.eState = state.eState;
        device.strDetail = state.strError;
        device.bChosen = state.bChosen;
        device.strKind = state.strKind;
        device.bCapturing = state.eState == EDeviceState::Capturing;
        // Loopback traffic never leaves the host: no choice of the user makes it count.
        device.bCountable = state.eState != EDeviceState::Loopback;
        if (state.eState == EDeviceState::Carried) {
            device.bCarried = true;
            device.strCarriedBy = state.strError;
        }
        device.strReason = state.strReason;
    }
    const std::map<std::string, std::pair<int64_t, int64_t>> outerBytes =
        m_resolver.GetOuterBytes();
    const auto tNow = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(m_mtxDevices);
    snapshot.nSentBytes = m_nForgottenSent;
    snapshot.nRecvBytes = m_nForgottenRecv;
    for (auto itDevice = m_devices.begin(); itDevice != m_devices.end();) {
        const auto& [strName, pDevice] = *itDevice;
        const DeviceCounters& counters = pDevice->GetCounters();
        auto it = std::ranges::find(snapshot.devices, strName, &DeviceSnapshot::strName);
        if (it != snapshot.devices.end()) {
            pDevice->m_tGoneSince.reset();
        } else if (!pDevice->m_tGoneSince) {
            pDevice->m_tGoneSince = tNow; // gone since this snapshot at least
        } else if (tNow - *pDevice->m_tGoneSince >= m_goneExpiry) {
            m_nForgottenSent += counters.nSentBytes.load();
            m_nForgottenRecv += counters.nRecvBytes.load();
            snapshot.nSentBytes += counters.nSentBytes.load();
            snapshot.nRecvBytes += counters.nRecvBytes.load();
            m_resolver.RemoveTap(&pDevice->m_tap);
            if (m_outerFlows.erase(strName) != 0) {
                m_resolver.SetOuterFlows(m_outerFlows); // back later, it measures from zero
            }
            itDevice = m_devices.erase(itDevice);
            continue;
        }
        ++itDevice;
        if (it == snapshot.devices.end()) {
            it = snapshot.devices.insert(snapshot.devices.end(), DeviceSnapshot{});
            it->strName = strName;
            it->eState = EDeviceState::Gone;
            it->strKind = pDevice->m_strKind;
            it->bCountable = false;
        } else {
            pDevice->m_strKind = it->strKind;
        }
        it->nSentBytes = counters.nSentBytes.load();
        it->nRecvBytes = counters.nRecvBytes.load();
        it->nSentPackets = counters.nSentPackets.load();
        it->nRecvPackets = counters.nRecvPackets.load();
        it->nDrops = counters.nDrops.load();
        it->nCounterId = pDevice->m_nCounterId;
        snapshot.nSentBytes += it->nSentBytes;
        snapshot.nRecvBytes += it->nRecvBytes;
        // A tunnel's inner traffic is shown beside the totals, never in them.
        const DeviceCounters& inner = pDevice->m_inner;
        it->nInnerSentBytes = inner.nSentBytes.load();
        it->nInnerRecvBytes = inner.nRecvBytes.load();
        it->nInnerSentPackets = inner.nSentPackets.load();
        it->nInnerRecvPackets = inner.nRecvPackets.load();
        if (const auto itOuter = m_outerFlows.find(strName);
            itOuter != m_outerFlows.end() && IsOuterKnown(strName, itOuter->second)) {
            it->bOuterKnown = true;
            if (const auto itBytes = outerBytes.find(strName); itBytes != outerBytes.end()) {
                it->nOuterSentBytes = itBytes->second.first;
                it->nOuterRecvBytes = itBytes->second.second;
            }
        }
    }
    // What the resolver has not had yet is pending.
    snapshot.apps = std::move(resolved);
    BalanceAppRows(snapshot.apps, snapshot.nSentBytes, snapshot.nRecvBytes);
    return snapshot;
}

bool COrvekMeter::IsOuterKnown(const std::string& strTunnel, const OuterFlow& outer) const {
    if (outer.nPort == 0) {
        return false;
    }
    // Two tunnels whose outer packets look alike (one port, a peer not told apart) cannot be
    // split: their outer flows would count for both.
    return std::ranges::none_of(m_outerFlows, [&](const auto& entry) {
        const OuterFlow& other = entry.second;
        return entry.first != strTunnel && other.nPort == outer.nPort &&
               other.nProtocol == outer.nProtocol &&
               (other.nRemoteFamily == 0 || outer.nRemoteFamily == 0 ||
                (other.nRemoteFamily == outer.nRemoteFamily && other.aRemote == outer.aRemote));
    });
}

void COrvekMeter::UpdateCounters() {
    m_nShownRecv = GetRecvBytes();
    m_nShownSent = GetSentBytes();
    m_view.ShowCounters(FormatRecv(m_nShownRecv).c_str(), FormatSent(m_nShownSent).c_str());
}

void COrvekMeter::PostToView(void (COrvekMeter::*pfn)(), int nDelayMs) {
    m_view.Post(
        [pfn, wpSelf = std::weak_ptr<COrvekMeter*>(m_pSelf)] {
            if (const auto pSelf = wpSelf.lock()) {
                ((*pSelf)->*pfn)();
            }
        },
        nDelayMs);
}

void COrvekMeter::OnDisplayUpdate() {
    UpdateCounters();
    PostToView(&COrvekMeter::OnDisplayPaced, kDisplayPaceMs);
}

void COrvekMeter::OnDisplayPaced() {
    if (ReleaseDisplay()) {
        OnDisplayUpdate();
    }
}

bool COrvekMeter::ReleaseDisplay() {
    // An exchange, not a store: it takes over the counts of the batch whose exchange it follows.
    m_bDisplayPending.exchange(false, std::memory_order_acq_rel);
    if (GetRecvBytes() == m_nShownRecv && GetSentBytes() == m_nShownSent) {
        return false;
    }
    // Counts arrived while the update was pending; whoever sets the flag first shows them.
    return !m_bDisplayPending.exchange(true, std::memory_order_acq_rel);
}

std::string COrvekMeter::FormatMebibytes(int64_t nBytes) {
    char szNumber[64];
    const double dMebibytes = static_cast<double>(nBytes) * kBytesToKibi * kBytesToKibi;
    const auto result = std::to_chars(szNumber, szNumber + sizeof szNumber, dMebibytes,
                                      std::chars_format::fixed, 3);
    return std::string(szNumber, result.ptr);
}

std::string COrvekMeter::FormatRecv(int64_t nBytes) {
    return FormatCounter("Recv", nBytes);
}

std::string COrvekMeter::FormatSent(int64_t nBytes) {
    return FormatCounter("Sent", nBytes);
}
