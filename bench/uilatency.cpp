// Responsiveness of a user-interface thread that shows the meter's counters: the meter paces a
// view on this thread as it paces the window (queued update, counters shown, rest), and every 10 ms
// a timer posts an event whose delay until it runs is recorded, as is how late each tick came
// after the one before.
//
// Usage: orvek_bench_uilatency [--helper] SECONDS
// Without --helper the meter runs in this process, as the window ran it before the capture
// helper; with it, capture goes through the helper (ORVEK_CAPTURE_HELPER names it), as the window
// captures now.
// Prints "ready adapters=N" once capturing, then after SECONDS the delay percentiles, and the CPU
// seconds and peak resident memory of this process and of the helper (0 without one) over them.
//
// Built a second time as orvek_bench_uilatency_details (ORVEK_BENCH_DETAILS): a widget
// application that also samples the meter once a second and shows the Details window (table and
// graph) as the window application does; run it on the offscreen platform
// (QT_QPA_PLATFORM=offscreen) or a virtual display.

#include "AdapterManager.h"
#include "BenchCommon.h"
#include "CaptureClient.h"
#include "Capturing.h"
#include "CoreMeterView.h"
#include "OrvekMeter.h"
#include "ZarnException.h"

#ifdef ORVEK_BENCH_DETAILS
#include "DetailsDlg.h"
#include "DeviceTableModel.h"
#include "TimedSampler.h"

#include <QApplication>
#include <set>
#include <string>
#endif
#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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

#ifdef ORVEK_BENCH_DETAILS
// The meter, as the main window serves the Details window.
class CMeterSource : public IDetailsSource {
public:
    explicit CMeterSource(IMeter& meter) : m_meter(meter) {}
    // User-interface thread, as the window calls them. Each snapshot's time is kept: through the
    // helper it is the last one the helper pushed, read under the client's lock.
    MeterSnapshot GetSnapshot() const override {
        const Clock::time_point tStart = Clock::now();
        MeterSnapshot snapshot = m_meter.GetSnapshot();
        m_snapshotMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - tStart).count());
        return snapshot;
    }
    const std::vector<double>& GetSnapshotMs() const { return m_snapshotMs; }
    std::set<std::string> GetExcludedDevices() const override {
        return m_meter.GetExcludedDevices();
    }
    void SetExcludedDevices(const std::set<std::string>& excluded) override {
        m_meter.SetExcludedDevices(excluded);
    }
    std::map<std::string, std::string> GetTunnels() const override { return {}; }
    void SetTunnels(const std::map<std::string, std::string>&) override {}

private:
    IMeter& m_meter;
    mutable std::vector<double> m_snapshotMs;
};
#endif

} // namespace

int main(int argc, char** argv) {
#ifdef ORVEK_BENCH_DETAILS
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    const bool bHelper = argc > 1 && std::strcmp(argv[1], "--helper") == 0;
    const int nSeconds = argc > 1 + int{bHelper} ? std::atoi(argv[1 + int{bHelper}]) : 5;
    CCoreMeterView view;
    CAdapterManager manager;
    std::unique_ptr<COrvekMeter> pInProcess;
    std::unique_ptr<CCaptureClient> pClient;
    if (bHelper) {
        pClient = std::make_unique<CCaptureClient>(view);
    } else {
        pInProcess = std::make_unique<COrvekMeter>(view, manager, manager);
    }
    IMeter& meter = bHelper ? static_cast<IMeter&>(*pClient) : *pInProcess;
    // Promiscuous: the generator's frames go to an address nobody holds, which the meter would
    // otherwise leave out as forwarded traffic, and then nothing would reach the display.
    meter.SetCaptureSettings(COrvekMeter::kDefaultFilter, true);
    try {
        meter.StartCapture();
    } catch (const CZarnException& e) {
        std::fprintf(stderr, "StartCapture: %s\n", e.GetDescription());
        return 1;
    }
#ifdef ORVEK_BENCH_DETAILS
    CMeterSource source(meter);
    CTimedSampler sampler(source);
    sampler.Start();
    CDetailsDlg details(source, sampler);
    details.show();
    long nSamples = 0;
    QObject::connect(&sampler, &CTimedSampler::Sampled, &app, [&nSamples] { ++nSamples; });
#endif
    const pid_t nHelper = bHelper ? pClient->GetHelperPid() : 0;
    std::printf("ready adapters=%ld\n", orvekbench::CountCapturing(meter));
    std::fflush(stdout);
    const double dCpuStart = orvekbench::ProcessCpuSeconds();
    const double dHelperStart = nHelper != 0 ? orvekbench::ProcessCpuSeconds(nHelper) : 0;

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
    const double dCpu = orvekbench::ProcessCpuSeconds() - dCpuStart;
    const double dHelperCpu =
        nHelper != 0 ? orvekbench::ProcessCpuSeconds(nHelper) - dHelperStart : 0;
    const long nHwm = orvekbench::StatusKiB(getpid(), "VmHWM");
    const long nHelperHwm = nHelper != 0 ? orvekbench::StatusKiB(nHelper, "VmHWM") : 0;
    const int64_t nRecv = meter.GetRecvBytes();
    meter.StopCapture();

    std::printf("posted_event_ms p50=%.3f p99=%.3f max=%.3f n=%zu\n", Percentile(postDelays, 0.5),
                Percentile(postDelays, 0.99), Percentile(postDelays, 1.0), postDelays.size());
    std::printf("timer_lateness_ms p50=%.3f p99=%.3f max=%.3f\n", Percentile(timerLateness, 0.5),
                Percentile(timerLateness, 0.99), Percentile(timerLateness, 1.0));
    std::printf("recv=%lld shown=%ld\n", static_cast<long long>(nRecv), view.GetShowCount());
    std::printf("cpu=%.6f helper_cpu=%.6f hwm=%ld helper_hwm=%ld\n", dCpu, dHelperCpu, nHwm,
                nHelperHwm);
#ifdef ORVEK_BENCH_DETAILS
    std::printf("details samples=%ld rows=%d\n", nSamples, details.GetModel()->rowCount());
    std::printf("snapshot_ms p50=%.3f max=%.3f n=%zu\n", Percentile(source.GetSnapshotMs(), 0.5),
                Percentile(source.GetSnapshotMs(), 1.0), source.GetSnapshotMs().size());
#endif
    return 0;
}
