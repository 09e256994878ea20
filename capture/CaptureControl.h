#pragma once

#include "AdapterListener.h"
#include "ZarnException.h"

#include <cstdint>
#include <map>
#include <set>
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

// One listed device as the last refresh saw it.
struct DeviceState {
    std::string strName;
    std::string strKind; // "Ethernet", "Wi-Fi", "tunnel", "bridge", "VLAN", "virtual", "loopback"
    EDeviceState eState;
    // Why a failed device failed; the device a stacked one counts on, or a tunnel is carried by.
    std::string strError;
    // A carried device: whether the user said it is a tunnel, and how its outer packets are told.
    bool bChosen = false;
    OuterFlow outer = {};
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

// Whether a device could not be opened for want of the permission to capture (cap_net_raw).
bool IsPermissionFailure(const CZarnException& e);

// Capture as its user drives it: started and stopped with a listener, the devices' states, the
// devices the user excluded. The calls come from the user's thread, never from a capture thread.
struct ICaptureControl {
    // Stores the listener and captures on every device that carries this host's traffic,
    // following changes until StopAll. Devices that fail are skipped and returned; throws
    // CZarnException only when devices failed and none could be opened, or when the devices
    // cannot be listed or followed.
    virtual std::vector<DeviceFailure> Start(IAdapterListener* pListener) = 0;
    // Stops following changes and closes every device; returns when no thread calls the listener.
    // Does nothing when nothing runs.
    virtual void StopAll() = 0;
    // Every network device of the last listing, in the listing's order. Never waits for devices
    // being opened or listed.
    virtual std::vector<DeviceState> GetDeviceStates() const = 0;
    // While nothing captures: lists the devices and their states afresh, opening none, so that
    // they can be shown and excluded before a Start; devices Start would open are Ready. Does
    // nothing while capturing (the states follow the devices then) or while a listing runs.
    // Never waits for devices being opened. Throws CZarnException when the devices cannot be
    // listed.
    virtual void RefreshDeviceStates() = 0;
    // Devices never to open; applied at once while capturing (closed, or opened when no longer
    // excluded: tried again even if it failed before and has not changed since). Never waits for
    // devices being opened or listed.
    virtual void SetExcludedDevices(const std::set<std::string>& excluded) = 0;
    virtual std::set<std::string> GetExcludedDevices() const = 0;
    // Devices the user says are tunnels, each with the device that carries it: captured as
    // Carried (unless excluded), applied at once while capturing.
    virtual void SetChosenTunnels(const std::map<std::string, std::string>& tunnels) = 0;
    // Tun and tap devices the user says are no tunnels, whatever their holders' sockets say:
    // captured as any device. Applied at once while capturing; never waits for devices being
    // opened or listed.
    virtual void SetNotTunnels(const std::set<std::string>& devices) = 0;
    // False only while capturing with the device and address monitor down, waiting to restart:
    // changes of the host are not followed meanwhile.
    virtual bool IsMonitorUp() const = 0;

protected:
    ~ICaptureControl() = default;
};
