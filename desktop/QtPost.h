#pragma once

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <functional>

// Any thread: runs fn on pContext's thread once nDelayMs have passed, unless pContext is gone by
// then. Never runs fn before returning.
inline void PostToObject(QObject* pContext, std::function<void()> fn, int nDelayMs) {
    if (nDelayMs <= 0) {
        QMetaObject::invokeMethod(pContext, std::move(fn), Qt::QueuedConnection);
    } else {
        QTimer::singleShot(nDelayMs, pContext, std::move(fn));
    }
}
