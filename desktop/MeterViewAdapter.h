#pragma once

#include "CaptureClient.h"
#include "DetailsSource.h"

#include <functional>
#include <map>
#include <set>
#include <string>

class CMessageBoxQueue;
class CSettingsKeeper;
class QObject;

// The window's side of the meter: the view the capture helper's client reports to (counter texts
// to the window, messages to its boxes, posted work to its thread) and the source the Details
// window and the sampler read and change (the client's devices, the user's kept choices). It owns
// the client, which it is the view of: the client is its last member, destroyed first, and ends
// the helper while the window and the adapter's other parts still exist.
class CMeterViewAdapter final : public IMeterView, public IDetailsSource {
public:
    // What the adapter asks of the window.
    struct Hooks {
        // User-interface thread: shows the two counter texts; must not block.
        std::function<void(int64_t nRecvBytes, int64_t nSentBytes)> fnShowCounters;
        // User-interface thread, posted, when a helper ended that was not told to: capture has
        // stopped; must not block.
        std::function<void()> fnCaptureEnded;
        // User-interface thread, after the user changed the excluded devices: lists the devices
        // again while nothing captures.
        std::function<void()> fnExcludedChanged;
    };

    // pContext lives on the user-interface thread: posted work runs there, and is dropped once it
    // is gone. It, the settings and the message boxes must outlive the adapter.
    // source: where the client's counts come from.
    CMeterViewAdapter(QObject* pContext, CSettingsKeeper& settings, CMessageBoxQueue& messages,
                      Hooks hooks, const CaptureSource& source = {});
    CMeterViewAdapter(const CMeterViewAdapter&) = delete;
    CMeterViewAdapter& operator=(const CMeterViewAdapter&) = delete;

    CCaptureClient& GetMeter() { return m_meter; }

    // User-interface thread: the window's counters.
    void ShowCounters(int64_t nRecvBytes, int64_t nSentBytes) override;
    // Any thread: the window's message boxes, shown together when they come in a burst.
    void ShowMessage(const std::string& strText, const char* szCaption) override;
    // Any thread: queues fn for the user-interface thread, through a timer when delayed.
    void Post(std::function<void()> fn, int nDelayMs) override;

    // User-interface thread: the meter's devices and totals.
    MeterSnapshot GetSnapshot() const override;
    // User-interface thread: the devices the user excluded.
    std::set<std::string> GetExcludedDevices() const override;
    // User-interface thread: closes (or reopens) devices at once and keeps the choice.
    void SetExcludedDevices(const std::set<std::string>& excluded) override;
    // User-interface thread: the devices the user said are tunnels, kept in the settings.
    std::map<std::string, std::string> GetTunnels() const override;
    void SetTunnels(const std::map<std::string, std::string>& tunnels) override;

private:
    QObject* m_pContext;
    CSettingsKeeper& m_settings;
    CMessageBoxQueue& m_messages;
    Hooks m_hooks;
    // Last member: destroyed first, it ends the helper while the adapter can still show.
    CCaptureClient m_meter;
};
