#include "OrvekMeter.h"

#include "Adapter.h"
#include "AdapterManager.h"
#include "ZarnException.h"

#include <cstdio>
#include <cstring>
#include <pcap/pcap.h>

namespace {

constexpr uint32_t kMinimumIPv4Header = 20;
constexpr double kBytesToKibi = 0.0009765625;

std::string FormatCounter(const char* szFormat, int64_t nBytes) {
    char szText[64];
    std::snprintf(szText, sizeof szText, szFormat,
                  static_cast<double>(nBytes) * kBytesToKibi * kBytesToKibi);
    return szText;
}

} // namespace

PacketSource FindPacketSource(const PacketInfo& info) {
    const uint64_t nCaptured = info.pHeader->caplen;
    const uint64_t nStart = info.nLinkHeaderLength;
    if (info.eNetworkProtocol == ENetworkProtocol::IPv6) {
        if (nCaptured < nStart + 24) {
            return {PacketSource::EKind::Unseen, 0, nullptr};
        }
        return {PacketSource::EKind::IPv6, 0, info.pData + nStart + 8};
    }
    if (nCaptured < nStart + 16) {
        return {PacketSource::EKind::Unseen, 0, nullptr};
    }
    uint32_t nAddress;
    std::memcpy(&nAddress, info.pData + nStart + 12, sizeof nAddress);
    return {PacketSource::EKind::IPv4, nAddress, nullptr};
}

COrvekMeter::COrvekMeter(IMeterView& view) : COrvekMeter(view, *CAdapterManager::GetInstance()) {}

COrvekMeter::COrvekMeter(IMeterView& view, const IAddressLookup& lookup)
    : m_view(view), m_lookup(lookup) {}

COrvekMeter::~COrvekMeter() {
    StopCapture();
}

void COrvekMeter::AnalyzePacket(PacketInfo* pInfo) {
    const uint64_t nWire = pInfo->pHeader->len;
    if (nWire < uint64_t{pInfo->nLinkHeaderLength} + kMinimumIPv4Header) {
        return;
    }
    const auto nCount = static_cast<int64_t>(nWire - pInfo->nLinkHeaderLength);
    const PacketSource source = FindPacketSource(*pInfo);
    bool bLocal = false;
    switch (source.eKind) {
    case PacketSource::EKind::IPv4:
        bLocal = m_lookup.IsLocalAddress(source.nIPv4);
        break;
    case PacketSource::EKind::IPv6:
        bLocal = m_lookup.IsLocalAddress6(source.pbIPv6);
        break;
    case PacketSource::EKind::Unseen:
        break; // a source the capture does not hold is not shown to be ours
    }
    DeviceCounters& counters = *pInfo->pCounters;
    std::atomic<int64_t>& nPackets = bLocal ? counters.nSentPackets : counters.nRecvPackets;
    // This thread is the counters' only writer.
    nPackets.store(nPackets.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    // Sequentially consistent with ReleaseDisplay, so that either this thread sees the cleared
    // flag or the releasing thread sees this count.
    (bLocal ? counters.nSentBytes : counters.nRecvBytes).fetch_add(nCount);
    // At most one display update is pending; the first packet after it was shown asks again.
    if (!m_bDisplayPending.load() && !m_bDisplayPending.exchange(true, std::memory_order_acq_rel)) {
        PostDisplayUpdate();
    }
}

void COrvekMeter::OnException(const CZarnException& e) {
    if (!e.HasDescription()) {
        return;
    }
    m_view.ShowMessage(e.GetDescription(), kExceptionCaption);
}

void COrvekMeter::OnAdapterFound(CAdapter* pAdapter, const char* szDeviceName) {
    std::string strFilter;
    bool bPromiscuous = false;
    {
        std::lock_guard<std::mutex> guard(m_mtxSettings);
        strFilter = m_strFilter;
        bPromiscuous = m_bPromiscuous;
    }
    pAdapter->SetCounters(GetDeviceCounters(szDeviceName));
    pAdapter->Open(szDeviceName, bPromiscuous);
    try {
        pAdapter->SetFilter(strFilter.c_str());
    } catch (...) {
        // Left running, the device would count everything the refused filter was to exclude.
        pAdapter->Close();
        throw;
    }
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

void COrvekMeter::StartCapture() {
    CAdapterManager::GetInstance()->Start(this);
}

void COrvekMeter::StopCapture() {
    CAdapterManager::GetInstance()->StopAll();
}

DeviceCounters* COrvekMeter::GetDeviceCounters(const std::string& strDevice) {
    std::lock_guard<std::mutex> guard(m_mtxDevices);
    std::unique_ptr<DeviceCounters>& pCounters = m_devices[strDevice];
    if (!pCounters) {
        pCounters = std::make_unique<DeviceCounters>();
    }
    return pCounters.get();
}

int64_t COrvekMeter::GetRecvBytes() const {
    std::lock_guard<std::mutex> guard(m_mtxDevices);
    int64_t nTotal = 0;
    for (const auto& [strName, pCounters] : m_devices) {
        nTotal += pCounters->nRecvBytes.load();
    }
    return nTotal;
}

int64_t COrvekMeter::GetSentBytes() const {
    std::lock_guard<std::mutex> guard(m_mtxDevices);
    int64_t nTotal = 0;
    for (const auto& [strName, pCounters] : m_devices) {
        nTotal += pCounters->nSentBytes.load();
    }
    return nTotal;
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

void COrvekMeter::PostDisplayUpdate() {
    PostToView(&COrvekMeter::OnDisplayUpdate, 0);
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
    m_bDisplayPending.store(false);
    if (GetRecvBytes() == m_nShownRecv && GetSentBytes() == m_nShownSent) {
        return false;
    }
    // Counts arrived while the update was pending; whoever sets the flag first shows them.
    return !m_bDisplayPending.exchange(true, std::memory_order_acq_rel);
}

std::string COrvekMeter::FormatRecv(int64_t nBytes) {
    return FormatCounter(" Recv  %.3f Mb", nBytes);
}

std::string COrvekMeter::FormatSent(int64_t nBytes) {
    return FormatCounter(" Sent  %.3f Mb", nBytes);
}
