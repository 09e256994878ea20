#pragma once

#include "AdapterListener.h"
#include "DeviceState.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

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
