#pragma once

#include "AppUsage.h"
#include "ConnectionUsage.h"
#include "DeviceState.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// One device as the meter saw it at one moment.
struct DeviceSnapshot {
    std::string strName;
    // Capturing, or why not, as DeviceState's; Gone: counted before, no longer listed (strKind is
    // the last one listed). Front ends say it in words (DescribeDeviceState).
    EDeviceState eState = EDeviceState::Ready;
    // Captured and counting into the totals (a tunnel captured for its inner traffic is not).
    bool bCapturing = false;
    int64_t nSentBytes = 0, nRecvBytes = 0, nSentPackets = 0, nRecvPackets = 0, nDrops = 0;
    std::string strKind =
        {}; // "Ethernet", "Wi-Fi", "tunnel", "bridge", "VLAN", "virtual", "loopback"
    // Whether excluding the device or not changes what is counted: not for loopback devices,
    // never captured, nor for gone ones.
    bool bCountable = true;
    // Which counters the counts come from: under one id they only grow; a device forgotten and
    // back, or counted by another meter, has another id and counts from zero. 0: never counted.
    uint64_t nCounterId = 0;
    // A tunnel: its traffic counts inside the outer packets of another device, not on its own.
    bool bCarried = false;
    std::string strCarriedBy = {}; // that device, when known
    // What the device counted as a tunnel (while it was carried): its inner packets, in no total.
    int64_t nInnerSentBytes = 0, nInnerRecvBytes = 0, nInnerSentPackets = 0, nInnerRecvPackets = 0;
    // The outer packets that carried them, counted on the carrier (in the totals) since the
    // tunnel was opened; outer minus inner is the tunnel's overhead. Unknown where the outer
    // packets cannot be told (not UDP, no port known, or alike another tunnel's).
    bool bOuterKnown = false;
    int64_t nOuterSentBytes = 0, nOuterRecvBytes = 0;
    // A tun or tap device: why it is or is not counted as a tunnel (DeviceState::strReason).
    std::string strReason = {};
    // What the state names, as DeviceState::strError: why a Failed device failed (libpcap's
    // text), the device a Stacked one counts on, the one a Carried one is carried by.
    std::string strDetail = {};
    // A Carried device: the user said it is a tunnel.
    bool bChosen = false;

    // Every field, in the order the capture helper sends them: a field added above is added here
    // too, and then travels (the protocol's tests fail for a field left out).
    template <class Io> void Fields(Io& io) {
        io(strName, eState, bCapturing, nSentBytes, nRecvBytes, nSentPackets, nRecvPackets, nDrops,
           strKind, bCountable, nCounterId, bCarried, strCarriedBy, nInnerSentBytes,
           nInnerRecvBytes, nInnerSentPackets, nInnerRecvPackets, bOuterKnown, nOuterSentBytes,
           nOuterRecvBytes, strReason, strDetail, bChosen);
    }
    bool operator==(const DeviceSnapshot&) const = default;
};

// The meter's totals and its devices at one moment; totals are the sums over devices.
struct MeterSnapshot {
    int64_t nSentBytes = 0, nRecvBytes = 0;
    std::vector<DeviceSnapshot> devices;
    // False while the address-change monitor waits to restart after its news failed: devices and
    // addresses are not followed meanwhile.
    bool bMonitorUp = true;
    // The totals by application, and the bytes not attributed by reason (one row each, "not
    // attributed yet" for what the resolver has not had yet); the rows add up to the totals.
    std::vector<AppUsage> apps = {};
    // When the counts were read (SnapshotClockNs), so that rates run over the times the counts
    // held, not over when a client happened to look at them. 0: not told (a test's snapshot).
    int64_t nTakenNs = 0;
    // The connections with the most bytes (at most kMaxSnapshotConnections, in no order), and
    // how many more the meter saw lately: a client's message stays small whatever the traffic.
    std::vector<ConnectionUsage> connections = {};
    int64_t nOtherConnections = 0;

    // As DeviceSnapshot::Fields.
    template <class Io> void Fields(Io& io) {
        io(nSentBytes, nRecvBytes, devices, bMonitorUp, apps, nTakenNs, connections,
           nOtherConnections);
    }
    bool operator==(const MeterSnapshot&) const = default;
};

// About 100 bytes each in a message: at most a tenth of a message's size.
inline constexpr size_t kMaxSnapshotConnections = 1000;

// The clock snapshots are taken by, in nanoseconds: steady_clock, which reads CLOCK_MONOTONIC, one
// clock for every process of the host, so that a client compares the helper's times with its own.
inline int64_t
SnapshotClockNs(std::chrono::steady_clock::time_point tNow = std::chrono::steady_clock::now()) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(tNow.time_since_epoch()).count();
}

// A pushed snapshot is replaced within the display's pace (a tenth of a second) once its counts
// move: one read this long after it was taken has held its counts until then.
inline constexpr std::chrono::milliseconds kSnapshotHeld{200};

// The state as every front end words it: "capturing", or why not: "down", "no address",
// "loopback", "bridge port", "counted on <device>", "carried inside <device>" (with "(set by the
// user)" or ": <reason>"), "excluded", "failed: <libpcap's text>", "stopped", "ready" (listed
// before a capture), "gone". Made where it is shown, never sent.
inline std::string DescribeDeviceState(EDeviceState eState, const std::string& strDetail,
                                       bool bChosen, const std::string& strReason) {
    switch (eState) {
    case EDeviceState::Capturing:
        return "capturing";
    case EDeviceState::Down:
        return "down";
    case EDeviceState::NoAddress:
        return "no address";
    case EDeviceState::Loopback:
        return "loopback";
    case EDeviceState::Port:
        return "bridge port";
    case EDeviceState::Excluded:
        return "excluded";
    case EDeviceState::Failed:
        return "failed: " + strDetail;
    case EDeviceState::Stopped:
        return "stopped";
    case EDeviceState::Ready:
        return "ready";
    case EDeviceState::Stacked:
        return "counted on " + strDetail;
    case EDeviceState::Carried:
        return "carried inside " + (strDetail.empty() ? "its uplink" : strDetail) +
               (bChosen              ? " (set by the user)"
                : !strReason.empty() ? ": " + strReason
                                     : "");
    case EDeviceState::Gone:
        return "gone";
    }
    return "";
}
inline std::string DescribeDeviceState(const DeviceSnapshot& device) {
    return DescribeDeviceState(device.eState, device.strDetail, device.bChosen, device.strReason);
}
