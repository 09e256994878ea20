#include "OrvekMeter.h"

#include "CaptureAdvice.h"
#include "ZarnException.h"

#include <algorithm>

COrvekMeter::COrvekMeter(IMeterView& view, const IAddressLookup& lookup, ICaptureControl& control)
    : m_view(view), m_lookup(lookup), m_control(control), m_counting(m_capture) {}

COrvekMeter::COrvekMeter(IMeterView& view, const IAddressLookup& lookup, ICaptureControl& control,
                         ICountingBackend& counting)
    : m_view(view), m_lookup(lookup), m_control(control), m_counting(counting) {}

COrvekMeter::~COrvekMeter() {
    StopCapture();
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

void COrvekMeter::SetFlowOwners(IFlowOwners* pOwners) {
    {
        std::lock_guard<std::mutex> guard(m_mtxSettings);
        m_bOwnersInKernel = pOwners != nullptr;
    }
    m_apps.GetResolver().SetFlowOwners(pOwners);
}

void COrvekMeter::SetCapturingBinary(const std::string& strPath) {
    std::lock_guard<std::mutex> guard(m_mtxSettings);
    m_strCapturingBinary = strPath;
}

CaptureRequest COrvekMeter::OnAdapterFound(const char* szDeviceName, bool bCarried,
                                           const OuterFlow& outer) {
    CaptureRequest request;
    bool bSplitTcpUdp = false;
    {
        std::lock_guard<std::mutex> guard(m_mtxSettings);
        request.strFilter = m_strFilter;
        request.bPromiscuous = m_bPromiscuous;
        bSplitTcpUdp = m_bCountEveryIp && m_strFilter == kDefaultFilter && !bCarried;
        // Asked in user space, a flow's socket must be asked for while it exists: many live a
        // few milliseconds. The kernel's block timer costs nothing while no packet waits.
        if (!m_bOwnersInKernel) {
            request.nDeliveryMs = kFlowStartDeliveryMs;
        }
    }
    if (bSplitTcpUdp) {
        request.strFilter = kEveryIpFilter;
    }
    CDeviceCounter& device = m_capture.Open(szDeviceName);
    device.PrepareOpen(request.bPromiscuous, bSplitTcpUdp);
    request.pAnalyzer = &device;
    if (bCarried) {
        // A tunnel's inner traffic is all it carried, whatever the filter: its outer packets,
        // UDP or TCP to the filter, carry all of it, so that its overhead is only what
        // tunnelling added. An always-true filter keeps the kernel's cut to the snapshot length.
        request.strFilter = kEveryPacketFilter;
        request.pAnalyzer = &device.GetInnerAnalyzer();
        m_tunnels.NoteOpened(szDeviceName, device.GetCounterId(), outer);
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
    m_apps.Start();
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
    m_apps.Stop();
}

void COrvekMeter::SetGoneExpiry(std::chrono::steady_clock::duration expiry) {
    m_capture.SetGoneExpiry(expiry);
}

int64_t COrvekMeter::GetRecvBytes() const {
    return m_counting.GetTotals().nRecvBytes;
}

int64_t COrvekMeter::GetSentBytes() const {
    return m_counting.GetTotals().nSentBytes;
}

void COrvekMeter::SetCountEveryIp(bool bEveryIp) {
    std::lock_guard<std::mutex> guard(m_mtxSettings);
    m_bCountEveryIp = bEveryIp;
}

MeterSnapshot COrvekMeter::GetSnapshot() const {
    return MakeSnapshot(false);
}

MeterSnapshot COrvekMeter::GetEveryIpSnapshot() const {
    return MakeSnapshot(true);
}

MeterSnapshot COrvekMeter::MakeSnapshot(bool bEveryIp) const {
    MeterSnapshot snapshot;
    // Before the counters, which then hold at least what the resolver had.
    std::vector<AppUsage> resolved = m_apps.ReadRows();
    snapshot.connections = m_apps.ReadConnections(snapshot.nOtherConnections);
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
    const CTunnelBook::OuterBytes outerBytes = m_tunnels.ReadOuterBytes();
    std::vector<ListedDevice> listed;
    listed.reserve(snapshot.devices.size());
    for (const DeviceSnapshot& device : snapshot.devices) {
        listed.push_back({device.strName, device.strKind});
    }
    const CountsReading counts = m_counting.ReadCounts(listed);
    // Here, not per packet: the counts a client rates over this time are those just read.
    snapshot.nTakenNs = SnapshotClockNs();
    m_tunnels.Forget(counts.forgotten);
    snapshot.nSentBytes = counts.totals.nSentBytes;
    snapshot.nRecvBytes = counts.totals.nRecvBytes;
    for (const DeviceCounts& counted : counts.devices) {
        auto it = std::ranges::find(snapshot.devices, counted.strName, &DeviceSnapshot::strName);
        if (it == snapshot.devices.end()) {
            it = snapshot.devices.insert(snapshot.devices.end(), DeviceSnapshot{});
            it->strName = counted.strName;
            it->eState = EDeviceState::Gone;
            it->strKind = counted.strKind;
            it->bCountable = false;
        }
        it->nSentBytes = counted.nSentBytes;
        it->nRecvBytes = counted.nRecvBytes;
        it->nSentPackets = counted.nSentPackets;
        it->nRecvPackets = counted.nRecvPackets;
        it->nDrops = counted.nDrops;
        it->nCounterId = counted.nCounterId;
        // A tunnel's inner traffic is shown beside the totals, never in them.
        it->nInnerSentBytes = counted.nInnerSentBytes;
        it->nInnerRecvBytes = counted.nInnerRecvBytes;
        it->nInnerSentPackets = counted.nInnerSentPackets;
        it->nInnerRecvPackets = counted.nInnerRecvPackets;
        if (bEveryIp) {
            it->nSentBytes += counted.nOtherIpSentBytes;
            it->nRecvBytes += counted.nOtherIpRecvBytes;
            it->nSentPackets += counted.nOtherIpSentPackets;
            it->nRecvPackets += counted.nOtherIpRecvPackets;
        }
    }
    if (bEveryIp) {
        snapshot.nSentBytes += counts.otherIp.nSentBytes;
        snapshot.nRecvBytes += counts.otherIp.nRecvBytes;
        const auto nReason = static_cast<uint32_t>(EUnattributed::NotTcpUdp);
        auto it = std::ranges::find(resolved, nReason, &AppUsage::nReason);
        if (it == resolved.end()) {
            it = resolved.insert(resolved.end(),
                                 AppUsage{DescribeUnattributed(EUnattributed::NotTcpUdp), nReason});
        }
        it->nSentBytes += counts.otherIp.nSentBytes;
        it->nRecvBytes += counts.otherIp.nRecvBytes;
    }
    m_tunnels.FillOuter(snapshot.devices, outerBytes);
    // What the resolver has not had yet is pending.
    snapshot.apps = std::move(resolved);
    BalanceAppRows(snapshot.apps, snapshot.nSentBytes, snapshot.nRecvBytes);
    return snapshot;
}

void COrvekMeter::UpdateCounters() {
    m_nShownRecv = GetRecvBytes();
    m_nShownSent = GetSentBytes();
    m_view.ShowCounters(m_nShownRecv, m_nShownSent);
}

bool COrvekMeter::HaveTotalsMoved() const {
    return GetRecvBytes() != m_nShownRecv || GetSentBytes() != m_nShownSent;
}
