#include "UsageClock.h"

#include <ctime>

namespace {

int64_t ReadMs(clockid_t nClock) {
    timespec ts{};
    clock_gettime(nClock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

} // namespace

int64_t CSystemUsageClock::NowUtcMs() const {
    return ReadMs(CLOCK_REALTIME);
}

int64_t CSystemUsageClock::NowSteadyMs() const {
    return ReadMs(CLOCK_MONOTONIC);
}
