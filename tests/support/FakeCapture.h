#pragma once

// A capture control without devices, for meters under test that are handed packets directly:
// Start announces nothing, nothing is excluded, and the devices listed are the test's.

#include "AdapterListener.h"
#include "CaptureControl.h"

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
template <class TListener> IPacketAnalyzer& Announce(TListener& listener, const char* szDevice) {
    return *listener.OnAdapterFound(szDevice).pAnalyzer;
}

// Capture through a real control, with the listener's requests changed on the way: every device
// gets a ring of nRingBytes (0: as asked), so that a test can make a burst overflow it.
class CRingOverride : public ICaptureControl, private IAdapterListener {
public:
    CRingOverride(ICaptureControl& control, int nRingBytes)
        : m_control(control), m_nRingBytes(nRingBytes) {}

    std::vector<DeviceFailure> Start(IAdapterListener* pListener) override {
        m_pListener = pListener;
        return m_control.Start(this);
    }
    void StopAll() override { m_control.StopAll(); }
    std::vector<DeviceState> GetDeviceStates() const override {
        return m_control.GetDeviceStates();
    }
    void RefreshDeviceStates() override { m_control.RefreshDeviceStates(); }
    void SetExcludedDevices(const std::set<std::string>& excluded) override {
        m_control.SetExcludedDevices(excluded);
    }
    std::set<std::string> GetExcludedDevices() const override {
        return m_control.GetExcludedDevices();
    }
    bool IsMonitorUp() const override { return m_control.IsMonitorUp(); }

private:
    // Monitor or user thread, as the listener's.
    void OnException(const CZarnException& e) override { m_pListener->OnException(e); }
    // Opening threads, as the listener's.
    CaptureRequest OnAdapterFound(const char* szDeviceName) override {
        CaptureRequest request = m_pListener->OnAdapterFound(szDeviceName);
        request.nRingBytes = m_nRingBytes != 0 ? m_nRingBytes : request.nRingBytes;
        return request;
    }

    ICaptureControl& m_control;
    const int m_nRingBytes;
    IAdapterListener* m_pListener = nullptr; // set by Start, before any refresh
};

} // namespace orvektest
