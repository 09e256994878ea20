#include "CoreMeterView.h"

#include "QtPost.h"
#include "Units.h"

#include <cstdio>

void CCoreMeterView::ShowCounters(int64_t nRecvBytes, int64_t nSentBytes) {
    m_strRecv = FormatRecvCounter(nRecvBytes);
    m_strSent = FormatSentCounter(nSentBytes);
    ++m_nShown;
}

void CCoreMeterView::ShowMessage(const std::string& strText, const char* szCaption) {
    std::fprintf(stderr, "%s: %s\n", szCaption, strText.c_str());
}

void CCoreMeterView::Post(std::function<void()> fn, int nDelayMs) {
    PostToObject(this, std::move(fn), nDelayMs);
}
