// The Details window on a host with 40 devices, fed by a fake snapshot source: the time from
// constructing the window to its first paint (table and graph both painted), and the cost of one
// refresh a second (sample, table update, repaint) with a full ten-minute graph; then the same
// refresh with the Applications tab shown, on 500 applications.
//
// Usage: orvek_bench_detailsopen [RUNS [REFRESHES]]   (offscreen unless QT_QPA_PLATFORM says
// otherwise; REFRESHES of each tab, 200 by default: more for a profile of the refresh)

#include "DetailsDlg.h"
#include "DeviceTableModel.h"
#include "RateGraph.h"
#include "TimedSampler.h"

#include <QApplication>
#include <QEvent>
#include <QTabWidget>
#include <QTableView>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDevices = 40;
constexpr int kApps = 500;

// A host of 40 devices with every state and kind the meter reports; counters grow per sample.
class CFortyDevices : public IDetailsSource {
public:
    CFortyDevices() {
        static const EDeviceState kStates[] = {EDeviceState::Capturing, EDeviceState::Down,
                                               EDeviceState::NoAddress, EDeviceState::Port,
                                               EDeviceState::Excluded,  EDeviceState::Failed,
                                               EDeviceState::Stopped,   EDeviceState::Gone};
        static const char* const kKinds[] = {"Ethernet", "Wi-Fi", "tunnel",
                                             "bridge",   "VLAN",  "virtual"};
        for (int n = 0; n < kDevices; ++n) {
            DeviceSnapshot& device = m_snapshot.devices.emplace_back();
            device.strName = (n < 4 ? std::string("enp") : std::string("veth")) + std::to_string(n);
            device.strKind = kKinds[n % 6];
            device.eState = n < 20 ? EDeviceState::Capturing : kStates[n % 8];
            if (device.eState == EDeviceState::Failed) {
                device.strDetail = "veth7: socket: Operation not permitted";
            }
            device.bCapturing = n < 20;
            device.nDrops = n == 3 ? 1234 : 0;
        }
        // 500 applications (as many flows of different applications) and the reasons' rows.
        for (int n = 0; n < kApps; ++n) {
            m_snapshot.apps.push_back({"app-" + std::to_string(n) + ".service", 0, 0, 0, n % 7});
        }
        for (uint32_t nReason = 1; nReason < 8; ++nReason) {
            m_snapshot.apps.push_back(
                {"not attributed " + std::to_string(nReason), nReason, 0, 0, 0});
        }
    }
    // User-interface thread: a second's traffic more on each capturing device.
    void Advance() {
        int n = 0;
        for (DeviceSnapshot& device : m_snapshot.devices) {
            if (device.bCapturing) {
                device.nRecvBytes += (n + 1) * 37'000;
                device.nSentBytes += (n + 1) * 5'000;
                device.nRecvPackets += (n + 1) * 30;
                device.nSentPackets += (n + 1) * 9;
            }
            ++n;
        }
        n = 0;
        for (AppUsage& app : m_snapshot.apps) {
            app.nSentBytes += (n % 50 + 1) * 1'000;
            app.nRecvBytes += (n % 13 + 1) * 9'000;
            ++n;
        }
    }
    // User-interface thread, as the window calls them.
    MeterSnapshot GetSnapshot() const override { return m_snapshot; }
    std::set<std::string> GetExcludedDevices() const override { return {}; }
    void SetExcludedDevices(const std::set<std::string>&) override {}
    std::map<std::string, std::string> GetTunnels() const override { return {}; }
    void SetTunnels(const std::map<std::string, std::string>&) override {}

private:
    MeterSnapshot m_snapshot;
};

// Notes when a widget is painted.
class CPaintWatch : public QObject {
public:
    bool m_bPainted = false;

protected:
    // User-interface thread, for every event of the watched widget; only looks.
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override {
        if (pEvent->type() == QEvent::Paint) {
            m_bPainted = true;
        }
        return QObject::eventFilter(pWatched, pEvent);
    }
};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double Percentile(std::vector<double> values, double dShare) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(dShare * static_cast<double>(values.size() - 1))];
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int nRefreshes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;

    CFortyDevices source;
    CTimedSampler sampler(source);
    // Ten minutes of history, one sample a second.
    Clock::time_point tSample = Clock::now();
    for (int n = 0; n <= CTimedSampler::kHistoryPoints; ++n) {
        source.Advance();
        sampler.Sample(tSample += std::chrono::seconds(1));
    }

    std::vector<double> openMs;
    for (int nRun = 0; nRun < nRuns; ++nRun) {
        CPaintWatch tableWatch, graphWatch;
        const Clock::time_point tStart = Clock::now();
        CDetailsDlg dlg(source, sampler);
        dlg.GetTable()->viewport()->installEventFilter(&tableWatch);
        dlg.GetGraph()->installEventFilter(&graphWatch);
        dlg.show();
        while (!tableWatch.m_bPainted || !graphWatch.m_bPainted) {
            QCoreApplication::processEvents();
        }
        openMs.push_back(Ms(Clock::now() - tStart));
        if (nRun == 0) {
            std::printf("rows=%d visible rows=%d window=%dx%d\n", dlg.GetModel()->rowCount(),
                        dlg.GetTable()->rowAt(dlg.GetTable()->viewport()->height() - 1) + 1,
                        dlg.width(), dlg.height());
        }
    }
    std::printf("open_to_first_paint_ms first=%.1f p50=%.1f max=%.1f runs=%d\n", openMs.front(),
                Percentile(openMs, 0.5), Percentile(openMs, 1.0), nRuns);

    // One refresh a second, as the timer does: sample, update the table, repaint both.
    CDetailsDlg dlg(source, sampler);
    CPaintWatch tableWatch, graphWatch;
    dlg.GetTable()->viewport()->installEventFilter(&tableWatch);
    dlg.GetGraph()->installEventFilter(&graphWatch);
    dlg.show();
    QCoreApplication::processEvents();
    std::vector<double> refreshMs, sampleMs;
    for (int n = 0; n < nRefreshes; ++n) {
        tableWatch.m_bPainted = graphWatch.m_bPainted = false;
        source.Advance();
        const Clock::time_point tStart = Clock::now();
        sampler.Sample(tSample += std::chrono::seconds(1));
        sampleMs.push_back(Ms(Clock::now() - tStart));
        while (!tableWatch.m_bPainted || !graphWatch.m_bPainted) {
            QCoreApplication::processEvents();
        }
        refreshMs.push_back(Ms(Clock::now() - tStart));
    }
    // The whole refresh, and its first part: reading the source, rates, sorting, table update.
    std::printf("refresh_ms p50=%.2f p99=%.2f max=%.2f n=%zu\n", Percentile(refreshMs, 0.5),
                Percentile(refreshMs, 0.99), Percentile(refreshMs, 1.0), refreshMs.size());
    std::printf("sample_and_update_ms p50=%.2f p99=%.2f\n", Percentile(sampleMs, 0.5),
                Percentile(sampleMs, 0.99));

    // The same with the Applications tab shown: 500 applications sorted, rated and repainted.
    dlg.GetTabs()->setCurrentWidget(dlg.GetAppTable());
    CPaintWatch appWatch;
    dlg.GetAppTable()->viewport()->installEventFilter(&appWatch);
    QCoreApplication::processEvents();
    refreshMs.clear();
    sampleMs.clear();
    std::vector<double> cpuMs;
    for (int n = 0; n < nRefreshes; ++n) {
        appWatch.m_bPainted = false;
        source.Advance();
        const double dCpuStart = ThreadCpuMs();
        const Clock::time_point tStart = Clock::now();
        sampler.Sample(tSample += std::chrono::seconds(1));
        sampleMs.push_back(Ms(Clock::now() - tStart));
        while (!appWatch.m_bPainted) {
            QCoreApplication::processEvents();
        }
        refreshMs.push_back(Ms(Clock::now() - tStart));
        cpuMs.push_back(ThreadCpuMs() - dCpuStart);
    }
    std::printf("applications_refresh_ms (%d applications) p50=%.2f p99=%.2f max=%.2f\n", kApps,
                Percentile(refreshMs, 0.5), Percentile(refreshMs, 0.99),
                Percentile(refreshMs, 1.0));
    std::printf("applications_sample_and_update_ms p50=%.2f p99=%.2f\n", Percentile(sampleMs, 0.5),
                Percentile(sampleMs, 0.99));
    // The thread's own CPU time: the refresh's cost without the time other processes took.
    std::printf("applications_refresh_cpu_ms p50=%.2f p99=%.2f\n", Percentile(cpuMs, 0.5),
                Percentile(cpuMs, 0.99));
    return 0;
}
