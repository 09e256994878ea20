#pragma once

// What the live capturers of the benchmark share: CPU time of the whole process and the stop
// signal the driver sends once the generator is done.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <net/if.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvekbench {

// User plus system CPU seconds of every thread of this process so far.
inline double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Peak resident set size of this process in KiB (the kernel's VmHWM).
inline long PeakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// CPU seconds of every thread of another process so far, to the nanosecond (0 when it is gone).
inline double ProcessCpuSeconds(pid_t nPid) {
    clockid_t nClock{};
    timespec cpu{};
    if (clock_getcpuclockid(nPid, &nClock) != 0 || clock_gettime(nClock, &cpu) != 0) {
        return 0;
    }
    return static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) * 1e-9;
}

// A line of /proc/PID/status in KiB (VmHWM, VmRSS), 0 when it is not there.
inline long StatusKiB(pid_t nPid, const std::string& strKey) {
    std::ifstream status("/proc/" + std::to_string(nPid) + "/status");
    for (std::string strLine; std::getline(status, strLine);) {
        if (strLine.starts_with(strKey + ":")) {
            return std::stol(strLine.substr(strKey.size() + 1));
        }
    }
    return 0;
}

// Brings this network namespace's loopback up (a new namespace's is down); exits on failure.
inline void BringLoopbackUp() {
    const int hFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    request.ifr_flags = IFF_UP;
    if (hFd < 0 || ioctl(hFd, SIOCSIFFLAGS, &request) != 0) {
        std::perror("lo up");
        std::exit(1);
    }
    close(hFd);
}

// Advances tick (CLOCK_MONOTONIC) by one of nTicksPerSecond and sleeps until then: a pace that
// does not drift with the work done between ticks.
inline void SleepToNextTick(timespec& tick, long nTicksPerSecond) {
    tick.tv_nsec += 1'000'000'000 / nTicksPerSecond;
    if (tick.tv_nsec >= 1'000'000'000) {
        tick.tv_nsec -= 1'000'000'000;
        ++tick.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
}

} // namespace orvekbench
