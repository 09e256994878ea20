#pragma once

#include "AdapterListener.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// Where a packet's source address stands in the captured bytes, if the capture holds it.
struct PacketSource {
    enum class EKind : uint8_t { Unseen, IPv4, IPv6 };
    EKind eKind;
    uint32_t nIPv4;          // the four address bytes in packet (network) order, for IPv4
    const uint8_t* pbIPv6;   // the 16 address bytes inside the packet, for IPv6
};

// Pure: reads the source address of an IP packet (or, for any other protocol, the four bytes at
// offsets 12 to 15 after the link header) without reading past the captured length.
PacketSource FindPacketSource(const PacketInfo& info);

// The traffic meter: the capture library's listener that opens every announced device, counts
// every packet as sent or received and produces the two counter texts. It holds no window; the
// class that adds one implements the three display hooks below.
class COrvekMeter : public IAdapterListener {
public:
    static constexpr const char* kDefaultFilter = "tcp or udp";
    static constexpr const char* kExceptionCaption = "Exception";

    COrvekMeter() = default;
    COrvekMeter(const COrvekMeter&) = delete;
    COrvekMeter& operator=(const COrvekMeter&) = delete;
    // Capture must be stopped (StopCapture) by the most derived class's destructor: the display
    // hooks are gone once this runs.
    virtual ~COrvekMeter() = default;

    // Capture thread: counts one packet.
    void AnalyzePacket(PacketInfo* pInfo) override;
    // Monitor or user-interface thread: a described failure becomes a message captioned
    // "Exception"; one without a description is ignored.
    void OnException(const CZarnException& e) override;
    // Refreshing thread, manager lock held: opens the device with the stored choice and filter.
    void OnAdapterFound(CAdapter* pAdapter, const char* szDeviceName) override;

    // The filter and promiscuous choice used for every device announced from now on.
    void SetCaptureSettings(const std::string& strFilter, bool bPromiscuous);
    std::string GetFilter() const;
    bool IsPromiscuous() const;

    // Starts capture with this meter as the listener; throws CZarnException.
    void StartCapture();
    // Stops all capture (there is one listener per process). Returns when no thread calls it.
    void StopCapture();

    int64_t GetRecvBytes() const { return m_nRecvBytes.load(std::memory_order_relaxed); }
    int64_t GetSentBytes() const { return m_nSentBytes.load(std::memory_order_relaxed); }

    // User-interface thread: formats both totals and hands them to ShowCounters.
    void UpdateCounters();
    // User-interface thread, once the view is ready for the next update (it paces itself): ends
    // the pending update. Returns true when the totals moved since the last UpdateCounters and
    // the caller now owns a new pending update, which it shows with UpdateCounters.
    bool ReleaseDisplay();

    static std::string FormatRecv(int64_t nBytes);
    static std::string FormatSent(int64_t nBytes);

protected:
    // Capture thread, at most once per update: the totals moved. Must only queue work for the
    // user-interface thread and return; never format, draw or wait here.
    virtual void PostDisplayUpdate() = 0;
    // User-interface thread: shows the two counter texts.
    virtual void ShowCounters(const char* szRecv, const char* szSent) = 0;
    // Any thread: shows a message. On the user-interface thread it may wait for the user; on any
    // other thread it must hand the message over and return at once.
    virtual void ShowMessage(const std::string& strText, const char* szCaption) = 0;

private:
    void Count(std::atomic<int64_t>& nTotal, int64_t nBytes);

    alignas(64) std::atomic<int64_t> m_nRecvBytes{0};
    alignas(64) std::atomic<int64_t> m_nSentBytes{0};
    alignas(64) std::atomic<bool> m_bDisplayPending{false};
    // Totals as last shown; user-interface thread only.
    int64_t m_nShownRecv = -1;
    int64_t m_nShownSent = -1;

    mutable std::mutex m_mtxSettings;
    std::string m_strFilter{kDefaultFilter};
    bool m_bPromiscuous = false;
};
