#include "EventLoop.h"

#include "ZarnException.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <utility>

CEventLoop::CEventLoop() = default;

void CEventLoop::Post(std::function<void()> fn, int nDelayMs) {
    PostAt(Clock::now() + std::chrono::milliseconds(std::max(nDelayMs, 0)), std::move(fn));
}

namespace {
// The loop whose Run this thread is in, if any.
thread_local const CEventLoop* t_pRunningLoop = nullptr;
} // namespace

void CEventLoop::PostAt(Clock::time_point tDue, std::function<void()> fn) {
    {
        std::lock_guard guard(m_mtx);
        m_timed.push({tDue, m_nNextOrder++, std::move(fn)});
    }
    // Work posted on the loop's own thread is seen when the turn ends, before the loop waits
    // again: waking it would cost a wait, a write and a read for nothing.
    if (t_pRunningLoop != this) {
        m_wake.Set();
    }
}

void CEventLoop::Watch(int hFd, std::function<void()> fn) {
    m_watched.push_back({hFd, POLLIN, std::move(fn)});
}

void CEventLoop::WatchWritable(int hFd, std::function<void()> fn) {
    for (Watched& watched : m_watched) {
        if (watched.hFd == hFd && watched.nEvents == POLLOUT) {
            watched.fn = std::move(fn);
            return;
        }
    }
    m_watched.push_back({hFd, POLLOUT, std::move(fn)});
}

void CEventLoop::Unwatch(int hFd) {
    // Marked only: the loop may be walking the list; it drops marked entries before it waits.
    for (Watched& watched : m_watched) {
        if (watched.hFd == hFd) {
            watched.hFd = -1;
        }
    }
}

void CEventLoop::Quit() {
    m_bQuit.store(true, std::memory_order_release);
    m_wake.Set();
}

void CEventLoop::Run() {
    struct CRunning {
        const CEventLoop* pOuter;
        ~CRunning() { t_pRunningLoop = pOuter; }
    } const running{std::exchange(t_pRunningLoop, this)};
    std::vector<pollfd> waits;
    while (!m_bQuit.load(std::memory_order_acquire)) {
        // What was due when the turn began runs now; then the wait lasts until the next is due.
        // Work posted meanwhile waits for the next turn, so that the descriptors are looked at
        // between turns however much work other threads post.
        int nTimeoutMs = -1;
        const Clock::time_point tTurn = Clock::now();
        for (;;) {
            std::function<void()> fn;
            {
                std::lock_guard guard(m_mtx);
                if (m_timed.empty()) {
                    break;
                }
                if (m_timed.top().tDue > tTurn) {
                    const Clock::time_point tNow = Clock::now();
                    // Rounded up: a wait that ends early would only wake to wait again. Work
                    // that fell due during the turn is not waited for at all.
                    const auto wait =
                        std::chrono::ceil<std::chrono::milliseconds>(m_timed.top().tDue - tNow);
                    nTimeoutMs = static_cast<int>(std::clamp<int64_t>(wait.count(), 0, 60'000));
                    break;
                }
                // The queue hands out const references: moving the work out is safe since it is
                // popped at once.
                fn = std::move(const_cast<Timed&>(m_timed.top()).fn);
                m_timed.pop();
            }
            fn();
            if (m_bQuit.load(std::memory_order_acquire)) {
                return;
            }
        }
        std::erase_if(m_watched, [](const Watched& watched) { return watched.hFd < 0; });
        waits.assign(1, pollfd{m_wake.GetFd(), POLLIN, 0});
        for (const Watched& watched : m_watched) {
            waits.push_back({watched.hFd, watched.nEvents, 0});
        }
        if (::poll(waits.data(), waits.size(), nTimeoutMs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw CZarnException(errno);
        }
        if (waits[0].revents != 0) {
            m_wake.Reset();
        }
        // Handlers may watch (appended: the indexes hold) and unwatch (marked) as they run; each
        // runs from a copy, as the list may grow under it.
        for (size_t i = 1; i < waits.size() && !m_bQuit.load(std::memory_order_acquire); ++i) {
            Watched& watched = m_watched[i - 1];
            if (waits[i].revents == 0 || watched.hFd < 0) {
                continue;
            }
            std::function<void()> fn = watched.fn;
            if (watched.nEvents == POLLOUT) {
                watched.hFd = -1; // once
            }
            fn();
        }
    }
}
