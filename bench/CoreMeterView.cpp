#include "CoreMeterView.h"

#include "QtPost.h"

#include <cstdio>

void CCoreMeterView::ShowCounters(const char* szRecv, const char* szSent) {
    m_strRecv = szRecv;
    m_strSent = szSent;
    ++m_nShown;
}

void CCoreMeterView::ShowMessage(const std::string& strText, const char* szCaption) {
    std::fprintf(stderr, "%s: %s\n", szCaption, strText.c_str());
}

void CCoreMeterView::Post(std::function<void()> fn, int nDelayMs) {
    PostToObject(this, std::move(fn), nDelayMs);
}
