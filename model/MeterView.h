#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The caption of the messages a meter shows for failures.
inline constexpr const char* kExceptionCaption = "Exception";

// Whatever shows a traffic meter: a window, a console, a test. The view has one thread of its
// own (the user-interface thread) on which it shows and runs posted work.
struct IMeterView {
    // View thread: shows the two totals, in bytes; the view formats them (FormatRecvCounter and
    // FormatSentCounter give the counters' texts).
    virtual void ShowCounters(int64_t nRecvBytes, int64_t nSentBytes) = 0;
    // Any thread: shows a message. On the view thread it may wait for the user; on any other it
    // must hand a copy over and return at once.
    virtual void ShowMessage(const std::string& strText, const char* szCaption) = 0;
    // Any thread, capture threads included: runs fn on the view thread once nDelayMs have passed.
    // Returns at once and never runs fn before returning.
    virtual void Post(std::function<void()> fn, int nDelayMs) = 0;

protected:
    ~IMeterView() = default;
};
