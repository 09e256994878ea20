#pragma once

#include "Meter.h"
#include "MeterView.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/types.h>

// How long a client waits for the capture helper before it gives the helper up.
struct CaptureTimeouts {
    std::chrono::milliseconds answer{5000};   // a snapshot, and the helper's greeting
    std::chrono::milliseconds capture{30000}; // Start and Stop, which open and close devices
};

// The meter of the capture helper, orvek-capture, for a program that holds no capability: the
// window and the headless program. Starts the helper at the first StartCapture, as a child with a
// socket pair, and speaks the helper's protocol; the helper ends when this client is destroyed.
// The helper's counter updates (at the display's pace) and messages reach the view as the meter's
// own would. A helper that ends or breaks the protocol is reported once under "Exception", its
// last counts are kept, and the next StartCapture starts a new one that counts on from them.
// No call waits for the helper longer than its time-out.
class CCaptureClient final : public IMeter {
public:
    static constexpr const char* kHelperVariable = "ORVEK_CAPTURE_HELPER";

    // The view must outlive the client, which is destroyed on the view thread. fnCaptureEnded
    // (view thread, posted; must not block) runs when a helper ends that was not told to: capture
    // has stopped.
    explicit CCaptureClient(IMeterView& view, std::function<void()> fnCaptureEnded = {},
                            CaptureTimeouts timeouts = {});
    CCaptureClient(const CCaptureClient&) = delete;
    CCaptureClient& operator=(const CCaptureClient&) = delete;
    // Ends the helper (it stops capture first) and waits for it, at most a few seconds.
    ~CCaptureClient();

    // Where the helper is: beside this program as installed (or built), or what the environment
    // variable ORVEK_CAPTURE_HELPER names, unless this process runs with gained privilege.
    static std::string FindHelper();

    // Any thread. Kept here, and sent to the helper while one runs.
    void SetCaptureSettings(const std::string& strFilter, bool bPromiscuous) override;
    std::string GetFilter() const override;
    bool IsPromiscuous() const override;
    void SetExcludedDevices(const std::set<std::string>& excluded) override;
    std::set<std::string> GetExcludedDevices() const override;
    void SetTunnels(const std::map<std::string, std::string>& tunnels) override;
    void SetNotTunnels(const std::set<std::string>& devices) override;
    // Any thread: the running helper's devices; none when no helper runs.
    std::vector<DeviceState> GetDeviceStates() const override;
    // View thread: starts a helper when none runs, and has it list the devices while idle.
    void RefreshDeviceStates() override;

    // View thread: starts a helper when none runs, then capture. Failures as COrvekMeter's:
    // libpcap's text, thrown or returned; a helper that cannot be started, or ends meanwhile,
    // throws a text of its own.
    std::string StartCapture() override;
    // Any thread: returns once the helper has stopped capture, or has gone.
    void StopCapture() override;

    // Any thread: the helper's snapshot, with what helpers before it counted; the last one known
    // when no helper runs.
    MeterSnapshot GetSnapshot() const override;
    int64_t GetRecvBytes() const override;
    int64_t GetSentBytes() const override;

    // View thread: shows the totals last reported.
    void UpdateCounters() override;
    // Any thread, as the meter's.
    void OnException(const CZarnException& e) override;
    // View thread, inside a catch block.
    void OnCurrentException() override;
    // Any thread: the advice for want of the permission names the helper, which captures.
    std::string DescribeFailure(const CZarnException& e) const override;

    // The running helper's process id; 0 when none runs.
    pid_t GetHelperPid() const;

private:
    class CLink;

    // Sets one of the user's device choices (a member guarded by m_mtxSettings) and tells the
    // helper all of them.
    template <class T> void ChangeChoice(T& choice, const T& value);

    IMeterView& m_view;
    mutable std::mutex m_mtxSettings;
    std::string m_strFilter{"tcp or udp"};        // guarded by m_mtxSettings
    bool m_bPromiscuous = false;                  // guarded by m_mtxSettings
    std::set<std::string> m_excluded;             // guarded by m_mtxSettings
    std::map<std::string, std::string> m_tunnels; // guarded by m_mtxSettings
    std::set<std::string> m_notTunnels;           // guarded by m_mtxSettings
    // The helper's sessions, one after another.
    std::unique_ptr<CLink> m_pLink;
};
