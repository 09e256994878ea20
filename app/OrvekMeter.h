#pragma once

#include "AdapterListener.h"
#include "AddressTable.h"
#include "MeterView.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// Where a packet's source address stands in the captured bytes, if the capture holds it.
struct PacketSource {
    enum class EKind : uint8_t { Unseen, IPv4, IPv6 };
    EKind eKind;
    uint32_t nIPv4;        // the four address bytes in packet (network) order, for IPv4
    const uint8_t* pbIPv6; // the 16 address bytes inside the packet, for IPv6
};

// Pure: reads the source address of an IP packet (or, for any other protocol, the four bytes at
// offsets 12 to 15 after the link header) without reading past the captured length.
PacketSource FindPacketSource(const PacketInfo& info);

// The traffic meter: the capture library's listener that opens every announced device, counts
// every packet as sent or received, per device, and keeps a view showing the two totals. A window
// (or console, or test) holds one and is its view; the meter paces the view by itself and stops
// capture when it is destroyed.
class COrvekMeter : public IAdapterListener {
public:
    static constexpr const char* kDefaultFilter = "tcp or udp";
    static constexpr const char* kExceptionCaption = "Exception";
    // How long the counters rest after an update before showing the next one.
    static constexpr int kDisplayPaceMs = 100;

    // The view and the lookup must outlive the meter; the meter is destroyed on the view thread.
    // The lookup tells the host's addresses; by default the capture library's own map.
    explicit COrvekMeter(IMeterView& view);
    COrvekMeter(IMeterView& view, const IAddressLookup& lookup);
    COrvekMeter(const COrvekMeter&) = delete;
    COrvekMeter& operator=(const COrvekMeter&) = delete;
    // Stops capture: no capture or monitor thread calls the meter afterwards.
    virtual ~COrvekMeter();

    // Capture thread: counts one packet into its device's counters.
    void AnalyzePacket(PacketInfo* pInfo) override;
    // Monitor or view thread: a described failure becomes a message captioned "Exception"; one
    // without a description is ignored.
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

    // Totals over every device ever counted; any thread.
    int64_t GetRecvBytes() const;
    int64_t GetSentBytes() const;
    // The counters of a device, made on first use and kept for the meter's life, so that totals
    // survive Stop and the device's reopening. Any thread but a capture thread.
    DeviceCounters* GetDeviceCounters(const std::string& strDevice);

    // View thread: formats both totals and shows them.
    void UpdateCounters();

    static std::string FormatRecv(int64_t nBytes);
    static std::string FormatSent(int64_t nBytes);

private:
    // Capture thread: asks the view, at most once per update, to show the totals.
    void PostDisplayUpdate();
    // View thread: shows the totals an update asked for, then rests.
    void OnDisplayUpdate();
    // View thread, after the rest: shows totals that moved meanwhile, or ends the update.
    void OnDisplayPaced();
    // View thread: ends the pending update. True when the totals moved since they were last
    // shown and this thread now owns a new pending update.
    bool ReleaseDisplay();
    // Runs fn on the view thread after nDelayMs, unless the meter is gone by then.
    void PostToView(void (COrvekMeter::*pfn)(), int nDelayMs);

    IMeterView& m_view;
    const IAddressLookup& m_lookup;

    alignas(64) std::atomic<bool> m_bDisplayPending{false};
    // Totals as last shown; view thread only.
    alignas(64) int64_t m_nShownRecv = -1;
    int64_t m_nShownSent = -1;
    // Expires with the meter, so that work posted to the view does not outlive it.
    std::shared_ptr<COrvekMeter*> m_pSelf = std::make_shared<COrvekMeter*>(this);

    // Entries are never removed: capture threads hold pointers to them.
    mutable std::mutex m_mtxDevices;
    std::map<std::string, std::unique_ptr<DeviceCounters>> m_devices; // guarded by m_mtxDevices

    mutable std::mutex m_mtxSettings;
    std::string m_strFilter{kDefaultFilter};
    bool m_bPromiscuous = false;
};
