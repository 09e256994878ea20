#include "HeadlessMain.h"

#include "AdapterManager.h"
#include "CoreMeterView.h"
#include "HeadlessOptions.h"
#include "MetricsServer.h"
#include "OrvekMeter.h"
#include "SnapshotFormat.h"
#include "ZarnException.h"
#include "ZarnFd.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
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

// Prints messages as one line each on standard error; any thread.
class CHeadlessView : public CCoreMeterView {
public:
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
};

std::string ErrorText(const CZarnException& e) {
    return e.HasDescription() ? e.GetDescription() : std::strerror(e.GetCode());
}

// Waits until the totals have not moved for a while, or the limit passed.
void WaitForSettledTotals(const COrvekMeter& meter) {
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

int RunHeadless(int argc, char** argv) {
    HeadlessOptions options;
    std::string strError;
    if (!ParseHeadlessOptions(std::vector<std::string>(argv + std::min(argc, 2), argv + argc),
                              options, strError)) {
        std::fprintf(stderr, "orvek: %s\n%s", strError.c_str(), HeadlessUsage());
        return 2;
    }
    if (options.bHelp) {
        std::fputs(HeadlessUsage(), stdout);
        return 0;
    }
    if (options.bVersion) {
        std::printf("orvek %s\n", ORVEK_VERSION);
        return 0;
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

    QCoreApplication app(argc, argv);
    CHeadlessView view;
    COrvekMeter meter(view);
    meter.SetCaptureSettings(options.strFilter, options.bPromiscuous);
    CAdapterManager::GetInstance()->SetExcludedDevices(
        std::set<std::string>(options.vecExclude.begin(), options.vecExclude.end()));
    try {
        const std::string strFailures = meter.StartCapture();
        if (!strFailures.empty()) {
            view.ShowMessage(strFailures, COrvekMeter::kExceptionCaption);
        }
    } catch (const CZarnException& e) {
        view.ShowMessage(ErrorText(e), COrvekMeter::kExceptionCaption);
        return 1;
    }

    std::unique_ptr<CMetricsServer> pServer;
    if (options.bMetrics) {
        try {
            pServer = std::make_unique<CMetricsServer>(
                options.strMetricsAddress, options.nMetricsPort,
                [&meter] { return FormatPrometheus(meter.GetSnapshot(), ORVEK_VERSION); });
        } catch (const std::exception& e) {
            view.ShowMessage(e.what(), COrvekMeter::kExceptionCaption);
            return 1;
        }
    }

    const auto printLine = [&] {
        const MeterSnapshot snapshot = meter.GetSnapshot();
        const std::string strLine =
            options.bJson ? FormatJsonLine(snapshot) : FormatTextLine(snapshot);
        std::fprintf(stdout, "%s\n", strLine.c_str());
        std::fflush(stdout);
    };
    QTimer timerPrint;
    QObject::connect(&timerPrint, &QTimer::timeout, &app, printLine);
    if (options.dInterval > 0) {
        timerPrint.start(static_cast<int>(options.dInterval * 1000));
    }
    QSocketNotifier notifier(hSignals.Get(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info{};
        while (read(hSignals.Get(), &info, sizeof info) > 0) {
        }
        app.quit();
    });
    app.exec();

    timerPrint.stop();
    WaitForSettledTotals(meter);
    meter.StopCapture();
    printLine();
    return 0;
}
