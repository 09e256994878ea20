#pragma once

// The window tests' fixture: a main window on settings of its own, capturing through the capture
// helper, over two veth pairs to one peer namespace, orv0 10.79.0.1 - orv1 10.79.0.2 and orv2
// 10.79.1.1 - orv3 10.79.1.2.

#include "NetNs.h"
#include "OrvekDlg.h"

#include <QTemporaryDir>
#include <QtWidgets>
#include <gtest/gtest.h>

namespace orvektest {

// Collects the title and label texts of the next modal window, then closes it; the timer fires
// inside the modal's event loop.
inline void CollectModalTexts(QStringList& texts) {
    QTimer::singleShot(0, [&texts] {
        auto* pModal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(pModal, nullptr);
        texts.append(pModal->windowTitle());
        for (const QLabel* pLabel : pModal->findChildren<QLabel*>()) {
            texts.append(pLabel->text());
        }
        pModal->done(0);
    });
}

// Closes every modal window that opens while it lives, keeping each one's title and label texts.
class CModalCollector {
public:
    CModalCollector() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (auto* pModal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                QStringList& texts = m_modals.emplace_back();
                texts.append(pModal->windowTitle());
                for (const QLabel* pLabel : pModal->findChildren<QLabel*>()) {
                    texts.append(pLabel->text());
                }
                pModal->done(0);
            }
        });
        m_timer.start(5);
    }
    std::vector<QStringList> m_modals;

private:
    QTimer m_timer;
};

class CGuiTest : public testing::Test {
protected:
    void SetUp() override {
        // Settings in <folder>/Orvek/Orvek.conf, so that no test reads another's (or the user's).
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dirSettings.path());
        MakeVethPair(m_peer, {"orv0", "10.79.0.1", ""}, {"orv1", "10.79.0.2", ""});
        MakeVethPair(m_peer, {"orv2", "10.79.1.1", ""}, {"orv3", "10.79.1.2", ""});
        Restart();
    }
    void TearDown() override {
        m_pDlg.reset();
        // The helper went with the window, and took its captures along.
        EXPECT_EQ(ShOut("awk 'NR > 1' /proc/net/packet"), "");
        // Deleted now, so that the next test's device listing cannot name them.
        Sh("ip link del orv0; ip link del orv2");
    }
    // A new main window (and helper), on the settings as they are now, as in a new run.
    void Restart() {
        m_pDlg.reset();
        m_pDlg = std::make_unique<COrvekDlg>();
        m_pDlg->show();
    }
    QLineEdit* Filter() const { return m_pDlg->findChild<QLineEdit*>("IDC_FILTER"); }
    QCheckBox* Promiscuous() const { return m_pDlg->findChild<QCheckBox*>("IDC_PROMISCUOUS"); }
    QPushButton* CaptureButton() const { return m_pDlg->findChild<QPushButton*>("IDC_CAPTURE"); }
    QPushButton* StopButton() const { return m_pDlg->findChild<QPushButton*>("IDC_STOP"); }
    QLabel* RecvCounter() const { return m_pDlg->findChild<QLabel*>("IDC_RECV_COUNTER"); }
    QLabel* SentCounter() const { return m_pDlg->findChild<QLabel*>("IDC_SENT_COUNTER"); }
    bool IsCapturing() const { return !CaptureButton()->isEnabled() && StopButton()->isEnabled(); }
    bool IsIdle() const { return CaptureButton()->isEnabled() && !StopButton()->isEnabled(); }
    // A click on Capture, or Stop, which shows at once, and its outcome.
    void Capture() {
        CaptureButton()->click();
        ASSERT_TRUE(IsCapturing());
        ASSERT_TRUE(Serve([&] { return !m_pDlg->IsWaitingForHelper(); }));
        ASSERT_TRUE(IsCapturing());
    }
    void Stop() {
        StopButton()->click();
        ASSERT_TRUE(IsIdle());
        ASSERT_TRUE(Serve([&] { return !m_pDlg->IsWaitingForHelper(); }));
    }
    // Waits, serving the windows, until pred holds; returns its last value.
    static bool Serve(const std::function<bool()>& pred, int nTimeoutMs = 20000) {
        return WaitUntil(
            [&] {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
                return pred();
            },
            nTimeoutMs);
    }
    // Whether the device, or with no name any device, is captured, as the helper tells.
    bool IsOpen(const std::string& strName = "") const {
        return std::ranges::any_of(
            m_pDlg->GetMeter().GetSnapshot().devices, [&](const DeviceSnapshot& device) {
                return device.bCapturing && (strName.empty() || device.strName == strName);
            });
    }

    QTemporaryDir m_dirSettings;
    CPeerNs m_peer;
    std::unique_ptr<COrvekDlg> m_pDlg;
};

} // namespace orvektest
