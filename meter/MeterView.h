#pragma once

#include <functional>
#include <string>

// Whatever shows a traffic meter: a window, a console, a test. The view has one thread of its
// own (the user-interface thread) on which it shows and runs posted work.
struct IMeterView {
    // View thread: shows the two counter texts.
    virtual void ShowCounters(const char* szRecv, const char* szSent) = 0;
    // Any thread: shows a message. On the view thread it may wait for the user; on any other it
    // must hand a copy over and return at once.
    virtual void ShowMessage(const std::string& strText, const char* szCaption) = 0;
    // Any thread, capture threads included: runs fn on the view thread once nDelayMs have passed.
    // Returns at once and never runs fn before returning.
    virtual void Post(std::function<void()> fn, int nDelayMs) = 0;

protected:
    ~IMeterView() = default;
};
