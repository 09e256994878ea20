#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

class QWidget;

// The meter's messages as modal boxes over one window, from any thread. Messages that come while
// one waits or is shown (a burst of device failures) are shown together, in one box: messages one
// after the other with one caption share a box, a line each.
class CMessageBoxQueue {
public:
    // The boxes' parent, whose thread is the user-interface thread; it must outlive the queue, and
    // queued boxes are dropped once it is gone.
    explicit CMessageBoxQueue(QWidget* pParent) : m_pParent(pParent) {}
    CMessageBoxQueue(const CMessageBoxQueue&) = delete;
    CMessageBoxQueue& operator=(const CMessageBoxQueue&) = delete;

    // Any thread: a modal box on the user-interface thread; from another thread a queued copy.
    void ShowMessage(const std::string& strText, const char* szCaption);

private:
    // User-interface thread: shows every waiting message, unless a box is open already (it shows
    // them when it closes).
    void ShowWaitingMessages();

    QWidget* m_pParent;
    std::mutex m_mtxMessages;
    // Guarded by m_mtxMessages: caption and text of each box to show, a line per message.
    std::vector<std::pair<std::string, std::string>> m_waitingMessages;
    bool m_bShowPosted = false;  // guarded by m_mtxMessages
    bool m_bMessageOpen = false; // user-interface thread only
};
