#pragma once

// A capture control without devices, for meters under test that are handed packets directly:
// Start announces nothing, nothing is excluded, and the devices listed are the test's.

#include "AdapterListener.h"
#include "CaptureControl.h"

#include <map>
#include <mutex>
#include <utility>

namespace orvektest {

class CFakeControl final : public ICaptureControl {
public:
    // Any thread.
    std::vector<DeviceFailure> Start(IAdapterListener*) override { return {}; }
    void StopAll() override {}
    std::vector<DeviceState> GetDeviceStates() const override {
        std::lock_guard guard(m_mtx);
        return m_states;
    }
    void RefreshDeviceStates() override {}
    void SetExcludedDevices(const std::set<std::string>&) override {}
    std::set<std::string> GetExcludedDevices() const override { return {}; }
    void SetChosenTunnels(const std::map<std::string, std::string>&) override {}
    void SetNotTunnels(const std::set<std::string>&) override {}
    bool IsMonitorUp() const override { return true; }

    // The devices listed from now on.
    void SetDeviceStates(std::vector<DeviceState> states) {
        std::lock_guard guard(m_mtx);
        m_states = std::move(states);
    }

private:
    mutable std::mutex m_mtx;
    std::vector<DeviceState> m_states; // guarded by m_mtx
};

// The analyzer the meter hands out for a device, as a refresh asks for it: the way packets reach
// a meter's device.
template <class TListener>
IPacketAnalyzer& Announce(TListener& listener, const char* szDevice, bool bCarried = false,
                          const OuterFlow& outer = {}) {
    return *listener.OnAdapterFound(szDevice, bCarried, outer).pAnalyzer;
}

} // namespace orvektest
