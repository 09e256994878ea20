#pragma once

#include "AdapterListener.h"
#include "AppRows.h"
#include "CaptureControl.h"
#include "CaptureCounting.h"
#include "CountingBackend.h"
#include "DeviceCounter.h"
#include "DisplayPacer.h"
#include "Meter.h"
#include "MeterSnapshot.h"
#include "MeterView.h"
#include "TunnelBook.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// The traffic meter: the capture library's listener that has every announced device opened with
// the user's choices, counts every packet as sent or received, per device, and keeps a view
// showing the two totals. A window (or console, or test) holds one and is its view; the meter
// paces the view by itself and stops capture when it is destroyed. It holds the user's capture
// settings, says what failed, and joins the parts that do the rest: the devices' counters
// (CCaptureCounting, read through ICountingBackend), the tunnels' outer flows (CTunnelBook), the
// application rows (CAppRows) and the display's pace (CDisplayPacer).
class COrvekMeter : public IAdapterListener, public IMeter, private IPacedCounters {
public:
    static constexpr const char* kDefaultFilter = "tcp or udp";
    // What a tunnel's inner traffic is captured with: every packet, on any link type.
    static constexpr const char* kEveryPacketFilter = "len >= 0";
    // What the default filter's devices capture with when the meter counts every IP packet
    // (SetCountEveryIp).
    static constexpr const char* kEveryIpFilter = "ip or ip6";
    // How long a packet may wait in the kernel's ring while flows' sockets are asked for in user
    // space (no in-kernel flow owners): a flow's first packet must come while its socket lives.
    static constexpr int kFlowStartDeliveryMs = 2;
    // The meter reads the link header and the IP addresses, nothing more: captures stop after the
    // longest link header it reads in full and an IPv6 header, rounded up to the ring's 16-byte
    // alignment. Counting uses the wire length, so nothing is lost by it.
    static constexpr int kSnapshotLength = (kLinkHeaderBound + 40 + 15) / 16 * 16;

    // The view, the lookup and the control must outlive the meter; the meter is destroyed on the
    // view thread. The lookup tells the host's addresses; the control starts and stops capture.
    COrvekMeter(IMeterView& view, const IAddressLookup& lookup, ICaptureControl& control);
    // As above, with the totals and snapshots read from counting (which outlives the meter)
    // instead of the capture's own counters; counting tells GetCountsListener of its counts.
    COrvekMeter(IMeterView& view, const IAddressLookup& lookup, ICaptureControl& control,
                ICountingBackend& counting);
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
    // With the default filter, devices announced from now on capture every IP packet and count
    // apart what the filter would not have passed: snapshots stay as the filter says, and
    // GetEveryIpSnapshot adds the rest. For a meter that records what a provider bills.
    void SetCountEveryIp(bool bEveryIp);
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

    // Controlling thread, before StartCapture: where new flows' owners are looked up first (the
    // in-kernel flow owners; null: nowhere), which outlive the meter.
    void SetFlowOwners(IFlowOwners* pOwners);

    // Totals over every device ever counted; any thread.
    int64_t GetRecvBytes() const override;
    int64_t GetSentBytes() const override;
    // How long a gone device is kept (CCaptureCounting::kGoneExpiry); any thread.
    void SetGoneExpiry(std::chrono::steady_clock::duration expiry);
    // What a counting backend tells when its counts moved: the display's pace.
    ICountsListener& GetCountsListener() { return m_pacer; }

    // Every device the host lists and every device counted that is not gone for longer than the
    // expiry, with its state and counters, the totals (forgotten devices included) and the
    // totals by application, whose rows add up to the totals. Any
    // thread but a capture thread; never waits for devices being opened. Forgets the devices
    // whose expiry passed.
    MeterSnapshot GetSnapshot() const override;
    // GetSnapshot with every IP packet counted (SetCountEveryIp): the devices' and the totals'
    // counts add the IP packets the filter would not have passed, and the row of bytes that are
    // not TCP or UDP their bytes, so that the rows add up to the totals. As GetSnapshot without it.
    MeterSnapshot GetEveryIpSnapshot() const;

    // View thread: shows both totals.
    void UpdateCounters() override;
    // View thread: the totals the view was last shown (-1 before the first time).
    int64_t GetShownRecv() const { return m_nShownRecv; }
    int64_t GetShownSent() const { return m_nShownSent; }

private:
    // View thread: whether the totals moved since they were last shown.
    bool HaveTotalsMoved() const override;
    // GetSnapshot, with the other IP packets when bEveryIp.
    MeterSnapshot MakeSnapshot(bool bEveryIp) const;
    // Any thread: how to get the permission to capture for the capturing binary.
    std::string DescribePermissionFix() const;

    IMeterView& m_view;
    const IAddressLookup& m_lookup;
    ICaptureControl& m_control;

    // Totals as last shown; view thread only.
    alignas(64) int64_t m_nShownRecv = -1;
    int64_t m_nShownSent = -1;

    // The parts, each outliving those after it that hold it: the resolver the devices' taps and
    // the tunnels' outer flows go to, the pace the devices' counts move, the devices. Snapshots
    // forget devices and their tunnels, hence mutable.
    CAppRows m_apps;
    mutable CTunnelBook m_tunnels{m_apps.GetResolver()};
    CDisplayPacer m_pacer{m_view, *this};
    CCaptureCounting m_capture{m_lookup, m_apps.GetResolver(), m_pacer};
    // Where totals and snapshots read the counters: m_capture unless another backend was given.
    ICountingBackend& m_counting;

    mutable std::mutex m_mtxSettings;
    std::string m_strFilter{kDefaultFilter}; // guarded by m_mtxSettings
    bool m_bPromiscuous = false;             // guarded by m_mtxSettings
    bool m_bCountEveryIp = false;            // guarded by m_mtxSettings
    bool m_bOwnersInKernel = false;          // guarded by m_mtxSettings
    std::string m_strCapturingBinary;        // guarded by m_mtxSettings; empty: this process's
};
