#pragma once

#include "ZarnException.h"

#include <cstdint>
#include <string>
#include <vector>

// Why a listed device is or is not captured.
enum class EDeviceState : uint8_t {
    Capturing,
    Down,      // not up
    NoAddress, // no IPv4 or IPv6 address
    Loopback,  // its traffic never leaves the host
    Port,      // a port of a bridge, bond or team: its traffic crosses the master, which counts
    Excluded,  // the user excluded it
    Failed,    // it could not be opened (strError says why), or its capture ended
    Stopped,   // it was captured until StopAll
    Ready,     // listed while nothing captures: Start would open it
    Stacked,   // stacked on a captured device (strError names it), whose capture counts its frames
    Carried,   // a tunnel: its packets count as the outer packets that carry them, on the device
               // they leave through (strError names it when known): a kernel tunnel, one the
               // user chose, or a tun or tap device whose holder sends its packets over a socket
               // (strReason says how). Captured all the same, so that its inner traffic can be
               // shown beside the totals.
    Gone       // only in a meter's snapshot: counted before, no longer listed
};

// One listed device as the last refresh saw it. How a tunnel's outer packets are told stays with
// the capture library, which alone looks at packets.
struct DeviceState {
    std::string strName;
    std::string strKind; // "Ethernet", "Wi-Fi", "tunnel", "bridge", "VLAN", "virtual", "loopback"
    EDeviceState eState;
    // Why a failed device failed; the device a stacked one counts on, or a tunnel is carried by.
    std::string strError;
    // A carried device: whether the user said it is a tunnel.
    bool bChosen = false;
    // For a tun or tap device: why it is, or is not, a tunnel ("openvpn sends it over UDP to
    // 192.0.2.1:1194", "held by no process"); empty for others.
    std::string strReason = {};
};

// A device that could not be opened, with what opening it threw.
struct DeviceFailure {
    std::string strDevice;
    CZarnException error;
};

// One message for failed devices, each named: "tun0, tun1: <text>" when all failed alike (a filter
// that tunnels refuse is one problem), otherwise a line per device.
std::string DescribeDeviceFailures(const std::vector<DeviceFailure>& failures);

// The codes libpcap opens fail with for want of the permission to capture, and in promiscuous
// mode (PCAP_ERROR_PERM_DENIED, PCAP_ERROR_PROMISC_PERM_DENIED; the capture library checks that
// they agree). Here as numbers, so that programs that never capture know them too.
inline constexpr int32_t kCapturePermissionDenied = -8;
inline constexpr int32_t kPromiscuousPermissionDenied = -11;

// Whether a device could not be opened for want of the permission to capture (cap_net_raw).
bool IsPermissionFailure(const CZarnException& e);
