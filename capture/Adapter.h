#pragma once

#include "AdapterListener.h"
#include "ZarnFd.h"
#include "ZarnThread.h"

#include <atomic>
#include <memory>
#include <string>

struct pcap;

// One capture device, opened live on request, with a capture thread that hands every packet to
// the request's analyzer. Open, Close and destruction run on a controlling thread, never on the
// capture thread.
class CAdapter : public IExecutable {
public:
    explicit CAdapter(std::string strDeviceName);
    CAdapter(const CAdapter&) = delete;
    CAdapter& operator=(const CAdapter&) = delete;
    virtual ~CAdapter();

    const char* GetName() const { return m_strName.c_str(); }
    // Open with a capture loop that has not ended (failed device, Stop, Close). Any thread.
    bool IsRunning() const { return m_bRunning.load(std::memory_order_acquire); }
    // Controlling thread.
    bool IsOpen() const { return m_pPcap != nullptr; }
    // The device's libpcap link type (DLT_*); meaningful while open, on the controlling thread.
    int GetLinkType() const { return m_nLinkType; }

    // Opens the device live as asked (each packet delivered at the latest 100 ms after it
    // arrived), installs the filter before any packet is read, so that none escapes it, and
    // starts the capture thread; Stop wakes a waiting read at once. An open adapter is closed
    // first. Throws CZarnException: libpcap's text with code 0, or with libpcap's status
    // (PCAP_ERROR_*) when activating the device failed (the adapter is then closed); or errno when
    // no thread can start.
    void Open(const CaptureRequest& request);
    void Close();

    // The most packets one read delivers before the loop looks at stops and statistics: a few
    // ring blocks of headers.
    static constexpr int kBatchPackets = 4096;
    // Under sustained traffic a capture thread rests between batches: each wake-up costs about as
    // much as reading a thousand headers, and a rest lets several ring blocks come for one. The
    // rest after a batch of nPackets that came in nIntervalNs, the wait for it having lasted
    // nWaitedNs after a rest (bRested) or none, with room for nRingPackets in the ring: none when
    // more packets are ready or blocks come too slowly for a rest to collect several; otherwise
    // the time in which the ring, at that pace, fills half, at most kMaxRestNs. Only more than a
    // ring of packets within a rest (a million headers a second in the default ring) can then
    // fill it. Pure.
    static constexpr int64_t kMaxRestNs = 10'000'000;
    static constexpr int64_t kMinRestNs = 1'000'000;
    static constexpr int64_t kReadyNs = 200'000;
    static int64_t ChooseRestNs(int nPackets, int64_t nIntervalNs, int64_t nWaitedNs, bool bRested,
                                int nRingPackets);

    // Capture thread: the loop. Another thread: asks it to end (Close joins it).
    void Run() override;
    void Stop() override;

private:
    // Capture thread, called by libpcap for every packet: parses the link header and hands the
    // packet to the analyzer. OnEthernetPacket for Ethernet devices, in line for untagged frames
    // with IP; OnOtherPacket for every other frame, out of line so that the common path stays
    // short.
    static void OnEthernetPacket(unsigned char* pUser, const pcap_pkthdr* pHeader,
                                 const unsigned char* pData);
    [[gnu::noinline]] static void OnOtherPacket(unsigned char* pUser, const pcap_pkthdr* pHeader,
                                                const unsigned char* pData);
    // Compiles and installs the expression; returns libpcap's text on failure.
    bool InstallFilter(const char* szExpression, std::string& strError);
    // Capture thread: hands the kernel's drop count since Open to the analyzer.
    void PublishDrops();

    const std::string m_strName;
    std::atomic<bool> m_bRunning{false};
    pcap* m_pPcap = nullptr;
    // Wakes the capture thread's wait (stop). Made by Open: a handle whose reader could not be
    // woken could never be closed.
    std::unique_ptr<CZarnEvent> m_pWake;
    CZarnThread m_thread;
    IPacketAnalyzer* m_pAnalyzer = nullptr;
    int m_nLinkType = 0;
    int m_nRingPackets = 0; // the fewest packets the ring holds

    // Set by Stop, cleared by Open: ends the loop at its next test, also before it first read.
    // Separate from m_bRunning, which only the loop's end and Close clear.
    std::atomic<bool> m_bStopRequested{false};
};
