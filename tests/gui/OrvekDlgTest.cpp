#include "OrvekDlg.h"
#include "AboutDlg.h"
#include "AdapterManager.h"
#include "DetailsDlg.h"
#include "DialogUnits.h"
#include "NetNs.h"
#include "TempSettings.h"

#include <QTest>
#include <QtWidgets>
#include <gtest/gtest.h>

using namespace orvektest;

namespace {

// Hands the next modal T to fn and closes it; the timer fires inside the modal's event loop.
template <class T> void WhenModal(std::function<void(T*)> fn) {
    QTimer::singleShot(0, [fn] {
        auto* pModal = qobject_cast<T*>(QApplication::activeModalWidget());
        ASSERT_NE(pModal, nullptr);
        fn(pModal);
        pModal->done(0);
    });
}

// Every test has a veth "orv0" (10.79.0.1) to a peer namespace (10.79.0.2) to capture on.
class OrvekDlgTest : public testing::Test {
protected:
    void SetUp() override {
        MakeVethPair(m_peer, {"orv0", "10.79.0.1", ""}, {"orv1", "10.79.0.2", ""});
        m_pDlg->show();
    }
    void TearDown() override {
        m_pDlg.reset();
        EXPECT_TRUE(CAdapterManager::GetInstance()->GetAdapterStates().empty());
        // Deleted now, so that the next test's device listing cannot name it.
        Sh("ip link del orv0");
    }
    bool IsCapturing() const { return !m_pCapture->isEnabled() && m_pStop->isEnabled(); }
    bool IsIdle() const { return m_pCapture->isEnabled() && !m_pStop->isEnabled(); }
    // Waits until both counters show the totals, then checks them.
    void ExpectTotals(int64_t nRecv, int64_t nSent) {
        EXPECT_TRUE(WaitUntil([&] {
            QCoreApplication::processEvents();
            return m_pRecv->text().toStdString() == COrvekMeter::FormatRecv(nRecv) &&
                   m_pSent->text().toStdString() == COrvekMeter::FormatSent(nSent);
        }));
        EXPECT_EQ(m_pDlg->GetMeter().GetRecvBytes(), nRecv);
        EXPECT_EQ(m_pDlg->GetMeter().GetSentBytes(), nSent);
    }

    CTempSettings m_settings;
    std::unique_ptr<COrvekDlg> m_pDlg = std::make_unique<COrvekDlg>();
    QLineEdit* m_pFilter = m_pDlg->findChild<QLineEdit*>("IDC_FILTER");
    QPushButton* m_pCapture = m_pDlg->findChild<QPushButton*>("IDC_CAPTURE");
    QPushButton* m_pStop = m_pDlg->findChild<QPushButton*>("IDC_STOP");
    QLabel* m_pRecv = m_pDlg->findChild<QLabel*>("IDC_RECV_COUNTER");
    QLabel* m_pSent = m_pDlg->findChild<QLabel*>("IDC_SENT_COUNTER");
    CPeerNs m_peer;
};

TEST(DialogUnitsTest, CounterFontHeight) {
    for (const auto& [nIn, nOut] : {std::pair{-11, -27}, {-13, -32}, {16, 40}}) {
        EXPECT_EQ(ScaleCounterFontHeight(nIn), nOut) << nIn;
    }
}

TEST_F(OrvekDlgTest, CaptureCountsEachDirectionAndStopKeepsTotals) {
    CUdpSink localSink("10.79.0.1", 7001);
    const auto recvUdp = [&](size_t nPayload, size_t nCount, size_t nTotal) {
        m_peer.RunIn([=] { SendUdp("10.79.0.2", "10.79.0.1", 7001, nPayload, nCount); });
        ASSERT_EQ(localSink.WaitFor(nTotal), nTotal);
    };

    m_pCapture->click();
    ASSERT_TRUE(IsCapturing());
    // Every IPv4 datagram counts its payload and 28 header bytes; the port unreachable answers
    // to what we send are ICMP, which the filter drops.
    recvUdp(1000, 30, 30);
    ExpectTotals(30 * 1028, 0);
    SendUdp("10.79.0.1", "10.79.0.2", 7002, 472, 10);
    ExpectTotals(30 * 1028, 10 * 500);
    // The tooltips follow within a second: exact bytes and packets.
    EXPECT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return m_pRecv->toolTip().startsWith("Received 30,840 bytes in 30 packets\nNow ") &&
               m_pSent->toolTip().startsWith("Sent 5,000 bytes in 10 packets\nNow ");
    })) << m_pRecv->toolTip().toStdString()
        << " | " << m_pSent->toolTip().toStdString();

    m_pStop->click();
    ASSERT_TRUE(IsIdle());
    recvUdp(1000, 5, 35);
    m_pCapture->click();
    recvUdp(100, 7, 42);
    ExpectTotals(30 * 1028 + 7 * 128, 10 * 500);
}

TEST_F(OrvekDlgTest, BadFilterMessageAndAboutBox) {
    constexpr const char* szBad = "tcp and and udp";
    m_pFilter->setText(QLatin1String(szBad));
    QString strCaption = "none", strText;
    WhenModal<QMessageBox>([&](QMessageBox* pBox) {
        strCaption = pBox->windowTitle();
        strText = pBox->text();
    });
    m_pCapture->click();
    EXPECT_EQ(strCaption, QStringLiteral("Exception"));
    EXPECT_EQ(strText.toStdString(), PcapFilterError(szBad));
    EXPECT_TRUE(IsIdle());

    const std::unique_ptr<QMenu> pMenu = m_pDlg->CreateContextMenu();
    ASSERT_EQ(pMenu->actions().size(), 2);
    EXPECT_EQ(pMenu->actions().front()->text(), QStringLiteral("&Details..."));
    QStringList texts;
    WhenModal<CAboutDlg>([&](CAboutDlg* pBox) {
        texts.append(pBox->windowTitle());
        for (const QLabel* pLabel : pBox->findChildren<QLabel*>()) {
            texts.append(pLabel->text());
        }
    });
    pMenu->actions().back()->trigger();
    EXPECT_TRUE(texts.contains(QStringLiteral("About Orvek")));
    EXPECT_TRUE(texts.contains(QStringLiteral("Orvek Version " ORVEK_VERSION)))
        << texts.join('|').toStdString();
}

// One Details window, from the menu or a double-click on either counter; it stays open while
// capturing and closes with the main window.
TEST_F(OrvekDlgTest, DetailsOpensOnceFromTheMenuAndTheCounters) {
    m_pDlg->CreateContextMenu()->actions().front()->trigger();
    auto* pDetails = m_pDlg->findChild<CDetailsDlg*>();
    ASSERT_NE(pDetails, nullptr);
    EXPECT_TRUE(pDetails->isVisible());
    pDetails->close();
    for (QLabel* pCounter : {m_pSent, m_pRecv}) {
        QTest::mouseDClick(pCounter, Qt::LeftButton);
        EXPECT_TRUE(pDetails->isVisible());
    }
    EXPECT_EQ(m_pDlg->findChildren<CDetailsDlg*>().size(), 1);
    m_pCapture->click();
    ASSERT_TRUE(IsCapturing());
    EXPECT_TRUE(pDetails->isVisible());
    m_pDlg->close();
    EXPECT_FALSE(pDetails->isVisible());
}

TEST_F(OrvekDlgTest, FirstDisplayThenEnterCapturesAndClosingStops) {
    EXPECT_EQ(m_pFilter->text(), QStringLiteral("tcp or udp"));
    EXPECT_FALSE(m_pDlg->findChild<QCheckBox*>("IDC_PROMISCUOUS")->isChecked());
    EXPECT_TRUE(IsIdle());
    EXPECT_EQ(m_pDlg->focusWidget(), m_pCapture);
    EXPECT_EQ(m_pRecv->text(), QStringLiteral(" Recv  0.000 Mb"));
    EXPECT_EQ(m_pSent->text(), QStringLiteral(" Sent  0.000 Mb"));
    // An active window delivers focus events, so the default button follows the focus.
    m_pDlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
    m_pFilter->setFocus();
    QTest::keyClick(m_pFilter, Qt::Key_Return);
    EXPECT_TRUE(IsCapturing());
    EXPECT_FALSE(CAdapterManager::GetInstance()->GetAdapterStates().empty());
    EXPECT_TRUE(m_pDlg->isVisible());
    m_pDlg->close();
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_TRUE(CAdapterManager::GetInstance()->GetAdapterStates().empty());
}

} // namespace
