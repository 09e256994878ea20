#include "MessageBoxQueue.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

void CMessageBoxQueue::ShowMessage(const std::string& strText, const char* szCaption) {
    bool bPost = false;
    {
        std::lock_guard guard(m_mtxMessages);
        if (m_waitingMessages.empty() || m_waitingMessages.back().first != szCaption) {
            m_waitingMessages.emplace_back(szCaption, strText);
        } else {
            m_waitingMessages.back().second.append("\n").append(strText);
        }
        bPost = !m_bShowPosted;
        m_bShowPosted = true;
    }
    if (QThread::currentThread() == m_pParent->thread()) {
        ShowWaitingMessages();
    } else if (bPost) {
        // Hand over and return: the user-interface thread may be waiting for this one.
        QMetaObject::invokeMethod(
            m_pParent, [this] { ShowWaitingMessages(); }, Qt::QueuedConnection);
    }
}

void CMessageBoxQueue::ShowWaitingMessages() {
    if (m_bMessageOpen) {
        return;
    }
    m_bMessageOpen = true;
    for (;;) {
        std::string strText, strCaption;
        {
            std::lock_guard guard(m_mtxMessages);
            m_bShowPosted = false;
            if (m_waitingMessages.empty()) {
                break;
            }
            strCaption = std::move(m_waitingMessages.front().first);
            strText = std::move(m_waitingMessages.front().second);
            m_waitingMessages.erase(m_waitingMessages.begin());
        }
        QMessageBox box(QMessageBox::Critical, QString::fromStdString(strCaption),
                        QString::fromStdString(strText), QMessageBox::Ok, m_pParent);
        box.exec();
    }
    m_bMessageOpen = false;
}
