#pragma once

#include "AdapterListener.h"
#include "ZarnFd.h"
#include "ZarnThread.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

struct pcap;

// One capture device opened live, with a capture thread that hands every packet to the listener.
// Open, SetFilter, Close and destruction run on a controlling thread, never on the capture thread.
class CAdapter : public IExecutable {
public:
    // Whole packets, for analyzers that read more than the headers.
    static constexpr int kFullSnapshotLength = 65535;

    explicit CAdapter(IAdapterListener* pListener);
    CAdapter(const CAdapter&) = delete;
    CAdapter& operator=(const CAdapter&) = delete;
    virtual ~CAdapter();

    // The kernel ring of every device opened from now on, in bytes; 0 gives the default. Tests
    // shrink it so that a burst overflows it and the kernel drops. Any thread.
    static void SetRingBytes(int nBytes);

    const char* GetName() const { return m_strName.c_str(); }
    const char* GetDescription() const { return m_strDescription.c_str(); }
    bool IsRunning() const { return m_bRunning.load(std::memory_order_acquire); }
    bool IsOpen() const { return m_pPcap != nullptr; }
    // The device's libpcap link type (DLT_*); meaningful while open.
    int GetLinkType() const { return m_nLinkType; }

    // Where the capture thread counts this device's packets and drops from the next Open on; null
    // gives the adapter's own. Call only while closed or before Open.
    void SetCounters(DeviceCounters* pCounters);
    DeviceCounters& GetCounters() const { return *m_pCounters; }

    // Opens the device live (the first nSnapshotLength bytes of each packet, delivered at the
    // latest 100 ms after they arrive), installs szFilter when given (before any packet is read,
    // so that none escapes it) and starts the capture thread; Stop wakes a waiting read at once.
    // Throws CZarnException: libpcap's text with code 0 (the adapter is then closed), or errno
    // when no thread can start.
    void Open(const char* szDeviceName, bool bPromiscuous,
              int nSnapshotLength = kFullSnapshotLength, const char* szFilter = nullptr);
    // Compiles and installs a filter; packets read after it returns are filtered. Throws
    // CZarnException with libpcap's text and code 0; the filter in force then stays.
    void SetFilter(const char* szExpression);
    void Close();

    // The most packets one read delivers before the loop looks at stops, filters and statistics: a
    // few ring blocks of headers.
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
    // packet to the listener. OnEthernetPacket for Ethernet devices, in line for untagged frames
    // with IP; OnOtherPacket for every other frame, out of line so that the common path stays
    // short.
    static void OnEthernetPacket(unsigned char* pUser, const pcap_pkthdr* pHeader,
                                 const unsigned char* pData);
    [[gnu::noinline]] static void OnOtherPacket(unsigned char* pUser, const pcap_pkthdr* pHeader,
                                                const unsigned char* pData);
    // Compiles and installs the expression on this thread; returns libpcap's text on failure.
    bool InstallFilter(const char* szExpression, std::string& strError);
    // On the capture thread: installs a filter that SetFilter handed over.
    void ServiceFilterRequest();
    // Hands the expression to the reading capture thread; false when no loop is reading.
    bool HandOverFilter(const char* szExpression, bool& bInstalled, std::string& strError);

    // Capture thread: adds the kernel's drop count since Open to the counters.
    void PublishDrops(int64_t nBase);

    std::string m_strName;
    std::string m_strDescription;
    // Open with a capture loop that has not ended (failed device, Stop, Close).
    std::atomic<bool> m_bRunning{false};
    pcap* m_pPcap = nullptr;
    // Wakes the capture thread's wait (stop, filter hand-over). Made by Open: a handle whose
    // reader could not be woken could never be closed.
    std::unique_ptr<CZarnEvent> m_pWake;
    CZarnThread m_thread;
    IAdapterListener* m_pListener;
    int m_nLinkType = 0;
    int m_nRingPackets = 0; // the fewest packets the ring holds
    DeviceCounters m_ownCounters;
    DeviceCounters* m_pCounters = &m_ownCounters;

    // Set by Stop, cleared by Open: ends the loop at its next test, also before it first read.
    // Separate from m_bRunning, which only the loop's end and Close clear.
    std::atomic<bool> m_bStopRequested{false};

    // Filter hand-over: libpcap must not change a filter under a thread that reads the handle, so
    // SetFilter passes the expression to the capture thread and waits for its verdict.
    std::mutex m_mtxFilter;
    std::condition_variable m_cvFilter;
    std::atomic<bool> m_bFilterPending{false};
    const char* m_szPendingFilter = nullptr; // guarded by m_mtxFilter
    bool m_bFilterDone = false;              // guarded by m_mtxFilter
    bool m_bFilterInstalled = false;         // guarded by m_mtxFilter
    std::string m_strFilterError;            // guarded by m_mtxFilter
    bool m_bLoopEnded = true;                // guarded by m_mtxFilter
};
