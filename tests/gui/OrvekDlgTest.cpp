// The main window and the About box on Qt's offscreen platform, capturing in a private namespace.

#include "DetailsDlg.h"
#include "GuiTest.h"

#include <QTest>

#include <csignal>

using namespace orvektest;

namespace {

using OrvekDlgTest = CGuiTest;

// The first display; one Details window, from the menu or a double-click on either counter, which
// stays open while capturing; Enter in the filter box captures; closing stops capture and Details.
TEST_F(OrvekDlgTest, FirstDisplayDetailsEnterAndClosing) {
    EXPECT_EQ(Filter()->text().toStdString(), "tcp or udp");
    EXPECT_FALSE(Promiscuous()->isChecked());
    EXPECT_TRUE(IsIdle());
    EXPECT_EQ(m_pDlg->focusWidget(), CaptureButton());
    EXPECT_EQ(RecvCounter()->text().toStdString(), " Recv  0.000 Mb");
    EXPECT_EQ(SentCounter()->text().toStdString(), " Sent  0.000 Mb");

    m_pDlg->CreateContextMenu()->actions().front()->trigger();
    auto* pDetails = m_pDlg->findChild<CDetailsDlg*>();
    ASSERT_NE(pDetails, nullptr);
    EXPECT_TRUE(pDetails->isVisible());
    for (QLabel* pCounter : {SentCounter(), RecvCounter()}) {
        pDetails->close();
        QTest::mouseDClick(pCounter, Qt::LeftButton);
        EXPECT_TRUE(pDetails->isVisible());
    }

    // An active window delivers focus events, so the default button follows the focus.
    m_pDlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
    Filter()->setFocus();
    QTest::keyClick(Filter(), Qt::Key_Return);
    EXPECT_TRUE(IsCapturing());
    EXPECT_TRUE(IsAnyOpen());
    EXPECT_TRUE(m_pDlg->isVisible());
    EXPECT_TRUE(pDetails->isVisible());
    m_pDlg->close();
    EXPECT_FALSE(pDetails->isVisible());
    EXPECT_FALSE(IsAnyOpen());
}

// Each direction counted, to the byte in the tooltips; nothing while stopped, the totals kept.
TEST_F(OrvekDlgTest, CaptureCountsEachDirectionAndStopKeepsTotals) {
    CUdpSink sink("10.79.0.1", 7001);
    const auto recvUdp = [&](size_t nPayload, size_t nCount, size_t nTotal) {
        m_peer.RunIn([=] { SendUdp("10.79.0.2", "10.79.0.1", 7001, nPayload, nCount); });
        ASSERT_EQ(sink.WaitFor(nTotal), nTotal);
    };
    const auto expectShown = [&](QLabel* pCounter, const char* szText, const char* szTip) {
        EXPECT_TRUE(Serve([&] { return pCounter->text() == szText; }))
            << pCounter->text().toStdString();
        EXPECT_TRUE(Serve([&] { return pCounter->toolTip().startsWith(szTip); }))
            << pCounter->toolTip().toStdString();
    };
    Capture();
    // Every IPv4 datagram counts its payload and 28 header bytes; the port-unreachable answers to
    // what we send are ICMP, which the filter leaves out.
    recvUdp(1000, 30, 30);
    SendUdp("10.79.0.1", "10.79.0.2", 7001, 472, 10);
    expectShown(SentCounter(), " Sent  0.005 Mb", "Sent 5,000 bytes in 10 packets\nNow ");
    StopButton()->click();
    ASSERT_TRUE(IsIdle());
    recvUdp(1000, 5, 35);
    Capture();
    recvUdp(100, 7, 42);
    expectShown(RecvCounter(), " Recv  0.030 Mb", "Received 31,736 bytes in 37 packets\nNow ");
}

// Closes every modal window that opens while it lives, keeping each one's label texts.
class CModalCollector {
public:
    CModalCollector() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (auto* pModal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                QStringList& texts = m_modals.emplace_back();
                for (const QLabel* pLabel : pModal->findChildren<QLabel*>()) {
                    texts.append(pLabel->text());
                }
                pModal->done(0);
            }
        });
        m_timer.start(10);
    }
    std::vector<QStringList> m_modals;

private:
    QTimer m_timer;
};

// A helper killed while capturing is told once, the window goes idle with its totals, and the
// next Capture starts a new helper that counts on from them.
TEST_F(OrvekDlgTest, AHelperThatDiesIsToldOnceAndCaptureCountsOnFromItsTotals) {
    CUdpSink sink("10.79.0.1", 7001);
    const auto recvUdp = [&](size_t nTotal) {
        m_peer.RunIn([] { SendUdp("10.79.0.2", "10.79.0.1", 7001, 1000, 10); });
        ASSERT_EQ(sink.WaitFor(nTotal), nTotal);
    };
    const auto tipShows = [&](const char* szTip) {
        return Serve([&] { return RecvCounter()->toolTip().startsWith(szTip); });
    };
    Capture();
    recvUdp(10);
    ASSERT_TRUE(tipShows("Received 10,280 bytes in 10 packets"));
    const pid_t nHelper = m_pDlg->GetMeter().GetHelperPid();
    CModalCollector modals;
    kill(nHelper, SIGKILL);
    ASSERT_TRUE(Serve([&] { return IsIdle() && !modals.m_modals.empty(); }));
    Serve([] { return false; }, 500);
    ASSERT_EQ(modals.m_modals.size(), 1u);
    EXPECT_TRUE(modals.m_modals[0].join('|').contains(
        "ended unexpectedly: killed by signal 9 (Killed); capture stopped."))
        << modals.m_modals[0].join('|').toStdString();
    EXPECT_EQ(RecvCounter()->text().toStdString(), " Recv  0.010 Mb");

    Capture();
    EXPECT_NE(m_pDlg->GetMeter().GetHelperPid(), nHelper);
    recvUdp(20);
    EXPECT_TRUE(tipShows("Received 20,560 bytes in 20 packets"))
        << RecvCounter()->toolTip().toStdString();
    EXPECT_TRUE(modals.m_modals.size() == 1);
}

TEST_F(OrvekDlgTest, RefusedFilterMenuAndAboutBox) {
    Filter()->setText("tcp and and udp");
    QStringList texts;
    CollectModalTexts(texts);
    CaptureButton()->click();
    EXPECT_EQ(texts.value(0).toStdString(), "Exception");
    EXPECT_TRUE(texts.contains(QString::fromStdString(PcapFilterError("tcp and and udp"))))
        << texts.join('|').toStdString();
    EXPECT_TRUE(IsIdle());

    const std::unique_ptr<QMenu> pMenu = m_pDlg->CreateContextMenu();
    ASSERT_EQ(pMenu->actions().size(), 2);
    EXPECT_EQ(pMenu->actions().front()->text().toStdString(), "&Details...");
    EXPECT_EQ(pMenu->actions().back()->text().toStdString(), "&About Orvek...");
    texts.clear();
    CollectModalTexts(texts);
    pMenu->actions().back()->trigger();
    EXPECT_TRUE(texts.contains("Orvek Version " ORVEK_VERSION)) << texts.join('|').toStdString();
}

} // namespace
