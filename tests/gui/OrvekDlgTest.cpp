// The main window and the About box on Qt's offscreen platform, capturing in a private namespace.

#include "DetailsDlg.h"
#include "GuiTest.h"
#include "TrafficSampler.h"

#include <QTest>

#include <thread>

using namespace orvektest;

namespace {

using OrvekDlgTest = CGuiTest;

// The first display; one Details window, from the menu or a double-click on either counter, which
// stays open while capturing; Enter in the filter box captures; closing stops capture and Details.
TEST_F(OrvekDlgTest, FirstDisplayDetailsEnterAndClosing) {
    EXPECT_TRUE(IsIdle()); // the first start's filter and choice: see UnusableSettings
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
    EXPECT_TRUE(IsOpen());
    EXPECT_TRUE(m_pDlg->isVisible());
    EXPECT_TRUE(pDetails->isVisible());
    m_pDlg->close();
    EXPECT_FALSE(pDetails->isVisible());
    EXPECT_FALSE(IsOpen());
}

// Each direction counted, to the byte in the tooltips; nothing while stopped, the totals kept.
TEST_F(OrvekDlgTest, CaptureCountsEachDirectionAndStopKeepsTotals) {
    CUdpSink sink("10.79.0.1", 7001);
    const auto recvUdp = [&](size_t nPayload, size_t nCount, size_t nTotal) {
        m_peer.RunIn([=] { SendUdp("10.79.0.2", "10.79.0.1", 7001, nPayload, nCount); });
        ASSERT_EQ(sink.WaitFor(nTotal), nTotal);
    };
    const auto expectShown = [&](QLabel* pCounter, const char* szText, const char* szTip) {
        EXPECT_TRUE(Serve([&] {
            return pCounter->text() == szText && pCounter->toolTip().startsWith(szTip);
        })) << (pCounter->text() + " | " + pCounter->toolTip()).toStdString();
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

TEST_F(OrvekDlgTest, RefusedFilterAndAboutBox) {
    Filter()->setText("tcp and and udp");
    QStringList texts;
    CollectModalTexts(texts);
    CaptureButton()->click();
    EXPECT_EQ(texts.value(0).toStdString(), "Exception");
    EXPECT_TRUE(texts.contains(QString::fromStdString(PcapFilterError("tcp and and udp"))))
        << texts.join('|').toStdString();
    EXPECT_TRUE(IsIdle());

    // The menu's last entry opens the About box.
    texts.clear();
    CollectModalTexts(texts);
    m_pDlg->CreateContextMenu()->actions().back()->trigger();
    EXPECT_TRUE(texts.contains("Orvek Version " ORVEK_VERSION)) << texts.join('|').toStdString();
}

// Failures that come together while capturing are one box, not one each; a down monitor shows in
// the Details window until it is back.
TEST_F(OrvekDlgTest, FailuresComeAsOneBoxAndDetailsShowsADownMonitor) {
    const QLabel* pNote = m_pDlg->OpenDetails()->GetMonitorNote();
    Capture();
    QStringList boxes;
    QTimer closer; // closes each box as it shows, as a user would
    QObject::connect(&closer, &QTimer::timeout, [&boxes] {
        if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes.append(pBox->text());
            pBox->done(0);
        }
    });
    closer.start(5);
    std::thread([this] {
        for (const char* szText : {"a: x", "b: y"}) {
            m_pDlg->GetMeter().OnException(CZarnException(0, szText));
        }
    }).join();
    EXPECT_TRUE(Serve([&] { return !boxes.empty(); }));
    EXPECT_EQ(boxes, QStringList{"a: x\nb: y"});

    EXPECT_FALSE(pNote->isVisible());
    m_pManager->CloseMonitorNewsForTest();
    ASSERT_TRUE(WaitUntil([&] { return !m_pManager->IsMonitorUp(); }));
    m_pDlg->GetSampler().Sample();
    EXPECT_TRUE(pNote->isVisible());
    ASSERT_TRUE(Serve([&] { return m_pManager->IsMonitorUp() && boxes.size() == 2; }));
    m_pDlg->GetSampler().Sample();
    EXPECT_FALSE(pNote->isVisible());
    EXPECT_TRUE(boxes.back().startsWith("Following the host's devices and addresses failed"));
}

} // namespace
