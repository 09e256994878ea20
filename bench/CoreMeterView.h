#pragma once

#include "MeterView.h"

#include <QObject>

#include <string>

// A meter view without a window, for a core application's event loop: remembers the counter
// texts it was shown and prints messages on standard error.
class CCoreMeterView : public QObject, public IMeterView {
public:
    // View thread: keeps the texts, formatted as the window does.
    void ShowCounters(int64_t nRecvBytes, int64_t nSentBytes) override;
    // Any thread: one line on standard error, at once.
    void ShowMessage(const std::string& strText, const char* szCaption) override;
    // Any thread: queues fn for this object's thread.
    void Post(std::function<void()> fn, int nDelayMs) override;

    // View thread: the texts last shown, and how often they were shown.
    const std::string& GetShownRecv() const { return m_strRecv; }
    const std::string& GetShownSent() const { return m_strSent; }
    long GetShowCount() const { return m_nShown; }

private:
    std::string m_strRecv;
    std::string m_strSent;
    long m_nShown = 0;
};
