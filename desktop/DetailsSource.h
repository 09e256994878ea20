#pragma once

#include "MeterSnapshot.h"

#include <map>
#include <set>
#include <string>

// What the Details window reads and changes: the meter and the capture library in the
// application, a fake in tests and benchmarks. Called on the user-interface thread only.
struct IDetailsSource {
    // User-interface thread: every device with its state and counters. Must not wait for a
    // capture thread.
    virtual MeterSnapshot GetSnapshot() const = 0;
    // User-interface thread: the devices the user unticked (not counted, kept closed).
    virtual std::set<std::string> GetExcludedDevices() const = 0;
    // User-interface thread: closes the named devices and opens again those no longer named;
    // returns without waiting for either.
    virtual void SetExcludedDevices(const std::set<std::string>& excluded) = 0;
    // User-interface thread: the devices the user said are tunnels, each with the device whose
    // packets carry its traffic (such a device is captured apart from the totals, and its
    // snapshot says why; none is also excluded), and with "" those the user said are none,
    // whatever Orvek finds.
    virtual std::map<std::string, std::string> GetTunnels() const = 0;
    // User-interface thread: keeps the tunnels and applies them without waiting.
    virtual void SetTunnels(const std::map<std::string, std::string>& tunnels) = 0;

protected:
    ~IDetailsSource() = default;
};
