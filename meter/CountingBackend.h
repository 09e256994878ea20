#pragma once

// The seam between what counts and what is shown: the meter's totals and snapshot read per-device
// counters through ICountingBackend, never packets, so that a backend counting elsewhere (in the
// kernel, say) serves the window and the clients as the capture's does.

#include <cstdint>
#include <string>
#include <vector>

// Bytes over every device a backend ever counted.
struct ByteTotals {
    int64_t nSentBytes = 0, nRecvBytes = 0;
    bool operator==(const ByteTotals&) const = default;
};

// One device's counters as a backend read them.
struct DeviceCounts {
    std::string strName;
    // The kind the device was last listed with, for when it is no longer listed.
    std::string strKind;
    // Under one id the counters only grow (DeviceSnapshot::nCounterId); never 0.
    uint64_t nCounterId = 0;
    int64_t nSentBytes = 0, nRecvBytes = 0, nSentPackets = 0, nRecvPackets = 0, nDrops = 0;
    // What the device counted as a tunnel, in no total.
    int64_t nInnerSentBytes = 0, nInnerRecvBytes = 0, nInnerSentPackets = 0, nInnerRecvPackets = 0;
    // The IP packets the default filter would not have passed, where the device captured every
    // IP packet (COrvekMeter::SetCountEveryIp), in no total but the recorded ones; else 0.
    int64_t nOtherIpSentBytes = 0, nOtherIpRecvBytes = 0, nOtherIpSentPackets = 0,
            nOtherIpRecvPackets = 0;
};

// A device the host lists now, as the backend is told at each reading.
struct ListedDevice {
    std::string strName;
    std::string strKind;
};

// A backend's devices and totals at one moment: the totals are the devices' sums plus what
// devices forgotten before counted.
struct CountsReading {
    ByteTotals totals;
    // The devices' other IP bytes (DeviceCounts::nOtherIpSentBytes), forgotten ones' too.
    ByteTotals otherIp;
    // Every device counted and not forgotten, in name order.
    std::vector<DeviceCounts> devices;
    // The devices this reading forgot (gone for the backend's expiry); their bytes stay in the
    // totals, and a device back under their names counts from zero under another id.
    std::vector<DeviceCounts> forgotten;
};

// Told that a backend's counts moved, so that the display shows them.
struct ICountsListener {
    // A counting thread (a capture thread after a batch): returns at once, takes no lock.
    virtual void OnCountsMoved() = 0;

protected:
    ~ICountsListener() = default;
};

// Where the meter's counters come from.
struct ICountingBackend {
    // Any thread but a counting one, never waiting for one: the totals, never less than before.
    virtual ByteTotals GetTotals() const = 0;
    // Any thread but a counting one, never waiting for one: the devices' counters and totals that
    // agree with them; a device missing from listed for the expiry is forgotten first.
    virtual CountsReading ReadCounts(const std::vector<ListedDevice>& listed) = 0;

protected:
    ~ICountingBackend() = default;
};
