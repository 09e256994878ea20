// The Orvek meter without a window: its view runs the meter's display pacing on a thread of its own
// and draws nothing. Captures on every device of its network namespace until
// SIGINT or SIGTERM, waits for the totals to settle, stops and reports.
//
// Usage: orvek_bench_headless [--helper]
// Without --helper the meter runs in this process, as the programs ran it before the capture
// helper; with it, capture goes through the helper (ORVEK_CAPTURE_HELPER names it), as
// orvek-headless captures now.
// Prints "ready adapters=N" once capturing, then: recv=B sent=B cpu=S helper_cpu=S hwm=KiB
// helper_hwm=KiB (CPU from ready to settled, peak resident memory; the helper's 0 without one).

#include "AdapterManager.h"
#include "BenchCommon.h"
#include "CaptureClient.h"
#include "Capturing.h"
#include "OrvekMeter.h"
#include "ZarnException.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {

constexpr auto kSettlePoll = std::chrono::milliseconds(200);

// A view whose thread runs posted work when it is due and shows nothing: the user-interface side
// of the meter without a window.
class CLoopView : public IMeterView {
public:
    CLoopView() : m_thread([this](std::stop_token stop) { Loop(stop); }) {}

    // View thread: nothing is drawn.
    void ShowCounters(int64_t, int64_t) override {}
    // Any thread: printed at once.
    void ShowMessage(const std::string& strText, const char* szCaption) override {
        std::fprintf(stderr, "%s: %s\n", szCaption, strText.c_str());
    }
    // Any thread: queued for the loop.
    void Post(std::function<void()> fn, int nDelayMs) override {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_queue.emplace(Clock::now() + std::chrono::milliseconds(nDelayMs), std::move(fn));
        m_cv.notify_one();
    }
    // Ends the loop; posted work that has not run is dropped.
    void Stop() {
        m_thread.request_stop();
        m_thread.join();
    }

private:
    using Clock = std::chrono::steady_clock;

    void Loop(const std::stop_token& stop) {
        std::unique_lock<std::mutex> lock(m_mtx);
        while (!stop.stop_requested()) {
            if (m_queue.empty()) {
                m_cv.wait(lock, stop, [this] { return !m_queue.empty(); });
            } else if (m_queue.begin()->first > Clock::now()) {
                m_cv.wait_until(lock, stop, m_queue.begin()->first, [] { return false; });
            } else {
                auto fn = std::move(m_queue.begin()->second);
                m_queue.erase(m_queue.begin());
                lock.unlock();
                fn();
                lock.lock();
            }
        }
    }

    std::mutex m_mtx;
    std::condition_variable_any m_cv;
    std::multimap<Clock::time_point, std::function<void()>> m_queue; // guarded by m_mtx
    std::jthread m_thread;
};

} // namespace

int main(int argc, char** argv) {
    const bool bHelper = argc > 1 && std::strcmp(argv[1], "--helper") == 0;
    // Only the main thread takes the stop signals; every thread made later inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CLoopView view;
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
    // otherwise leave out as traffic the host forwards.
    meter.SetCaptureSettings(COrvekMeter::kDefaultFilter, true);
    try {
        meter.StartCapture();
    } catch (const CZarnException& e) {
        std::fprintf(stderr, "StartCapture: %s\n", e.GetDescription());
        return 1;
    }
    const pid_t nHelper = bHelper ? pClient->GetHelperPid() : 0;
    const long nCapturing = orvekbench::CountCapturing(meter);
    const double dCpuStart = orvekbench::ProcessCpuSeconds();
    const double dHelperStart = nHelper != 0 ? orvekbench::ProcessCpuSeconds(nHelper) : 0;
    std::printf("ready adapters=%ld\n", nCapturing);
    std::fflush(stdout);

    int nSignal = 0;
    sigwait(&signals, &nSignal);
    // Settled: two polls in a row see the same totals.
    int64_t nLast = -1;
    for (int nSame = 0; nSame < 2;) {
        std::this_thread::sleep_for(kSettlePoll);
        const int64_t nNow = meter.GetRecvBytes() + meter.GetSentBytes();
        nSame = nNow == nLast ? nSame + 1 : 0;
        nLast = nNow;
    }
    const double dCpu = orvekbench::ProcessCpuSeconds() - dCpuStart;
    const double dHelperCpu =
        nHelper != 0 ? orvekbench::ProcessCpuSeconds(nHelper) - dHelperStart : 0;
    const long nHwm = orvekbench::StatusKiB(getpid(), "VmHWM");
    const long nHelperHwm = nHelper != 0 ? orvekbench::StatusKiB(nHelper, "VmHWM") : 0;
    meter.StopCapture();
    const int64_t nRecv = meter.GetRecvBytes(), nSent = meter.GetSentBytes();
    pClient.reset();
    pInProcess.reset();
    view.Stop();
    std::printf("recv=%lld sent=%lld cpu=%.6f helper_cpu=%.6f hwm=%ld helper_hwm=%ld\n",
                static_cast<long long>(nRecv), static_cast<long long>(nSent), dCpu, dHelperCpu,
                nHwm, nHelperHwm);
    return 0;
}
