#pragma once

#include "AdapterListener.h"
#include "AddressTable.h"
#include "AppResolver.h"
#include "CaptureControl.h"
#include "Meter.h"
#include "MeterSnapshot.h"
#include "MeterView.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// What a captured packet is to this host.
enum class EDirection : uint8_t {
    Ignored,  // too short for an IPv4 header after the link header: not counted
    Sent,     // its source is one of the host's addresses
    Received, // addressed to the host (its own address, multicast, broadcast), or not shown to
              // be anything else
    Forwarded // between two other hosts: the host only routes, bridges or translates it
};

// Pure: tells the direction of a packet from its bytes and the host's addresses, reading nothing
// past the captured length. The source decides "sent"; with bCountForeign (promiscuous capture)
// everything else is received, otherwise only what is addressed to the host is, and the rest is
// forwarded. Frames that are not IP are judged by the four bytes at offsets 12 to 15 after the
// link header, as an IPv4 source; a capture too short to show an address counts as received.
EDirection ClassifyPacket(const PacketInfo& info, const CAddressTable& addresses,
                          bool bCountForeign);

// What one device's capture has counted. Only that device's capture thread writes it, so no two
// devices share a cache line; any thread reads it.
struct alignas(64) DeviceCounters {
    std::atomic<int64_t> nSentBytes{0};
    std::atomic<int64_t> nRecvBytes{0};
    std::atomic<int64_t> nSentPackets{0};
    std::atomic<int64_t> nRecvPackets{0};
    // Packets the kernel dropped for this device's captures (ring full, interface drops).
    std::atomic<int64_t> nDrops{0};
};

// The traffic meter: the capture library's listener that has every announced device opened with
// the user's choices, counts every packet as sent or received, per device, and keeps a view
// showing the two totals. A window (or console, or test) holds one and is its view; the meter
// paces the view by itself and stops capture when it is destroyed.
class COrvekMeter : public IAdapterListener, public IMeter {
public:
    // One device's counts and the analyzer of its packets. The meter makes one per device on
    // first use and keeps it for its own life, so that totals survive Stop and reopening.
    class CDevice final : public IPacketAnalyzer {
    public:
        // Registers the device's flow tap with the meter's resolver.
        explicit CDevice(COrvekMeter& meter);
        CDevice(const CDevice&) = delete;
        CDevice& operator=(const CDevice&) = delete;

        // Capture thread: counts one packet.
        void AnalyzePacket(PacketInfo* pInfo) override;
        // Capture thread, after a batch: forgets the batch's addresses, hands the batch's flows to
        // the resolver and asks the view to show the totals if they moved and no update is
        // pending.
        void OnPacketsDelivered() override;
        // Capture thread: the kernel's drops since this opening, added to those of earlier ones.
        void OnDropCount(int64_t nDrops) override;
        // Any thread.
        const DeviceCounters& GetCounters() const { return m_counters; }
        // Any thread: what the device counted as a tunnel (opened Carried), outside the totals.
        const DeviceCounters& GetInnerCounters() const { return m_inner; }

    private:
        friend class COrvekMeter;
        // The analyzer of the device opened as a tunnel: counts its inner packets apart, with
        // no flow tap (their bytes are the outer flow's). Calls as CDevice's.
        class CInner final : public IPacketAnalyzer {
        public:
            explicit CInner(CDevice& device) : m_device(device) {}
            void AnalyzePacket(PacketInfo* pInfo) override;
            void OnPacketsDelivered() override;
            void OnDropCount(int64_t nDrops) override;

        private:
            CDevice& m_device;
        };
        // Refreshing thread, before the device's capture thread starts: this opening's choice.
        void PrepareOpen(bool bCountForeign);
        // Capture thread: counts a packet that repeats the last flow of its direction
        // (CFlowTap::CountRepeat4 or 6); false for others.
        template <CFlowTap::ERepeat (CFlowTap::*fnRepeat)(const PacketInfo&, int64_t)>
        bool CountRepeat(const PacketInfo& info);
        // Capture thread: AnalyzePacket out of line, so that IPv4's repeats need no registers
        // saved: for packets of other families, for those that repeat no flow, and for those
        // whose direction the short classification leaves, which keeps that one short too.
        [[gnu::noinline]] void AnalyzeOtherFamily(PacketInfo* pInfo);
        [[gnu::noinline]] void AnalyzeFresh(PacketInfo* pInfo);
        [[gnu::noinline]] void AnalyzeOther(PacketInfo* pInfo);

        COrvekMeter& m_meter;
        DeviceCounters m_counters;
        DeviceCounters m_inner;
        CInner m_innerAnalyzer{*this};
        // The flows of what this device counted, for the resolver; filled by the capture thread.
        CFlowTap m_tap;
        // The capture thread's own notes, set by PrepareOpen before it starts: whether packets
        // from others count (promiscuous), the counts when the last batch ended, the host's
        // addresses as the batch's first packet found them, and the drops of earlier openings.
        bool m_bCountForeign = false;
        int64_t m_nMark = 0;
        const CAddressTable* m_pAddresses = nullptr;
        int64_t m_nDropBase = 0;
        // The kind the device was last listed with, kept for when it is gone; m_mtxDevices.
        std::string m_strKind;
        // Since when the device is gone (listed by no snapshot); the meter's lock. Unset while
        // it is listed, and by every opening.
        std::optional<std::chrono::steady_clock::time_point> m_tGoneSince;
        // The counters' id in snapshots (DeviceSnapshot::nCounterId); set when made.
        uint64_t m_nCounterId = 0;
    };

    static constexpr const char* kDefaultFilter = "tcp or udp";
    // What a tunnel's inner traffic is captured with: every packet, on any link type.
    static constexpr const char* kEveryPacketFilter = "len >= 0";
    // A device gone for this long is forgotten: dropped from snapshots, its counters folded into
    // the totals; if it comes back it counts from zero. Containers come and go with names never
    // used again, and each would otherwise stay in every scrape for the life of the process.
    static constexpr std::chrono::seconds kGoneExpiry{3600};
    // How long the counters rest after an update before showing the next one.
    static constexpr int kDisplayPaceMs = 100;
    // The meter reads the link header and the IP addresses, nothing more: captures stop after the
    // longest link header it reads in full and an IPv6 header, rounded up to the ring's 16-byte
    // alignment. Counting uses the wire length, so nothing is lost by it.
    static constexpr int kSnapshotLength = (kLinkHeaderBound + 40 + 15) / 16 * 16;

    // The view, the lookup and the control must outlive the meter; the meter is destroyed on the
    // view thread. The lookup tells the host's addresses; the control starts and stops capture.
    COrvekMeter(IMeterView& view, const IAddressLookup& lookup, ICaptureControl& control);
    COrvekMeter(const COrvekMeter&) = delete;
    COrvekMeter& operator=(const COrvekMeter&) = delete;
    // Stops capture: no capture or monitor thread calls the meter afterwards.
    virtual ~COrvekMeter();

    // Monitor or view thread: a described failure becomes a message captioned "Exception"; one
    // without a description is ignored.
    void OnException(const CZarnException& e) override;
    // Any thread: a failure's text, and for a device that could not be opened for want of the
    // permission to capture, how to get it.
    std::string DescribeFailure(const CZarnException& e) const override;
    // The program that opens the devices, which the permission advice names; by default this
    // process's own.
    void SetCapturingBinary(const std::string& strPath);
    // View thread, inside a catch block: shows the exception being handled, whatever its type,
    // under "Exception" (an OS error as its text).
    void OnCurrentException() override;
    // Refreshing thread: the device's analyzer with the stored choice and filter; a carried
    // device's counts its inner packets apart, and its outer flow is measured from then on.
    CaptureRequest OnAdapterFound(const char* szDeviceName, bool bCarried,
                                  const OuterFlow& outer) override;

    // The filter and promiscuous choice used for every device announced from now on. Promiscuous
    // capture also counts traffic that is neither from nor to this host, as received.
    void SetCaptureSettings(const std::string& strFilter, bool bPromiscuous) override;
    std::string GetFilter() const override;
    bool IsPromiscuous() const override;
    // The control's exclusions and devices.
    void SetExcludedDevices(const std::set<std::string>& excluded) override;
    std::set<std::string> GetExcludedDevices() const override;
    // The control's chosen tunnels.
    void SetTunnels(const std::map<std::string, std::string>& tunnels) override;
    void SetNotTunnels(const std::set<std::string>& devices) override;
    std::vector<DeviceState> GetDeviceStates() const override;
    void RefreshDeviceStates() override;

    // Starts capture with this meter as the listener. Returns one message for the devices that
    // could not be opened ("" when all opened), with the permission advice when they lacked it;
    // throws CZarnException when none could.
    std::string StartCapture() override;
    // Stops all capture. Returns when no thread calls the meter.
    void StopCapture() override;

    // Totals over every device ever counted; any thread.
    int64_t GetRecvBytes() const override;
    int64_t GetSentBytes() const override;
    // A device's counts and analyzer, made on first use. Any thread but a capture thread; valid
    // until the device has been gone for the expiry.
    CDevice& GetDevice(const std::string& strDevice);
    // How long a gone device is kept (kGoneExpiry); any thread.
    void SetGoneExpiry(std::chrono::steady_clock::duration expiry);

    // Every device the host lists and every device counted that is not gone for longer than the
    // expiry, with its state and counters, the totals (forgotten devices included) and the
    // totals by application, whose rows add up to the totals. Any
    // thread but a capture thread; never waits for devices being opened. Forgets the devices
    // whose expiry passed.
    MeterSnapshot GetSnapshot() const override;

    // View thread: shows both totals.
    void UpdateCounters() override;
    // View thread: the totals the view was last shown (-1 before the first time).
    int64_t GetShownRecv() const { return m_nShownRecv; }
    int64_t GetShownSent() const { return m_nShownSent; }

private:
    // Capture thread, after a batch that counted: asks the view, at most once per update, to show
    // the totals.
    void OnCountsMoved();
    // View thread: shows the totals an update asked for, then rests.
    void OnDisplayUpdate();
    // View thread, after the rest: shows totals that moved meanwhile, or ends the update.
    void OnDisplayPaced();
    // View thread: ends the pending update. True when the totals moved since they were last
    // shown and this thread now owns a new pending update.
    bool ReleaseDisplay();
    // One total summed over every device's counters, under the devices' lock.
    int64_t SumOverDevices(std::atomic<int64_t> DeviceCounters::*pTotal) const;
    // Whether a tunnel's outer flow can be measured: told by a port, and not alike another
    // tunnel's; m_mtxDevices held.
    bool IsOuterKnown(const std::string& strTunnel, const OuterFlow& outer) const;
    // Any thread: how to get the permission to capture for the capturing binary.
    std::string DescribePermissionFix() const;
    // Runs fn on the view thread after nDelayMs, unless the meter is gone by then.
    void PostToView(void (COrvekMeter::*pfn)(), int nDelayMs);

    IMeterView& m_view;
    const IAddressLookup& m_lookup;
    ICaptureControl& m_control;

    alignas(64) std::atomic<bool> m_bDisplayPending{false};
    // Totals as last shown; view thread only.
    alignas(64) int64_t m_nShownRecv = -1;
    int64_t m_nShownSent = -1;
    // Expires with the meter, so that work posted to the view does not outlive it.
    std::shared_ptr<COrvekMeter*> m_pSelf = std::make_shared<COrvekMeter*>(this);

    // Entries are removed only once gone for the expiry: no adapter holds them then, since the
    // capture control closes a device's adapter as soon as a listing no longer shows it captured,
    // and an opening (OnAdapterFound) makes its device not gone under the same lock. Snapshots
    // forget devices, hence mutable.
    mutable std::mutex m_mtxDevices;
    mutable std::map<std::string, std::unique_ptr<CDevice>> m_devices; // guarded by m_mtxDevices
    // Counts of forgotten devices, so that totals never go down; guarded by m_mtxDevices.
    mutable int64_t m_nForgottenSent = 0, m_nForgottenRecv = 0;
    std::chrono::steady_clock::duration m_goneExpiry = kGoneExpiry; // guarded by m_mtxDevices
    // How each device opened as a tunnel tells its outer flow; guarded by m_mtxDevices.
    mutable std::map<std::string, OuterFlow> m_outerFlows;
    // The next device's counter id; guarded by m_mtxDevices. Starts at random, so that no other
    // meter (a capture helper before this one) gave the same id to a device.
    uint64_t m_nNextCounterId;

    // Resolves the devices' flows to applications. After m_devices: destroyed (and its worker
    // stopped) before the devices' taps it reads.
    mutable CAppResolver m_resolver;

    mutable std::mutex m_mtxSettings;
    std::string m_strFilter{kDefaultFilter}; // guarded by m_mtxSettings
    bool m_bPromiscuous = false;             // guarded by m_mtxSettings
    std::string m_strCapturingBinary;        // guarded by m_mtxSettings; empty: this process's
};
