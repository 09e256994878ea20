#pragma once

// What the live capturers of the benchmark share: CPU time of the whole process and the stop
// signal the driver sends once the generator is done.

#include <atomic>
#include <csignal>
#include <sys/resource.h>

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

} // namespace orvekbench
