// The Orvek meter without a window: a meter whose display does nothing but release itself every
// 100 ms, as the window's pacing would. Captures on every device of its network namespace until
// SIGINT or SIGTERM, waits for the totals to settle, stops and reports.
//
// Usage: orvek_bench_headless
// Prints "ready adapters=N" once capturing, then: recv=B sent=B cpu=S

#include "AdapterManager.h"
#include "BenchCommon.h"
#include "OrvekMeter.h"
#include "ZarnException.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {

constexpr auto kDisplayPace = std::chrono::milliseconds(100);
constexpr auto kSettlePoll = std::chrono::milliseconds(200);

class CHeadlessMeter : public COrvekMeter {
public:
    CHeadlessMeter() : m_threadDisplay([this](std::stop_token stop) { DisplayLoop(stop); }) {}
    ~CHeadlessMeter() override {
        StopCapture();
        m_threadDisplay.request_stop();
    }

protected:
    // Capture thread: the pending flag is the whole message; the display loop picks it up.
    void PostDisplayUpdate() override {}
    // Display thread: nothing is drawn.
    void ShowCounters(const char*, const char*) override {}
    // Any thread: printed at once.
    void ShowMessage(const std::string& strText, const char* szCaption) override {
        std::fprintf(stderr, "%s: %s\n", szCaption, strText.c_str());
    }

private:
    // The display thread: the user-interface side of the meter.
    void DisplayLoop(const std::stop_token& stop) {
        std::mutex mtx;
        std::condition_variable_any cv;
        std::unique_lock<std::mutex> lock(mtx);
        while (!stop.stop_requested()) {
            cv.wait_for(lock, stop, kDisplayPace, [] { return false; });
            if (!stop.stop_requested() && ReleaseDisplay()) {
                UpdateCounters();
            }
        }
    }

    std::jthread m_threadDisplay;
};

} // namespace

int main() {
    // Only the main thread takes the stop signals; every thread made later inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CHeadlessMeter meter;
    try {
        meter.StartCapture();
    } catch (const CZarnException& e) {
        std::fprintf(stderr, "StartCapture: %s\n", e.GetDescription());
        return 1;
    }
    const double dCpuStart = orvekbench::ProcessCpuSeconds();
    std::printf("ready adapters=%zu\n", CAdapterManager::GetInstance()->GetAdapterCount());
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
    std::printf("recv=%lld sent=%lld cpu=%.6f\n", static_cast<long long>(meter.GetRecvBytes()),
                static_cast<long long>(meter.GetSentBytes()), dCpu);
    return 0;
}
