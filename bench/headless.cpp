// The Orvek meter without a window: its view runs the meter's display pacing on a thread of its own
// and draws nothing. Captures on every device of its network namespace until
// SIGINT or SIGTERM, waits for the totals to settle, stops and reports.
//
// Usage: orvek_bench_headless
// Prints "ready adapters=N" once capturing, then: recv=B sent=B cpu=S

#include "AdapterManager.h"
#include "BenchCommon.h"
#include "Capturing.h"
#include "OrvekMeter.h"
#include "ZarnException.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
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
    void ShowCounters(const char*, const char*) override {}
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

int main() {
    // Only the main thread takes the stop signals; every thread made later inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CLoopView view;
    CAdapterManager manager;
    COrvekMeter meter(view, manager, manager);
    // Promiscuous: the generator's frames go to an address nobody holds, which the meter would
    // otherwise leave out as traffic the host forwards.
    meter.SetCaptureSettings(COrvekMeter::kDefaultFilter, true);
    try {
        meter.StartCapture();
    } catch (const CZarnException& e) {
        std::fprintf(stderr, "StartCapture: %s\n", e.GetDescription());
        return 1;
    }
    const double dCpuStart = orvekbench::ProcessCpuSeconds();
    std::printf("ready adapters=%ld\n", orvekbench::CountCapturing(manager));
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
    meter.StopCapture();
    view.Stop();
    std::printf("recv=%lld sent=%lld cpu=%.6f\n", static_cast<long long>(meter.GetRecvBytes()),
                static_cast<long long>(meter.GetSentBytes()), dCpu);
    return 0;
}
