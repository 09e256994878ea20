#pragma once

// A capture control without devices, for meters under test that are handed packets directly:
// Start announces nothing and lists the devices the test sets; it counts starts and stops.

#include "AdapterListener.h"
#include "CaptureControl.h"

#include <mutex>

namespace orvektest {

class CFakeControl : public ICaptureControl {
public:
    // Any thread.
    std::vector<DeviceFailure> Start(IAdapterListener*) override {
        std::lock_guard guard(m_mtx);
        ++m_nStarts;
        return {};
    }
    void StopAll() override {
        std::lock_guard guard(m_mtx);
        ++m_nStops;
    }
    std::vector<DeviceState> GetDeviceStates() const override {
        std::lock_guard guard(m_mtx);
        return m_states;
    }
    void RefreshDeviceStates() override {}
    void SetExcludedDevices(const std::set<std::string>& excluded) override {
        std::lock_guard guard(m_mtx);
        m_excluded = excluded;
    }
    std::set<std::string> GetExcludedDevices() const override {
        std::lock_guard guard(m_mtx);
        return m_excluded;
    }

    void SetDeviceStates(std::vector<DeviceState> states) {
        std::lock_guard guard(m_mtx);
        m_states = std::move(states);
    }
    int GetStops() const {
        std::lock_guard guard(m_mtx);
        return m_nStops;
    }

private:
    mutable std::mutex m_mtx;
    std::vector<DeviceState> m_states; // all guarded by m_mtx
    std::set<std::string> m_excluded;
    int m_nStarts = 0, m_nStops = 0;
};

// The analyzer the meter hands out for a device, as a refresh asks for it: the way packets reach
// a meter's device.
template <class TListener> IPacketAnalyzer& Announce(TListener& listener, const char* szDevice) {
    return *listener.OnAdapterFound(szDevice).pAnalyzer;
}

} // namespace orvektest
