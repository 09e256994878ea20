#pragma once

#include "CaptureSource.h"
#include "Meter.h"
#include "MeterView.h"
#include "ZarnException.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>

// How long a client waits for the capture helper before it gives the helper up.
struct CaptureTimeouts {
    std::chrono::milliseconds answer{5000};   // the helper's greeting, and a send it does not read
    std::chrono::milliseconds capture{30000}; // Start and Stop, which open and close devices
    std::chrono::milliseconds stall{1000};    // an answer this late shows the helper as stalled
    // So does a capturing helper silent this long: it sends its snapshot at least every second.
    std::chrono::milliseconds silence{3000};
};

// What a Start came to: capture started (the devices that failed in one message, "" when all
// opened), or not and why (libpcap's text, or the helper's end).
struct StartOutcome {
    std::string strFailures;
    std::optional<CZarnException> error;
};

// The meter of the capture helper, orvek-capture, for a program that holds no capability: the
// window, the headless program and the terminal view. Its source is the system service, reached
// on its socket, or a helper of its own, started when first needed as a child with a socket pair;
// it speaks the helper's protocol with either on a thread of its own, so that no call of the view's
// thread waits for the helper: requests are queued to that thread and their outcomes posted to
// the view, and what the helper pushes (its snapshot and device states) is kept here, to be read
// without a word to the helper. The helper's counter updates (at the display's pace) and messages
// reach the view as the meter's own would. A helper that ends or breaks the protocol is reported
// once under "Exception", its last counts are kept, and the next Start starts a new one that
// counts on from them; a service that goes while capturing is reached again as soon as it
// answers (it restarted), and capture goes on from those counts. No request waits for the helper
// longer than its time-out.
class CCaptureClient final : public IMeter {
public:
    static constexpr const char* kHelperVariable = "ORVEK_CAPTURE_HELPER";

    // The view must outlive the client, which is destroyed on the view thread. fnCaptureEnded
    // (view thread, posted; must not block) runs when a helper ends that was not told to: capture
    // has stopped. source: where the protocol comes from (by default a helper of its own).
    explicit CCaptureClient(IMeterView& view, std::function<void()> fnCaptureEnded = {},
                            CaptureTimeouts timeouts = {}, CaptureSource source = {});
    CCaptureClient(const CCaptureClient&) = delete;
    CCaptureClient& operator=(const CCaptureClient&) = delete;
    // Ends the helper and waits for it: a stalled one is killed at once, another stops capture
    // first and is killed when it takes more than a few seconds.
    ~CCaptureClient();

    // Where the helper is: beside this program as installed (or built), or what the environment
    // variable ORVEK_CAPTURE_HELPER names, unless this process runs with gained privilege.
    static std::string FindHelper();

    // View thread, before the first request: fnStalled (view thread, posted; must not block) runs
    // with true once an answer is later than the stall time-out, or a capturing helper has been
    // silent for the silence time-out, and with false when it spoke again or was given up.
    void SetStallHandler(std::function<void(bool bStalled)> fnStalled);

    // Any thread. Kept here, and sent to the helper while one runs.
    void SetCaptureSettings(const std::string& strFilter, bool bPromiscuous) override;
    std::string GetFilter() const override;
    bool IsPromiscuous() const override;
    void SetExcludedDevices(const std::set<std::string>& excluded) override;
    std::set<std::string> GetExcludedDevices() const override;
    void SetTunnels(const std::map<std::string, std::string>& tunnels) override;
    void SetNotTunnels(const std::set<std::string>& devices) override;
    // Any thread: how often the helper pushes its snapshot while counts move, from kMinPaceMs (the
    // display's pace, the default) to kMaxPaceMs (clamped): a client that reads its snapshot
    // seldom asks for it seldom. Kept, and sent to the helper while one runs.
    void SetPace(std::chrono::milliseconds pace);
    // Any thread, at once: the running helper's devices as it last told them; none when no helper
    // runs.
    std::vector<DeviceState> GetDeviceStates() const override;
    // Any thread, at once: has a helper (started when none runs) list the devices while idle;
    // their states come later.
    void RefreshDeviceStates() override;

    // Any thread, at once: queues a Start, which starts a helper when none runs, then capture.
    // fnDone (view thread, posted; must not block) gets the outcome: failures as COrvekMeter's,
    // or a text of its own for a helper that cannot be started or ends meanwhile.
    void RequestStart(std::function<void(const StartOutcome&)> fnDone);
    // Any thread, at once: queues a Stop after the requests before it. fnDone (view thread,
    // posted; must not block; may be empty) runs once the helper stopped capture, or has gone.
    void RequestStop(std::function<void()> fnDone = {});
    // Not on a view thread that must stay responsive: RequestStart and RequestStop, waiting for
    // the outcome on the calling thread (thrown, or returned).
    std::string StartCapture() override;
    void StopCapture() override;

    // Any thread, at once: the helper's last snapshot, with what helpers before it counted; the
    // last one known when no helper runs.
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

    // The running helper's process id (the service's with the service); 0 when none runs.
    pid_t GetHelperPid() const;
    // Any thread: where the counts come from.
    const CaptureSource& GetSource() const { return m_source; }

private:
    class CLink;

    // Queues a Start with the settings as they are now; fnOutcome runs on the client's thread.
    void QueueStart(std::function<void(StartOutcome)> fnOutcome);
    // Sets one of the user's device choices (a member guarded by m_mtxSettings) and tells the
    // helper all of them.
    template <class T> void ChangeChoice(T& choice, const T& value);

    IMeterView& m_view;
    const CaptureSource m_source;
    mutable std::mutex m_mtxSettings;
    std::string m_strFilter{"tcp or udp"};        // guarded by m_mtxSettings
    bool m_bPromiscuous = false;                  // guarded by m_mtxSettings
    std::set<std::string> m_excluded;             // guarded by m_mtxSettings
    std::map<std::string, std::string> m_tunnels; // guarded by m_mtxSettings
    std::set<std::string> m_notTunnels;           // guarded by m_mtxSettings
    // The helper's sessions, one after another, and the thread that speaks to them.
    std::unique_ptr<CLink> m_pLink;
};
