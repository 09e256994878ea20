#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One device as the meter saw it at one moment.
struct DeviceSnapshot {
    std::string strName;
    // "capturing", or why not: "down", "no address", "loopback", "bridge port", "excluded",
    // "failed: <libpcap's text>", "stopped", "ready" (listed before a capture), "gone" (counted
    // before, no longer listed; strKind is the last one listed)
    std::string strState;
    bool bCapturing = false;
    int64_t nSentBytes = 0, nRecvBytes = 0, nSentPackets = 0, nRecvPackets = 0, nDrops = 0;
    std::string strKind =
        {}; // "Ethernet", "Wi-Fi", "tunnel", "bridge", "VLAN", "virtual", "loopback"
    // Whether excluding the device or not changes what is counted: not for loopback devices,
    // never captured, nor for gone ones.
    bool bCountable = true;

    // Every field, in the order the capture helper sends them: a field added above is added here
    // too, and then travels (the protocol's tests fail for a field left out).
    template <class Io> void Fields(Io& io) {
        io(strName, strState, bCapturing, nSentBytes, nRecvBytes, nSentPackets, nRecvPackets,
           nDrops, strKind, bCountable);
    }
    bool operator==(const DeviceSnapshot&) const = default;
};

// The meter's totals and its devices at one moment; totals are the sums over devices.
struct MeterSnapshot {
    int64_t nSentBytes = 0, nRecvBytes = 0;
    std::vector<DeviceSnapshot> devices;

    // As DeviceSnapshot::Fields.
    template <class Io> void Fields(Io& io) { io(nSentBytes, nRecvBytes, devices); }
    bool operator==(const MeterSnapshot&) const = default;
};
