#pragma once

#include "MeterView.h"
#include "Units.h"

#include <deque>
#include <mutex>
#include <vector>

namespace orvektest {

using Texts = std::pair<std::string, std::string>;

// A headless view: records what the meter shows, as the counters' texts, and keeps posted work
// until the test, as the view thread, serves it (delays are not waited for). Notes a display update
// posted while another was still queued: the meter must keep at most one pending.
class CFakeView : public IMeterView {
public:
    // View thread.
    void ShowCounters(int64_t nRecvBytes, int64_t nSentBytes) override {
        std::lock_guard guard(m_mtx);
        m_shown = {FormatRecvCounter(nRecvBytes), FormatSentCounter(nSentBytes)};
    }
    // Any thread: recorded at once.
    void ShowMessage(const std::string& strText, const char* szCaption) override {
        std::lock_guard guard(m_mtx);
        m_messages.emplace_back(strText, szCaption);
    }
    // Any thread: queued for Serve.
    void Post(std::function<void()> fn, int nDelayMs) override {
        std::lock_guard guard(m_mtx);
        if (nDelayMs == 0) {
            m_bDoublePending = m_bDoublePending || !m_posted.empty();
            ++m_nUpdates;
        }
        m_posted.push_back(std::move(fn));
    }
    // View thread: runs posted work, and the work it posts, until none is left.
    void Serve() {
        std::unique_lock lock(m_mtx);
        while (!m_posted.empty()) {
            const std::function<void()> fn = std::move(m_posted.front());
            m_posted.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
    }

    Texts GetShown() const { return Locked(m_shown); }
    std::vector<Texts> GetMessages() const { return Locked(m_messages); }
    int GetUpdateCount() const { return Locked(m_nUpdates); }
    bool SawDoublePending() const { return Locked(m_bDoublePending); }

private:
    template <class T> T Locked(const T& member) const {
        std::lock_guard guard(m_mtx);
        return member;
    }

    mutable std::mutex m_mtx;
    std::deque<std::function<void()>> m_posted; // all guarded by m_mtx
    Texts m_shown;
    std::vector<Texts> m_messages;
    int m_nUpdates = 0;
    bool m_bDoublePending = false;
};

} // namespace orvektest
