#pragma once

#include "OrvekMeter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace orvektest {

// A view for the headless meter that records what the meter asks of it, and serves display
// updates the way a window does. Checks that at most one update is ever pending.
class CFakeMeterView : public COrvekMeter {
public:
    struct Message {
        std::string strText;
        std::string strCaption;
    };

    ~CFakeMeterView() override { StopCapture(); }

    // Makes showing take a while, as drawing does, so that counts arrive while an update is shown.
    void SetShowTime(std::chrono::microseconds showTime) { m_showTime = showTime; }

    int GetPostCount() const { return m_nPosts.load(); }
    // True when PostDisplayUpdate ever came while an update was already pending.
    bool SawDoublePending() const { return m_bDoublePending.load(); }

    // The two counter texts shown last.
    std::pair<std::string, std::string> GetLastShown() const {
        std::lock_guard<std::mutex> guard(m_mtx);
        return m_lastShown;
    }
    std::vector<Message> GetMessages() const {
        std::lock_guard<std::mutex> guard(m_mtx);
        return m_messages;
    }

    // User-interface thread, owning an update: ReleaseDisplay, keeping count of ownership.
    bool Release() {
        m_nOwners.fetch_sub(1);
        const bool bOwned = ReleaseDisplay();
        if (bOwned) {
            TakeOwnership();
        }
        return bOwned;
    }
    // User-interface thread, owning an update: shows the totals and releases the display, showing
    // again for as long as the release hands over a new update.
    void ServeOwnedUpdate() {
        do {
            UpdateCounters();
        } while (Release());
    }

    // User-interface thread: waits up to nTimeoutMs for a posted update; false when none came.
    bool WaitForPost(int nTimeoutMs) {
        std::unique_lock<std::mutex> guard(m_mtx);
        const bool bPosted = m_cvPost.wait_for(guard, std::chrono::milliseconds(nTimeoutMs),
                                               [this] { return m_nUnserved > 0; });
        if (bPosted) {
            --m_nUnserved;
        }
        return bPosted;
    }

    // Updates the view owns now (posted ones and those ReleaseDisplay handed over): 0 or 1.
    int GetOwners() const { return m_nOwners.load(); }

protected:
    // Capture thread: records the post and wakes a waiting user-interface thread.
    void PostDisplayUpdate() override {
        m_nPosts.fetch_add(1);
        TakeOwnership();
        std::lock_guard<std::mutex> guard(m_mtx);
        ++m_nUnserved;
        m_cvPost.notify_all();
    }
    // User-interface thread.
    void ShowCounters(const char* szRecv, const char* szSent) override {
        {
            std::lock_guard<std::mutex> guard(m_mtx);
            m_lastShown = {szRecv, szSent};
        }
        if (m_showTime.count() > 0) {
            std::this_thread::sleep_for(m_showTime);
        }
    }
    // Any thread: records the message and returns at once.
    void ShowMessage(const std::string& strText, const char* szCaption) override {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_messages.push_back({strText, szCaption});
    }

private:
    void TakeOwnership() {
        if (m_nOwners.fetch_add(1) != 0) {
            m_bDoublePending.store(true);
        }
    }

    std::chrono::microseconds m_showTime{0}; // set before capture starts
    std::atomic<int> m_nPosts{0};
    std::atomic<int> m_nOwners{0};
    std::atomic<bool> m_bDoublePending{false};
    mutable std::mutex m_mtx;
    std::condition_variable m_cvPost;
    int m_nUnserved = 0;                             // guarded by m_mtx
    std::pair<std::string, std::string> m_lastShown; // guarded by m_mtx
    std::vector<Message> m_messages;                 // guarded by m_mtx
};

} // namespace orvektest
