#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One device as the meter saw it at one moment.
struct DeviceSnapshot {
    std::string strName;
    // "capturing", or why not: "down", "no address", "loopback", "bridge port", "excluded",
    // "failed: <libpcap's text>", "gone" (counted before, no longer listed)
    std::string strState;
    bool bCapturing = false;
    int64_t nSentBytes = 0, nRecvBytes = 0, nSentPackets = 0, nRecvPackets = 0, nDrops = 0;
    std::string strKind =
        {}; // "Ethernet", "Wi-Fi", "tunnel", "bridge", "VLAN", "virtual", "loopback"
};

// The meter's totals and its devices at one moment; totals are the sums over devices.
struct MeterSnapshot {
    int64_t nSentBytes = 0, nRecvBytes = 0;
    std::vector<DeviceSnapshot> devices;
    // False while the address-change monitor waits to restart after its news failed: devices and
    // addresses are not followed meanwhile.
    bool bMonitorUp = true;
};
