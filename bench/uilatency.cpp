// Responsiveness of a user-interface thread that shows the meter's counters: the meter paces a
// view on this thread as it paces the window (queued update, counters shown, rest), and every 10 ms
// a timer posts an event whose delay until it runs is recorded, as is how late each tick came
// after the one before.
//
// Usage: orvek_bench_uilatency SECONDS
// Prints "ready adapters=N" once capturing, then after SECONDS the delay percentiles.

#include "AdapterManager.h"
#include "CoreMeterView.h"
#include "OrvekMeter.h"
#include "ZarnException.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kProbeMs = 10;

double Percentile(std::vector<double> values, double dShare) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto nIndex = static_cast<size_t>(dShare * static_cast<double>(values.size() - 1));
    return values[nIndex];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int nSeconds = argc > 1 ? std::atoi(argv[1]) : 5;
    CCoreMeterView view;
    COrvekMeter meter(view);
    try {
        meter.StartCapture();
    } catch (const CZarnException& e) {
        std::fprintf(stderr, "StartCapture: %s\n", e.GetDescription());
        return 1;
    }
    std::printf("ready adapters=%zu\n", CAdapterManager::GetInstance()->GetAdapterStates().size());
    std::fflush(stdout);

    std::vector<double> postDelays;
    std::vector<double> timerLateness;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    Clock::time_point tPrevious = Clock::now();
    QObject::connect(&probe, &QTimer::timeout, &app, [&] {
        const Clock::time_point tNow = Clock::now();
        // Lateness against the previous tick: a single late start does not count on every tick.
        const auto tDue = tPrevious + std::chrono::milliseconds(kProbeMs);
        tPrevious = tNow;
        timerLateness.push_back(std::chrono::duration<double, std::milli>(tNow - tDue).count());
        QMetaObject::invokeMethod(
            &app,
            [&postDelays, tNow] {
                postDelays.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - tNow).count());
            },
            Qt::QueuedConnection);
    });
    probe.start(kProbeMs);
    QTimer::singleShot(nSeconds * 1000, &app, [&] { app.quit(); });
    app.exec();
    probe.stop();
    const int64_t nRecv = meter.GetRecvBytes();
    meter.StopCapture();

    std::printf("posted_event_ms p50=%.3f p99=%.3f max=%.3f n=%zu\n", Percentile(postDelays, 0.5),
                Percentile(postDelays, 0.99), Percentile(postDelays, 1.0), postDelays.size());
    std::printf("timer_lateness_ms p50=%.3f p99=%.3f max=%.3f\n", Percentile(timerLateness, 0.5),
                Percentile(timerLateness, 0.99), Percentile(timerLateness, 1.0));
    std::printf("recv=%lld shown=%ld\n", static_cast<long long>(nRecv), view.GetShowCount());
    return 0;
}
