#include "HeadlessMain.h"

#include "Capabilities.h"
#include "CaptureClient.h"
#include "EventLoop.h"
#include "HeadlessNotes.h"
#include "HeadlessOptions.h"
#include "MetricsServer.h"
#include "Protocol.h"
#include "SnapshotFormat.h"
#include "UsageOptions.h"
#include "UsageRecording.h"
#include "ZarnException.h"
#include "ZarnFd.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <set>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>

namespace {

// After the stop signal the counts may still move for a moment: the kernel hands over a block of
// captured packets at the latest 100 ms after its first packet came.
constexpr auto kSettleQuiet = std::chrono::milliseconds(300);
constexpr auto kSettleLimit = std::chrono::seconds(2);

// The meter's view: the loop runs its pacing, messages go to standard error, and the counter
// texts are not shown (the printed lines are made from snapshots).
class CHeadlessView : public IMeterView {
public:
    explicit CHeadlessView(CEventLoop& loop) : m_loop(loop) {}

    // Loop thread: nothing to show between lines; the totals moved.
    void ShowCounters(int64_t, int64_t) override {
        if (m_fnCountsMoved) {
            m_fnCountsMoved();
        }
    }
    // Any thread: each line of the message as a line of its own on standard error, at once.
    void ShowMessage(const std::string& strText, const char*) override {
        // Messages may hold several lines, one per device: each becomes a line of its own.
        size_t nStart = 0;
        while (nStart <= strText.size()) {
            const size_t nEnd = std::min(strText.find('\n', nStart), strText.size());
            std::fprintf(stderr, "orvek: %.*s\n", static_cast<int>(nEnd - nStart),
                         strText.c_str() + nStart);
            nStart = nEnd + 1;
        }
    }
    // Any thread: runs fn on the loop.
    void Post(std::function<void()> fn, int nDelayMs) override {
        m_loop.Post(std::move(fn), nDelayMs);
    }

    // Loop thread, whenever the totals moved; must not block.
    std::function<void()> m_fnCountsMoved;

private:
    CEventLoop& m_loop;
};

// Waits until the totals have not moved for a while, or the limit passed.
void WaitForSettledTotals(const IMeter& meter) {
    const auto deadline = std::chrono::steady_clock::now() + kSettleLimit;
    int64_t nLast = -1;
    for (;;) {
        const int64_t nNow = meter.GetRecvBytes() + meter.GetSentBytes();
        if (nNow == nLast || std::chrono::steady_clock::now() >= deadline) {
            return;
        }
        nLast = nNow;
        std::this_thread::sleep_for(kSettleQuiet);
    }
}

} // namespace

std::chrono::milliseconds HeadlessPace(const HeadlessOptions& options) {
    // A line reads the snapshot once an interval; a scrape (or the usage file's flush) at any
    // time, and a second old will do for it.
    const double dSeconds = options.dInterval > 0 ? options.dInterval : 1.0;
    return std::chrono::milliseconds(
        std::clamp<int64_t>(std::llround(dSeconds * 1000), kMinPaceMs, kMaxPaceMs));
}

int RunHeadless(const std::vector<std::string>& args) {
    HeadlessOptions options;
    UsageOptions usageOptions;
    std::string strError;
    if (!ParseHeadlessOptions(args, options, usageOptions, strError)) {
        std::fprintf(stderr, "orvek: %s\n%s", strError.c_str(), HeadlessUsage());
        return 2;
    }
    if (options.bHelp) {
        std::fputs(HeadlessUsage(), stdout);
        std::string strSource("\n");
        strSource.append(DescribeSourceChoice(options.strSocket));
        std::fputs(strSource.c_str(), stdout);
        return 0;
    }
    if (options.bVersion) {
        std::printf("orvek %s\n", ORVEK_VERSION);
        return 0;
    }

    // Decided once: a service that answers counts (and records: this program keeps a usage file
    // of its own only when --database names one); else a helper of its own.
    CaptureSource source;
    try {
        source = ChooseCaptureSource(options.strSocket);
    } catch (const CZarnException& e) {
        std::fprintf(stderr, "orvek: %s\n", e.GetDescription());
        return 1;
    }

    // Blocked before any thread starts, so that every thread inherits the mask and the signals
    // only reach the event loop, through the descriptor.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const CZarnFd hSignals(signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!hSignals.IsOpen()) {
        std::fprintf(stderr, "orvek: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    CEventLoop loop;
    CHeadlessView view(loop);
    // A capture helper that ends by itself ends the program: what it counted is printed, and the
    // status tells that capture did not go on.
    int nStatus = 0;
    CCaptureClient meter(
        view,
        [&] {
            nStatus = 1;
            loop.Quit();
        },
        {}, source);
    meter.SetCaptureSettings(options.strFilter, options.bPromiscuous);
    meter.SetTunnels(options.tunnels);
    meter.SetNotTunnels(options.notTunnels);
    meter.SetExcludedDevices(
        std::set<std::string>(options.vecExclude.begin(), options.vecExclude.end()));
    meter.SetPace(HeadlessPace(options));
    const auto snapshot = [&meter] { return meter.GetSnapshot(); };
    CUsageRecording usage(usageOptions, loop, snapshot, [&view](const std::string& strText) {
        view.ShowMessage(strText, "Usage");
    });
    view.m_fnCountsMoved = [&usage] { usage.OnCountsMoved(); };
    try {
        const std::string strFailures = meter.StartCapture();
        if (!strFailures.empty()) {
            view.ShowMessage(strFailures, kExceptionCaption);
        }
    } catch (const CZarnException& e) {
        view.ShowMessage(meter.DescribeFailure(e), kExceptionCaption);
        return 1;
    }
    if (const std::string strNotes = DescribeHeadlessStart(options, meter.GetDeviceStates());
        !strNotes.empty()) {
        view.ShowMessage(strNotes, kExceptionCaption);
    }
    CLineFormatter lines(options.bJson, options.bTimestamps, std::chrono::steady_clock::now(),
                         options.nPerApp);
    // The helper holds what capturing needs; this program, which serves HTTP, holds nothing (an
    // exporter started with CAP_NET_RAW for its helper gives it up here) but, until it listens,
    // the right to a low port.
    try {
        KeepOnlyCapabilities({CAP_NET_BIND_SERVICE});
    } catch (const CZarnException& e) {
        view.ShowMessage(DescribeError(e), kExceptionCaption);
        return 1;
    }

    std::unique_ptr<CMetricsServer> pServer;
    if (options.bMetrics) {
        try {
            pServer = std::make_unique<CMetricsServer>(
                options.strMetricsAddress, options.nMetricsPort, [&snapshot, &usage, &options] {
                    return FormatPrometheus(snapshot(), ORVEK_VERSION, options.nPerApp) +
                           usage.FormatMetrics();
                });
        } catch (const std::exception& e) {
            view.ShowMessage(e.what(), kExceptionCaption);
            return 1;
        }
    }
    try {
        KeepOnlyCapabilities({});
    } catch (const CZarnException& e) {
        view.ShowMessage(DescribeError(e), kExceptionCaption);
        return 1;
    }

    const auto printLine = [&] {
        const std::string& strLine = lines.Next(snapshot(), std::chrono::system_clock::now(),
                                                std::chrono::steady_clock::now());
        std::fprintf(stdout, "%s\n", strLine.c_str());
        std::fflush(stdout);
    };
    // Lines are due at whole intervals from the start, so that they do not drift.
    const auto interval = std::chrono::duration_cast<CEventLoop::Clock::duration>(
        std::chrono::duration<double>(options.dInterval));
    std::function<void(CEventLoop::Clock::time_point)> printEvery;
    printEvery = [&](CEventLoop::Clock::time_point tDue) {
        printLine();
        loop.PostAt(tDue + interval, [&printEvery, tNext = tDue + interval] { printEvery(tNext); });
    };
    if (options.dInterval > 0) {
        const auto tFirst = CEventLoop::Clock::now() + interval;
        loop.PostAt(tFirst, [&printEvery, tFirst] { printEvery(tFirst); });
    } else {
        view.ShowMessage(DescribeQuietRun(options), "");
    }
    loop.Watch(hSignals.Get(), [&] {
        signalfd_siginfo info{};
        while (read(hSignals.Get(), &info, sizeof info) > 0) {
        }
        loop.Quit();
    });
    loop.Run();

    // The last line's counts settle at the display's pace, as they are pushed.
    meter.SetPace(std::chrono::milliseconds(kMinPaceMs));
    WaitForSettledTotals(meter);
    meter.StopCapture();
    usage.Finish();
    printLine();
    return nStatus;
}
