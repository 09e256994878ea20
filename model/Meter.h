#pragma once

#include "DeviceState.h"
#include "MeterSnapshot.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// A traffic meter as the window and the headless program drive it: the meter in this process
// (COrvekMeter) or the capture helper's, reached through its client (CCaptureClient). The totals
// and messages reach the view the meter was made with.
struct IMeter {
    // The filter and promiscuous choice for every device opened from now on.
    virtual void SetCaptureSettings(const std::string& strFilter, bool bPromiscuous) = 0;
    virtual std::string GetFilter() const = 0;
    virtual bool IsPromiscuous() const = 0;
    // Devices never to open; applied at once while capturing. Never waits for devices being
    // opened.
    virtual void SetExcludedDevices(const std::set<std::string>& excluded) = 0;
    virtual std::set<std::string> GetExcludedDevices() const = 0;
    // Devices the user says are tunnels, each with the device that carries it: captured, shown
    // with their inner traffic and kept out of the totals. Applied at once while capturing.
    virtual void SetTunnels(const std::map<std::string, std::string>& tunnels) = 0;
    // Tun and tap devices the user says are no tunnels (see ICaptureControl::SetNotTunnels).
    virtual void SetNotTunnels(const std::set<std::string>& devices) = 0;
    // Every network device of the last listing with its state, in the listing's order.
    virtual std::vector<DeviceState> GetDeviceStates() const = 0;
    // While nothing captures: lists the devices afresh, opening none, so that they can be shown
    // and excluded before a Start. Failures are left for Start to say.
    virtual void RefreshDeviceStates() = 0;

    // Starts capture. Returns one message for the devices that could not be opened ("" when all
    // opened); throws CZarnException with libpcap's text when none could.
    virtual std::string StartCapture() = 0;
    // Stops all capture; the totals stay and a new StartCapture counts on from them.
    virtual void StopCapture() = 0;

    // Every device with its state and counters, and the totals. Never waits for a capture thread.
    virtual MeterSnapshot GetSnapshot() const = 0;
    virtual int64_t GetRecvBytes() const = 0;
    virtual int64_t GetSentBytes() const = 0;

    // View thread: shows both totals.
    virtual void UpdateCounters() = 0;
    // Any thread: a described failure becomes a message captioned kExceptionCaption; one without
    // a description is ignored.
    virtual void OnException(const CZarnException& e) = 0;
    // View thread, inside a catch block: shows the exception being handled under
    // kExceptionCaption.
    virtual void OnCurrentException() = 0;
    // Any thread: a failure's text, and for want of the permission to capture, how to get it.
    virtual std::string DescribeFailure(const CZarnException& e) const = 0;

protected:
    ~IMeter() = default;
};
