#pragma once

#include <cstdint>

// The two clocks a recorder reads: the wall clock, which names buckets and may jump (NTP, the
// user, a resume from suspend), and a steady clock, which never jumps and stands still while the
// machine sleeps. Comparing them tells a jump or a sleep from time that passed.
struct IUsageClock {
    virtual int64_t NowUtcMs() const = 0;
    virtual int64_t NowSteadyMs() const = 0;

protected:
    ~IUsageClock() = default;
};

// CLOCK_REALTIME and CLOCK_MONOTONIC.
class CSystemUsageClock final : public IUsageClock {
public:
    int64_t NowUtcMs() const override;
    int64_t NowSteadyMs() const override;
};
