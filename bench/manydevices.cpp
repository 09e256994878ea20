// Many devices: the meter's StartCapture and StopCapture on every device of its network namespace,
// timed by the process's own clock, then what capturing holds while idle: resident memory,
// threads and CPU, from /proc and getrusage.
//
// Usage: orvek_bench_manydevices [CYCLES] [IDLE_SECONDS]
// Prints one line per cycle and a summary; times in milliseconds.

#include "AdapterManager.h"
#include "BenchCommon.h"
#include "Capturing.h"
#include "OrvekMeter.h"
#include "ZarnException.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Shows nothing; the display update stays pending, as between two paces of a window.
class CNullView : public IMeterView {
public:
    // Never called: nothing is posted to run.
    void ShowCounters(int64_t, int64_t) override {}
    // Any thread: printed at once.
    void ShowMessage(const std::string& strText, const char* szCaption) override {
        std::fprintf(stderr, "%s: %s\n", szCaption, strText.c_str());
    }
    // Capture thread: dropped.
    void Post(std::function<void()>, int) override {}
};

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A "Name:   N kB" line of /proc/self/status, in KiB.
long StatusKiB(const char* szName) {
    std::ifstream status("/proc/self/status");
    for (std::string strLine; std::getline(status, strLine);) {
        if (strLine.rfind(szName, 0) == 0 && strLine[std::strlen(szName)] == ':') {
            return std::atol(strLine.c_str() + std::strlen(szName) + 1);
        }
    }
    return -1;
}

long ThreadCount() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
}

// The window's thread while the monitor opens every device: it asks for the device states as the
// Details window does, and must never wait for the opening. Excludes every device, then lets them
// all open again through the monitor; returns the longest GetDeviceStates call (and the
// SetExcludedDevices call that started it, in pdSetMs) over nRounds rounds, in milliseconds.
double LongestStateWait(CAdapterManager& manager, int nRounds, double* pdSetMs) {
    std::set<std::string> all;
    for (const DeviceState& state : manager.GetDeviceStates()) {
        all.insert(state.strName);
    }
    const auto countCapturing = [&] {
        const auto states = manager.GetDeviceStates();
        return std::ranges::count_if(
            states, [](const DeviceState& s) { return s.eState == EDeviceState::Capturing; });
    };
    double dLongest = 0;
    *pdSetMs = 0;
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        manager.SetExcludedDevices(all);
        while (countCapturing() != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const Clock::time_point tSet = Clock::now();
        manager.SetExcludedDevices({});
        *pdSetMs = std::max(*pdSetMs, MsSince(tSet));
        const Clock::time_point tLimit = Clock::now() + std::chrono::seconds(10);
        for (bool bAll = false; !bAll && Clock::now() < tLimit;) {
            const Clock::time_point tCall = Clock::now();
            const auto states = manager.GetDeviceStates();
            dLongest = std::max(dLongest, MsSince(tCall));
            bAll = std::ranges::count_if(
                       states,
                       [](const DeviceState& s) { return s.eState == EDeviceState::Capturing; }) +
                       1 >=
                   static_cast<long>(states.size());
        }
    }
    return dLongest;
}

} // namespace

int main(int argc, char** argv) {
    const int nCycles = argc > 1 ? std::atoi(argv[1]) : 3;
    const int nIdleSeconds = argc > 2 ? std::atoi(argv[2]) : 5;
    CNullView view;
    CAdapterManager manager;
    COrvekMeter meter(view, manager, manager);
    std::printf("before capture: VmRSS %ld KiB, threads %ld\n", StatusKiB("VmRSS"), ThreadCount());
    for (int nCycle = 1; nCycle <= nCycles; ++nCycle) {
        const Clock::time_point tStart = Clock::now();
        try {
            if (const std::string strFailures = meter.StartCapture(); !strFailures.empty()) {
                std::fprintf(stderr, "not opened: %s\n", strFailures.c_str());
            }
        } catch (const CZarnException& e) {
            std::fprintf(stderr, "StartCapture: %s\n", e.GetDescription());
            return 1;
        }
        const double dStartMs = MsSince(tStart);
        const long nRunning = orvekbench::CountCapturing(manager);
        if (nCycle == nCycles) {
            const double dCpuBefore = orvekbench::ProcessCpuSeconds();
            std::this_thread::sleep_for(std::chrono::seconds(nIdleSeconds));
            const double dIdleCpuMs = (orvekbench::ProcessCpuSeconds() - dCpuBefore) * 1000;
            std::printf("capturing %ld devices: VmRSS %ld KiB, VmHWM %ld KiB, threads %ld, "
                        "CPU over %d s idle %.1f ms\n",
                        static_cast<long>(nRunning), StatusKiB("VmRSS"), StatusKiB("VmHWM"),
                        ThreadCount(), nIdleSeconds, dIdleCpuMs);
        }
        if (nCycle == nCycles) {
            double dSetMs = 0;
            const double dWaitMs = LongestStateWait(manager, 5, &dSetMs);
            std::printf("opening every device through the monitor, 5 times: longest "
                        "GetDeviceStates %.3f ms, longest SetExcludedDevices %.3f ms\n",
                        dWaitMs, dSetMs);
        }
        const Clock::time_point tStop = Clock::now();
        meter.StopCapture();
        std::printf("cycle %d: StartCapture %.1f ms (%ld devices capturing), StopCapture %.1f ms\n",
                    nCycle, dStartMs, static_cast<long>(nRunning), MsSince(tStop));
    }
    return 0;
}
