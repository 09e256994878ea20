#pragma once

#include "OrvekMeter.h"

#include <atomic>
#include <utility>
#include <vector>

namespace orvektest {

using Texts = std::pair<std::string, std::string>;

// A headless view: records what the meter asks of it, serves updates as a window does, and counts
// every post that came while an update was still owned. Read what it recorded only once the
// threads that show have been joined.
class CFakeMeterView : public COrvekMeter {
public:
    ~CFakeMeterView() override { StopCapture(); }

    int GetPostCount() const { return m_nPosts.load(); }
    bool SawDoublePending() const { return m_nDoublePending.load() != 0; }
    const Texts& GetLastShown() const { return m_shown; }
    const std::vector<Texts>& GetMessages() const { return m_messages; }

    // User-interface thread, owning an update. Ownership goes first: a post may follow at once.
    bool Release() {
        m_bOwned.store(false);
        return ReleaseDisplay() && Own();
    }
    // User-interface thread: serves a posted update, if any, to its end.
    void ServePosted() {
        for (bool bOwned = m_bOwned.load(); bOwned; bOwned = Release()) {
            UpdateCounters();
        }
    }

protected:
    // Capture thread: takes ownership of the update for ServePosted.
    void PostDisplayUpdate() override { m_nPosts.fetch_add(Own()); }
    // User-interface thread.
    void ShowCounters(const char* szRecv, const char* szSent) override {
        m_shown = {szRecv, szSent};
    }
    // Any thread, one at a time: records the message and returns at once.
    void ShowMessage(const std::string& strText, const char* szCaption) override {
        m_messages.emplace_back(strText, szCaption);
    }

private:
    // Takes the pending update, noting a second owner; always true.
    bool Own() { return m_nDoublePending.fetch_add(m_bOwned.exchange(true)), true; }

    std::atomic<int> m_nPosts{0};
    std::atomic<int> m_nDoublePending{0};
    std::atomic<bool> m_bOwned{false};
    Texts m_shown;
    std::vector<Texts> m_messages;
};

} // namespace orvektest
