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

void COrvekMeter::AnalyzePacket(PacketInfo* pInfo) {
    const uint64_t nWire = pInfo->pHeader->len;
    if (nWire < uint64_t{pInfo->nLinkHeaderLength} + kMinimumIPv4Header) {
        return;
    }
    const auto nCount = static_cast<int64_t>(nWire - pInfo->nLinkHeaderLength);
    const PacketSource source = FindPacketSource(*pInfo);
    const CAdapterManager* pManager = CAdapterManager::GetInstance();
    bool bLocal = false;
    switch (source.eKind) {
    case PacketSource::EKind::IPv4:
        bLocal = pManager->IsLocalAddress(source.nIPv4);
        break;
    case PacketSource::EKind::IPv6:
        bLocal = pManager->IsLocalAddress6(source.pbIPv6);
        break;
    case PacketSource::EKind::Unseen:
        break; // a source the capture does not hold is not shown to be ours
    }
    Count(bLocal ? m_nSentBytes : m_nRecvBytes, nCount);
}

void COrvekMeter::Count(std::atomic<int64_t>& nTotal, int64_t nBytes) {
    // Sequentially consistent with ReleaseDisplay, so that either this thread sees the cleared
    // flag or the releasing thread sees this count; both are plain instructions on x86.
    nTotal.fetch_add(nBytes);
    // At most one display update is pending; the first packet after it was shown asks again.
    if (!m_bDisplayPending.load() &&
        !m_bDisplayPending.exchange(true, std::memory_order_acq_rel)) {
        PostDisplayUpdate();
    }
}

void COrvekMeter::OnException(const CZarnException& e) {
    if (!e.HasDescription()) {
        return;
    }
    ShowMessage(e.GetDescription(), kExceptionCaption);
}

void COrvekMeter::OnAdapterFound(CAdapter* pAdapter, const char* szDeviceName) {
    std::string strFilter;
    bool bPromiscuous = false;
    {
        std::lock_guard<std::mutex> guard(m_mtxSettings);
        strFilter = m_strFilter;
        bPromiscuous = m_bPromiscuous;
    }
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

void COrvekMeter::StartCapture() { CAdapterManager::GetInstance()->Start(this); }

void COrvekMeter::StopCapture() { CAdapterManager::GetInstance()->StopAll(); }

void COrvekMeter::UpdateCounters() {
    m_nShownRecv = GetRecvBytes();
    m_nShownSent = GetSentBytes();
    ShowCounters(FormatRecv(m_nShownRecv).c_str(), FormatSent(m_nShownSent).c_str());
}

bool COrvekMeter::ReleaseDisplay() {
    m_bDisplayPending.store(false);
    if (m_nRecvBytes.load() == m_nShownRecv && m_nSentBytes.load() == m_nShownSent) {
        return false;
    }
    // Counts arrived while the update was pending; whoever sets the flag first shows them.
    return !m_bDisplayPending.exchange(true, std::memory_order_acq_rel);
}

std::string COrvekMeter::FormatRecv(int64_t nBytes) { return FormatCounter(" Recv  %.3f Mb", nBytes); }

std::string COrvekMeter::FormatSent(int64_t nBytes) { return FormatCounter(" Sent  %.3f Mb", nBytes); }
