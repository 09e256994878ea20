#include "OrvekDlg.h"
#include "AboutDlg.h"
#include "AdapterManager.h"
#include "DialogUnits.h"
#include "NetNs.h"
#include "ZarnException.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <pcap/pcap.h>
#include <thread>

using namespace orvektest;

namespace {

// Records the addresses the desktop would have opened.
class CUrlRecorder : public QObject {
    Q_OBJECT

public:
    QList<QUrl> m_urls;

public slots:
    void Open(const QUrl& url) { m_urls.append(url); }
};

size_t AdapterCount() {
    return CAdapterManager::GetInstance()->GetAdapterCount();
}

// Waits while the event loop runs; true once pred holds.
bool PumpUntil(const std::function<bool()>& pred) {
    return WaitUntil([&pred] {
        QCoreApplication::processEvents();
        return pred();
    });
}

// Once a modal T shows (within the running event loop), hands it to fn and closes it.
template <class T> void WhenModal(std::function<void(T*)> fn, int* pSeen) {
    auto* pTimer = new QTimer;
    QObject::connect(pTimer, &QTimer::timeout, [pTimer, fn, pSeen] {
        if (auto* pModal = qobject_cast<T*>(QApplication::activeModalWidget())) {
            pTimer->stop();
            pTimer->deleteLater();
            ++*pSeen;
            fn(pModal);
            pModal->done(0);
        }
    });
    pTimer->start(10);
}

// libpcap's own text for an expression that does not compile.
std::string CompileError(const char* szExpression) {
    std::unique_ptr<pcap_t, decltype(&pcap_close)> pDead(pcap_open_dead(DLT_EN10MB, 65535),
                                                         &pcap_close);
    bpf_program program{};
    EXPECT_EQ(pcap_compile(pDead.get(), &program, szExpression, 1, PCAP_NETMASK_UNKNOWN), -1);
    return pcap_geterr(pDead.get());
}

class OrvekDlgTest : public testing::Test {
protected:
    void SetUp() override {
        m_pDlg = std::make_unique<COrvekDlg>();
        m_pDlg->show();
        m_pFilter = Child<QLineEdit>("IDC_FILTER");
        m_pPromiscuous = Child<QCheckBox>("IDC_PROMISCUOUS");
        m_pCapture = Child<QPushButton>("IDC_CAPTURE");
        m_pStop = Child<QPushButton>("IDC_STOP");
        m_pRecv = Child<QLabel>("IDC_RECV_COUNTER");
        m_pSent = Child<QLabel>("IDC_SENT_COUNTER");
        m_pLink = Child<QLabel>("IDC_LINK");
    }
    void TearDown() override {
        m_pDlg.reset();
        EXPECT_EQ(AdapterCount(), 0u);
    }

    template <class T> T* Child(const char* szName) {
        T* pChild = m_pDlg->findChild<T*>(QLatin1String(szName));
        EXPECT_NE(pChild, nullptr) << szName;
        return pChild;
    }

    bool IsCapturing() const { return !m_pCapture->isEnabled() && m_pStop->isEnabled(); }
    bool IsIdle() const { return m_pCapture->isEnabled() && !m_pStop->isEnabled(); }

    // Waits until the totals are as expected and both counters show them.
    void ExpectTotals(int64_t nRecv, int64_t nSent) {
        const std::string strRecv = COrvekMeter::FormatRecv(nRecv);
        const std::string strSent = COrvekMeter::FormatSent(nSent);
        PumpUntil([&] {
            return m_pRecv->text().toStdString() == strRecv &&
                   m_pSent->text().toStdString() == strSent;
        });
        EXPECT_EQ(m_pDlg->GetRecvBytes(), nRecv);
        EXPECT_EQ(m_pDlg->GetSentBytes(), nSent);
        EXPECT_EQ(m_pRecv->text().toStdString(), strRecv);
        EXPECT_EQ(m_pSent->text().toStdString(), strSent);
    }

    std::unique_ptr<COrvekDlg> m_pDlg;
    QLineEdit* m_pFilter = nullptr;
    QCheckBox* m_pPromiscuous = nullptr;
    QPushButton* m_pCapture = nullptr;
    QPushButton* m_pStop = nullptr;
    QLabel* m_pRecv = nullptr;
    QLabel* m_pSent = nullptr;
    QLabel* m_pLink = nullptr;
};

TEST(DialogUnitsTest, ConversionAndCounterFontHeight) {
    for (const auto& [nIn, nOut] : {std::pair{-11, -27}, {-13, -32}, {16, 40}, {12, 30}}) {
        EXPECT_EQ(ScaleCounterFontHeight(nIn), nOut) << nIn;
    }
    // 90 * 13 / 8 = 146.25 and 36 * 13 / 8 = 58.5 round to the nearest pixel, halves up.
    EXPECT_EQ(MapDialogRect({6, 90, 216, 36}, {6, 13}), QRect(9, 146, 324, 59));
    const DialogBaseUnits base = GetDialogBaseUnits(QApplication::font());
    EXPECT_GT(base.nX, 0);
    EXPECT_EQ(base.nY, QFontMetrics(QApplication::font()).height());
}

TEST_F(OrvekDlgTest, FirstDisplay) {
    EXPECT_EQ(m_pDlg->windowTitle().toStdString(), ORVEK_WEB_ADDRESS " - Orvek");
    EXPECT_EQ(m_pFilter->text().toStdString(), "tcp or udp");
    EXPECT_FALSE(m_pPromiscuous->isChecked());
    EXPECT_TRUE(IsIdle());
    EXPECT_EQ(m_pDlg->focusWidget(), m_pCapture);
    EXPECT_EQ(m_pRecv->text().toStdString(), " Recv  0.000 Mb");
    EXPECT_EQ(m_pSent->text().toStdString(), " Sent  0.000 Mb");
    EXPECT_EQ(m_pLink->text().toStdString(), "Visit our web site " ORVEK_WEB_ADDRESS);

    // Fixed size from the template, controls in template order from the top.
    const DialogBaseUnits base = GetDialogBaseUnits(m_pDlg->font());
    EXPECT_EQ(m_pDlg->minimumSize(), m_pDlg->maximumSize());
    EXPECT_EQ(m_pDlg->size(), MapDialogRect({0, 0, 226, 149}, base).size());
    EXPECT_EQ(m_pSent->geometry(), MapDialogRect({6, 90, 216, 36}, base));
    EXPECT_LT(m_pFilter->y(), m_pPromiscuous->y());
    EXPECT_LT(m_pPromiscuous->y(), m_pRecv->y());
    EXPECT_LT(m_pRecv->y(), m_pSent->y());
    EXPECT_LT(m_pSent->y(), m_pLink->y());

    // Tab order follows the template: Capture, Stop, filter, check box.
    QList<QWidget*> tabStops;
    for (QWidget* p = m_pDlg->nextInFocusChain(); p != m_pDlg.get(); p = p->nextInFocusChain()) {
        if (p->focusPolicy() & Qt::TabFocus) {
            tabStops.append(p);
        }
    }
    EXPECT_EQ(tabStops, (QList<QWidget*>{m_pCapture, m_pStop, m_pFilter, m_pPromiscuous}));

    // Sunken counters in a font 2.5 times the dialog font's pixel height.
    const int nCounterHeight = ScaleCounterFontHeight(QFontInfo(m_pDlg->font()).pixelSize());
    for (QLabel* pCounter : {m_pRecv, m_pSent}) {
        EXPECT_EQ(pCounter->font().pixelSize(), nCounterHeight);
        EXPECT_EQ(pCounter->frameStyle(), QFrame::Panel | QFrame::Sunken);
        EXPECT_EQ(pCounter->lineWidth(), 1);
    }

    // A click on the link line opens the web address and changes nothing else.
    CUrlRecorder recorder;
    QDesktopServices::setUrlHandler(QUrl(QStringLiteral(ORVEK_WEB_ADDRESS)).scheme(), &recorder,
                                    "Open");
    QTest::mouseClick(m_pLink, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QUrl(QStringLiteral(ORVEK_WEB_ADDRESS)).scheme());
    EXPECT_EQ(recorder.m_urls, QList<QUrl>{QUrl(QStringLiteral(ORVEK_WEB_ADDRESS))});
    EXPECT_TRUE(IsIdle());
}

TEST_F(OrvekDlgTest, CaptureCountsEachDirectionAndStopKeepsTotals) {
    CPeerNs peer;
    MakeVethPair(peer, {"orv0", "10.79.0.1", ""}, {"orv1", "10.79.0.2", ""});
    // A namespace's devices go away asynchronously; delete the pair now so that the next
    // test's device listing cannot name it.
    struct CDeleteLink {
        ~CDeleteLink() { Sh("ip link del orv0"); }
    } deleteLink;
    CUdpSink localSink("10.79.0.1", 7001);
    std::unique_ptr<CUdpSink> pPeerSink;
    peer.RunIn([&] { pPeerSink = std::make_unique<CUdpSink>("10.79.0.2", 7002); });

    m_pCapture->click();
    ASSERT_TRUE(IsCapturing());
    ASSERT_EQ(m_pDlg->focusWidget(), m_pStop);

    // Received: from the peer; every IPv4 datagram counts its payload and 28 header bytes.
    peer.RunIn([] { SendUdp("10.79.0.2", "10.79.0.1", 7001, 1000, 30); });
    ASSERT_EQ(localSink.WaitFor(30), 30u);
    ExpectTotals(30 * 1028, 0);
    // Sent: from this host's own address.
    SendUdp("10.79.0.1", "10.79.0.2", 7002, 472, 10);
    ExpectTotals(30 * 1028, 10 * 500);

    m_pStop->click();
    ASSERT_TRUE(IsIdle());
    EXPECT_EQ(AdapterCount(), 0u);
    peer.RunIn([] { SendUdp("10.79.0.2", "10.79.0.1", 7001, 1000, 5); });
    ASSERT_EQ(localSink.WaitFor(35), 35u);

    // A new Capture counts on from where the totals stood.
    m_pCapture->click();
    ASSERT_TRUE(IsCapturing());
    peer.RunIn([] { SendUdp("10.79.0.2", "10.79.0.1", 7001, 100, 7); });
    ASSERT_EQ(localSink.WaitFor(42), 42u);
    ExpectTotals(30 * 1028 + 7 * 128, 10 * 500);
    m_pStop->click();
    peer.RunIn([&] { pPeerSink.reset(); });
}

TEST_F(OrvekDlgTest, FailuresShowLibpcapTextUnderException) {
    constexpr const char* szBad = "tcp and and udp";
    m_pFilter->setText(QLatin1String(szBad));
    int nSeen = 0;
    QString strCaption, strText;
    QMessageBox::Icon eIcon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    WhenModal<QMessageBox>(
        [&](QMessageBox* pBox) {
            strCaption = pBox->windowTitle();
            strText = pBox->text();
            eIcon = pBox->icon();
            buttons = pBox->standardButtons();
        },
        &nSeen);
    m_pCapture->click();
    ASSERT_EQ(nSeen, 1);
    EXPECT_EQ(strCaption.toStdString(), "Exception");
    EXPECT_EQ(strText.toStdString(), CompileError(szBad));
    EXPECT_EQ(eIcon, QMessageBox::Critical);
    EXPECT_EQ(buttons, QMessageBox::Ok);
    EXPECT_TRUE(IsIdle());
    EXPECT_EQ(AdapterCount(), 0u);

    // From another thread (the address monitor) the message is handed over without waiting;
    // an exception without a description shows nothing.
    std::thread monitor([this] {
        m_pDlg->OnException(CZarnException(5));
        m_pDlg->OnException(CZarnException(0, "monitor failure"));
    });
    monitor.join();
    WhenModal<QMessageBox>([&](QMessageBox* pBox) { strText = pBox->text(); }, &nSeen);
    EXPECT_TRUE(PumpUntil([&] { return nSeen == 2; }));
    EXPECT_EQ(strText.toStdString(), "monitor failure");
    QTest::qWait(50);
    EXPECT_EQ(nSeen, 2);
}

TEST_F(OrvekDlgTest, AboutBoxFromContextMenu) {
    const std::unique_ptr<QMenu> pMenu = m_pDlg->CreateContextMenu();
    ASSERT_EQ(pMenu->actions().size(), 1);
    QAction* pAbout = pMenu->actions().front();
    EXPECT_EQ(pAbout->text().toStdString(), "&About Orvek...");

    int nSeen = 0;
    QStringList texts;
    bool bOkDefault = false;
    bool bModal = false;
    WhenModal<CAboutDlg>(
        [&](CAboutDlg* pBox) {
            bModal = pBox->isModal();
            texts.append(pBox->windowTitle());
            for (const QLabel* pLabel : pBox->findChildren<QLabel*>()) {
                texts.append(pLabel->text());
            }
            const auto* pOk = pBox->findChild<QPushButton*>(QStringLiteral("IDOK"));
            bOkDefault = pOk != nullptr && pOk->isDefault() && pOk->text() == QStringLiteral("OK");
        },
        &nSeen);
    pAbout->trigger();
    ASSERT_EQ(nSeen, 1);
    EXPECT_TRUE(bModal);
    EXPECT_TRUE(bOkDefault);
    EXPECT_TRUE(texts.contains(QStringLiteral("About Orvek")));
    EXPECT_TRUE(texts.contains(QStringLiteral("Orvek Version 1.0")));
}

TEST_F(OrvekDlgTest, EnterCapturesAndClosingStopsCapture) {
    // With the window active, focus moves deliver focus events, so the buttons' default state
    // follows the focus as on a desktop.
    m_pDlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
    ASSERT_TRUE(m_pCapture->hasFocus());
    // Enter in the filter box captures while Capture is enabled and never ends the dialog.
    m_pFilter->setFocus();
    QTest::keyClick(m_pFilter, Qt::Key_Return);
    EXPECT_TRUE(IsCapturing());
    EXPECT_GT(AdapterCount(), 0u);
    QTest::keyClick(m_pFilter, Qt::Key_Return);
    EXPECT_TRUE(IsCapturing());
    EXPECT_TRUE(m_pDlg->isVisible());
    // Enter on a focused push button presses it.
    m_pStop->setFocus();
    QTest::keyClick(m_pStop, Qt::Key_Return);
    EXPECT_TRUE(IsIdle());
    EXPECT_EQ(AdapterCount(), 0u);

    // Escape and the close box end the dialog, stopping capture first.
    for (const bool bEscape : {true, false}) {
        m_pDlg->show();
        m_pCapture->click();
        ASSERT_TRUE(IsCapturing());
        if (bEscape) {
            QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);
        } else {
            m_pDlg->close();
        }
        EXPECT_FALSE(m_pDlg->isVisible());
        EXPECT_EQ(AdapterCount(), 0u) << (bEscape ? "Escape" : "close box");
    }

    // Destroyed while packets arrive: capture stops before the listener goes away.
    m_pDlg->show();
    m_pCapture->click();
    ASSERT_TRUE(IsCapturing());
    CUdpSink sink("127.0.0.1", 7003);
    std::thread sender([] { SendUdp("127.0.0.1", "127.0.0.1", 7003, 200, 2000); });
    PumpUntil([this] { return m_pDlg->GetSentBytes() > 0; });
    m_pDlg.reset();
    sender.join();
    EXPECT_EQ(AdapterCount(), 0u);
}

} // namespace

#include "OrvekDlgTest.moc"
