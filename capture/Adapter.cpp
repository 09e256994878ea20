#include "Adapter.h"

#include "ZarnException.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/ioctl.h>

namespace {

// Captures of the headers alone take at most this many bytes per packet.
constexpr int kHeadersOnlyLength = 128;
// How often a capture thread reads the kernel's drop count while packets arrive.
constexpr int64_t kDropPollNs = 500'000'000;
// Ring bytes a captured packet takes beyond its snapshot: the kernel's header and alignment.
constexpr int kRingSlotOverhead = 96;
// Kernel ring per device. For whole packets libpcap's 2 MiB holds about 4 ms of full-size frames
// at 300k packets a second, less than a busy desktop may keep the capture thread off the
// processor; 8 MiB rides that out. Headers alone take a fraction of that room: 2 MiB is the
// smallest ring that lost nothing wherever tcpdump lost nothing in the benchmarks.
constexpr int kWholePacketBufferBytes = 8 * 1024 * 1024;
constexpr int kHeadersOnlyBufferBytes = 2 * 1024 * 1024;
// A small ring: libpcap splits rings of batched delivery into blocks of 256 KiB, so a small one is
// a ring of single packets (immediate delivery), in page-sized blocks. 64 KiB holds some 360
// headers: 500 devices take 31 MiB where the default would take 1 GiB.
constexpr int kSmallRingBytes = 64 * 1024;

struct CaptureContext {
    IPacketAnalyzer* pAnalyzer;
    int nLinkType;
    // The common packet's, filled in for each: only where it lies and what it carries change.
    PacketInfo info;
};

int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

struct PcapCloser {
    void operator()(pcap_t* pPcap) const { pcap_close(pPcap); }
};

// The text pcap_open_live gives for a failed activation.
std::string ActivationError(const char* szDevice, pcap_t* pPcap, int nStatus) {
    char szText[PCAP_ERRBUF_SIZE * 2];
    const char* szDetail = pcap_geterr(pPcap);
    if (nStatus == PCAP_ERROR) {
        std::snprintf(szText, sizeof szText, "%s: %s", szDevice, szDetail);
    } else if ((nStatus == PCAP_ERROR_NO_SUCH_DEVICE || nStatus == PCAP_ERROR_PERM_DENIED ||
                nStatus == PCAP_ERROR_PROMISC_PERM_DENIED) &&
               szDetail[0] != '\0') {
        std::snprintf(szText, sizeof szText, "%s: %s (%s)", szDevice, pcap_statustostr(nStatus),
                      szDetail);
    } else {
        std::snprintf(szText, sizeof szText, "%s: %s", szDevice, pcap_statustostr(nStatus));
    }
    return szText;
}

// The device's MTU as the kernel has it now, kUnknownMtu when it cannot say.
uint32_t ReadMtu(int nSocketFd, const std::string& strDevice) {
    ifreq request{};
    std::strncpy(request.ifr_name, strDevice.c_str(), sizeof request.ifr_name - 1);
    if (nSocketFd < 0 || ::ioctl(nSocketFd, SIOCGIFMTU, &request) != 0 || request.ifr_mtu <= 0) {
        return PacketInfo::kUnknownMtu;
    }
    return static_cast<uint32_t>(request.ifr_mtu);
}

} // namespace

CAdapter::CAdapter(std::string strDeviceName) : m_strName(std::move(strDeviceName)) {}

CAdapter::~CAdapter() {
    Close();
}

void CAdapter::Open(const CaptureRequest& request) {
    if (m_pPcap != nullptr) {
        Close();
    }
    const char* szDeviceName = m_strName.c_str();
    const int nSnapshotLength = request.nSnapshotLength;
    char szError[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, PcapCloser> pPcap(pcap_create(szDeviceName, szError));
    if (!pPcap) {
        throw CZarnException(0, szError);
    }
    pcap_set_snaplen(pPcap.get(), nSnapshotLength);
    pcap_set_promisc(pPcap.get(), request.bPromiscuous ? 1 : 0);
    pcap_set_timeout(pPcap.get(), std::max(request.nDeliveryMs, 1));
    int nRingBytes = request.nRingBytes;
    const bool bSmallRing = nRingBytes <= 0 && request.bSmallRing;
    if (bSmallRing) {
        nRingBytes = kSmallRingBytes;
        pcap_set_immediate_mode(pPcap.get(), 1);
    } else if (nRingBytes <= 0) {
        nRingBytes = nSnapshotLength <= kHeadersOnlyLength ? kHeadersOnlyBufferBytes
                                                           : kWholePacketBufferBytes;
    }
    pcap_set_buffer_size(pPcap.get(), nRingBytes);
    const int nStatus = pcap_activate(pPcap.get());
    if (nStatus < 0) {
        throw CZarnException(nStatus, ActivationError(szDeviceName, pPcap.get(), nStatus).c_str());
    }
    // The capture thread waits in poll on the handle and on its own wake-up event, never inside
    // libpcap, so that a stop always reaches it.
    if (pcap_setnonblock(pPcap.get(), 1, szError) < 0) {
        throw CZarnException(0, szError);
    }
    m_pWake = std::make_unique<CZarnEvent>();
    // Packets of the full snapshot length, the most room each can take.
    m_nRingPackets = nRingBytes / (std::max(nSnapshotLength, 0) + kRingSlotOverhead);
    m_pPcap = pPcap.release();
    m_bLargeRing = !bSmallRing;
    m_nLinkType = pcap_datalink(m_pPcap);
    m_pAnalyzer = request.pAnalyzer;

    // No thread reads the handle yet: the filter goes in before any packet can be read.
    if (std::string strError;
        !request.strFilter.empty() && !InstallFilter(request.strFilter.c_str(), strError)) {
        Close();
        throw CZarnException(0, strError.c_str());
    }

    m_bStopRequested.store(false);
    // Running from here on, so that a refresh does not announce (and reopen) a starting adapter.
    m_bRunning.store(true, std::memory_order_release);
    try {
        m_thread.Start(this);
    } catch (...) {
        // No thread will read the handle: left open, the device would fill its ring unread.
        Close();
        throw;
    }
}

bool CAdapter::InstallFilter(const char* szExpression, std::string& strError) {
    bpf_program program{};
    if (pcap_compile(m_pPcap, &program, szExpression, 1, PCAP_NETMASK_UNKNOWN) < 0) {
        strError = pcap_geterr(m_pPcap);
        return false;
    }
    const int nResult = pcap_setfilter(m_pPcap, &program);
    if (nResult < 0) {
        strError = pcap_geterr(m_pPcap);
    }
    pcap_freecode(&program);
    return nResult >= 0;
}

void CAdapter::OnEthernetPacket(unsigned char* pUser, const pcap_pkthdr* pHeader,
                                const unsigned char* pData) {
    auto* pContext = reinterpret_cast<CaptureContext*>(pUser);
    const ENetworkProtocol eProtocol = ParseCommonLinkHeader(DLT_EN10MB, pData, pHeader->caplen);
    // A capture of at least the header and at most the wire length: also a non-empty packet.
    if (eProtocol == ENetworkProtocol::Other || pHeader->caplen > pHeader->len) [[unlikely]] {
        OnOtherPacket(pUser, pHeader, pData);
        return;
    }
    pContext->info.pHeader = pHeader;
    pContext->info.pData = pData;
    pContext->info.eNetworkProtocol = eProtocol;
    pContext->pAnalyzer->AnalyzePacket(&pContext->info);
}

void CAdapter::OnOtherPacket(unsigned char* pUser, const pcap_pkthdr* pHeader,
                             const unsigned char* pData) {
    if (pHeader->len == 0) {
        return;
    }
    const auto* pContext = reinterpret_cast<const CaptureContext*>(pUser);
    // Listeners may take the wire length to hold everything captured; a capture never is longer.
    pcap_pkthdr header = *pHeader;
    header.caplen = std::min(header.caplen, header.len);
    const LinkVerdict verdict = ParseLinkHeader(pContext->nLinkType, pData, header.caplen);
    PacketInfo info{&header,
                    pData,
                    verdict.nHeaderLength,
                    verdict.eProtocol,
                    pContext->info.nMtu,
                    pContext->nLinkType};
    pContext->pAnalyzer->AnalyzePacket(&info);
}

int64_t CAdapter::ChooseRestNs(int nPackets, int64_t nIntervalNs, int64_t nWaitedNs, bool bRested,
                               int nRingPackets) {
    // A batch cut short leaves packets ready.
    if (nPackets <= 0 || nPackets >= kBatchPackets) {
        return 0;
    }
    // The time the ring takes to fill half at the pace of this batch.
    const int64_t nRestNs = std::min(kMaxRestNs, nIntervalNs * (nRingPackets / 2) / nPackets);
    // A rest pays when blocks come faster than it: begun when the last wait for one was clearly
    // shorter than the rest, kept while a block is ready when a rest ends (the wait is no more
    // than a system call's). Otherwise it would only add a wake-up to each block's.
    const int64_t nWorthNs = bRested ? kReadyNs : nRestNs * 3 / 4;
    return nRestNs >= kMinRestNs && nWaitedNs < nWorthNs ? nRestNs : 0;
}

void CAdapter::PublishDrops() {
    pcap_stat stats{};
    if (pcap_stats(m_pPcap, &stats) == 0) {
        m_pAnalyzer->OnDropCount(int64_t{stats.ps_drop} + int64_t{stats.ps_ifdrop});
    }
}

void CAdapter::Run() {
    CaptureContext context{m_pAnalyzer, m_nLinkType, {}};
    context.info.nLinkHeaderLength = kEthernetHeader;
    // Read again with the drops: a changed MTU takes effect within half a second of traffic.
    const int nSocketFd = pcap_fileno(m_pPcap);
    context.info.nMtu = ReadMtu(nSocketFd, m_strName);
    const pcap_handler pfnOnPacket = m_nLinkType == DLT_EN10MB ? OnEthernetPacket : OnOtherPacket;
    int64_t nNextDropPoll = 0;
    pollfd waits[2] = {{pcap_get_selectable_fd(m_pPcap), POLLIN, 0}, {m_pWake->GetFd(), POLLIN, 0}};
    bool bHandleFailed = false;
    bool bDropsStale = true;
    // When the last batch ended, how long the last wait for packets lasted and whether the thread
    // rested before it: the traffic's pace.
    int64_t nBatchEnd = MonotonicNs();
    int64_t nWaitedNs = kMaxRestNs;
    bool bRested = false;
    // Whether the analyzer still holds work of earlier batches (FinishWork).
    bool bIdleWork = false;
    while (!m_bStopRequested.load(std::memory_order_acquire)) {
        // Packets are delivered in place from libpcap's buffer, without a copy. A batch is
        // bounded, so that a capture that cannot keep up still stops and shows its counts.
        // The analyzer may hold the host's address table from the batch's first packet until
        // OnPacketsDelivered: announced, so that a replaced table is kept until then.
        m_batchMark.Enter();
        const int nResult = pcap_dispatch(m_pPcap, kBatchPackets, pfnOnPacket,
                                          reinterpret_cast<unsigned char*>(&context));
        if (nResult > 0) {
            m_pAnalyzer->OnPacketsDelivered();
            bIdleWork = m_pAnalyzer->FinishWork();
        } else if (nResult == 0 && bIdleWork) {
            bIdleWork = m_pAnalyzer->FinishWork();
        }
        m_batchMark.Leave();
        if (nResult < 0 || (nResult == 0 && bHandleFailed)) {
            break; // the device failed or vanished
        }
        // The handle's statistics are read here, on the one thread that reads the handle, at most
        // every half second: reading them costs more than a block of packets. Once packets stop,
        // the wait ends in time to read them, so that a burst's drops show.
        int64_t nNow = MonotonicNs();
        if (nResult > 0) {
            const int64_t nRestNs =
                m_pAnalyzer->WantsPromptDelivery()
                    ? 0
                    : ChooseRestNs(nResult, nNow - nBatchEnd, nWaitedNs, bRested, m_nRingPackets);
            nBatchEnd = nNow;
            bRested = nRestNs > 0;
            if (bRested) {
                // Only a stop ends a rest early; the ring keeps filling meanwhile.
                const timespec rest{0, static_cast<long>(nRestNs)};
                ::ppoll(&waits[1], 1, &rest, nullptr);
                nNow = MonotonicNs();
            }
        }
        bDropsStale = bDropsStale || nResult > 0;
        int nWaitMs = -1;
        if (bDropsStale) {
            if (nNow >= nNextDropPoll) {
                PublishDrops();
                context.info.nMtu = ReadMtu(nSocketFd, m_strName);
                nNextDropPoll = nNow + kDropPollNs;
                bDropsStale = false;
            } else {
                nWaitMs = static_cast<int>((nNextDropPoll - nNow) / 1'000'000 + 1);
            }
        }
        if (bIdleWork && (nWaitMs < 0 || nWaitMs > IPacketAnalyzer::kIdleRetryMs)) {
            nWaitMs = IPacketAnalyzer::kIdleRetryMs;
        }
        // Wait for the kernel to hand over a block (at the latest the delivery time after its first
        // packet), for a stop, or for the time to read the statistics. After a batch this returns
        // at once when the next block is ready: one system call a block, where reading again would
        // cost libpcap's own poll as well.
        if (::poll(waits, 2, nWaitMs) < 0 && errno != EINTR) {
            break;
        }
        nWaitedNs = MonotonicNs() - nNow;
        if (waits[1].revents != 0) {
            m_pWake->Reset();
        }
        bHandleFailed = (waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    }
    PublishDrops();
    m_bRunning.store(false, std::memory_order_release);
}

void CAdapter::Stop() {
    m_bStopRequested.store(true, std::memory_order_release);
    if (m_pWake) {
        m_pWake->Set();
    }
}

void CAdapter::Close() {
    m_thread.Stop();
    m_bRunning.store(false, std::memory_order_release);
    if (m_pPcap != nullptr) {
        pcap_close(m_pPcap);
        m_pPcap = nullptr;
    }
    m_pWake.reset();
}
