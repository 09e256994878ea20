#pragma once

#include "ZarnFd.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <queue>
#include <vector>

// The view thread of a process without a window: runs posted work, timed work and the handlers
// of watched descriptors on the thread that calls Run, one at a time, until Quit. Sleeps in one
// poll while nothing is due, so an idle loop costs nothing.
class CEventLoop {
public:
    using Clock = std::chrono::steady_clock;

    // Throws CZarnException(errno) when its wake-up event cannot be made.
    CEventLoop();
    CEventLoop(const CEventLoop&) = delete;
    CEventLoop& operator=(const CEventLoop&) = delete;

    // Any thread: runs fn on the loop's thread once nDelayMs have passed (or at tDue). Returns at
    // once and never runs fn before returning.
    void Post(std::function<void()> fn, int nDelayMs = 0);
    void PostAt(Clock::time_point tDue, std::function<void()> fn);
    // Before Run, or on the loop's thread: calls fn on the loop's thread whenever hFd is readable
    // (or has failed). fn must read what made it readable, or it is called again at once.
    void Watch(int hFd, std::function<void()> fn);
    // On the loop's thread: calls fn once, on the loop's thread, when hFd is writable (or has
    // failed); a later WatchWritable for the same descriptor replaces it.
    void WatchWritable(int hFd, std::function<void()> fn);
    // On the loop's thread (a handler included): hFd's handlers are not called any more; call
    // before closing hFd.
    void Unwatch(int hFd);

    // Runs work and handlers until Quit; returns at once when Quit came first.
    void Run();
    // Any thread: Run returns after the work it is doing now.
    void Quit();

private:
    struct Timed {
        Clock::time_point tDue;
        uint64_t nOrder; // keeps work posted for the same moment in its order
        std::function<void()> fn;
        bool operator>(const Timed& other) const {
            return tDue != other.tDue ? tDue > other.tDue : nOrder > other.nOrder;
        }
    };
    struct Watched {
        int hFd; // -1: unwatched, removed before the next wait
        short nEvents;
        std::function<void()> fn;
    };

    CZarnEvent m_wake;
    std::atomic<bool> m_bQuit{false};
    std::mutex m_mtx;
    std::priority_queue<Timed, std::vector<Timed>, std::greater<>> m_timed; // guarded by m_mtx
    uint64_t m_nNextOrder = 0;                                              // guarded by m_mtx
    std::vector<Watched> m_watched;                                         // loop thread only
};
