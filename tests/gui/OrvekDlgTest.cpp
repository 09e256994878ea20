// The main window and the About box on Qt's offscreen platform, capturing in a private namespace.

#include "DetailsDlg.h"
#include "GuiTest.h"
#include "Protocol.h"
#include "TimedSampler.h"

#include <QTest>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
    EXPECT_TRUE(Serve([&] { return IsOpen(); }));
    EXPECT_TRUE(m_pDlg->isVisible());
    EXPECT_TRUE(pDetails->isVisible());
    m_pDlg->close();
    EXPECT_FALSE(pDetails->isVisible());
    EXPECT_TRUE(Serve([&] { return !IsOpen(); }));
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
    Stop();
    recvUdp(1000, 5, 35);
    Capture();
    recvUdp(100, 7, 42);
    expectShown(RecvCounter(), " Recv  0.030 Mb", "Received 31,736 bytes in 37 packets\nNow ");
}

// A helper killed while capturing is told once, the window goes idle with its totals, and the
// next Capture starts a new helper that counts on from them, each device under its counters' id,
// so that the usage file neither counts its bytes again nor misses any.
TEST_F(OrvekDlgTest, AHelperThatDiesIsToldOnceAndCaptureCountsOnFromItsTotals) {
    CUdpSink sink("10.79.0.1", 7001);
    const auto recvUdp = [&](size_t nTotal) {
        m_peer.RunIn([] { SendUdp("10.79.0.2", "10.79.0.1", 7001, 1000, 10); });
        ASSERT_EQ(sink.WaitFor(nTotal), nTotal);
    };
    const auto tipShows = [&](const char* szTip) {
        return Serve([&] { return RecvCounter()->toolTip().startsWith(szTip); });
    };
    const auto orv0 = [&] {
        const MeterSnapshot snapshot = m_pDlg->GetMeter().GetSnapshot();
        const auto it = std::ranges::find(snapshot.devices, "orv0", &DeviceSnapshot::strName);
        return std::pair(it->nRecvBytes, it->nCounterId);
    };
    Capture();
    recvUdp(10);
    ASSERT_TRUE(tipShows("Received 10,280 bytes in 10 packets"));
    const uint64_t nCounterId = orv0().second;
    EXPECT_NE(nCounterId, 0u);
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
    EXPECT_EQ(orv0(), std::pair(int64_t{20560}, nCounterId));
    EXPECT_TRUE(modals.m_modals.size() == 1);
}

// A capturing helper that is stopped (SIGSTOP) sends nothing more: the title says so within
// seconds, and no longer once the helper goes on, which is not given up meanwhile.
TEST_F(OrvekDlgTest, ASilentHelperShowsAsStalledUntilItSpeaksAgain) {
    Capture();
    const pid_t nHelper = m_pDlg->GetMeter().GetHelperPid();
    kill(nHelper, SIGSTOP);
    EXPECT_TRUE(Serve([&] { return m_pDlg->IsHelperStalled(); }));
    EXPECT_TRUE(IsCapturing());
    kill(nHelper, SIGCONT);
    EXPECT_TRUE(Serve([&] { return !m_pDlg->IsHelperStalled(); }));
    EXPECT_EQ(m_pDlg->GetMeter().GetHelperPid(), nHelper);
}

TEST_F(OrvekDlgTest, RefusedFilterAndAboutBox) {
    Filter()->setText("tcp and and udp");
    {
        CModalCollector modals;
        CaptureButton()->click();
        ASSERT_TRUE(Serve([&] { return !modals.m_modals.empty(); }));
        const QStringList& texts = modals.m_modals.front();
        EXPECT_EQ(texts.value(0).toStdString(), "Exception");
        EXPECT_TRUE(texts.contains(QString::fromStdString(PcapFilterError("tcp and and udp"))))
            << texts.join('|').toStdString();
        EXPECT_TRUE(IsIdle());
    }

    // The menu's last entry opens the About box.
    QStringList texts;
    CollectModalTexts(texts);
    m_pDlg->CreateContextMenu()->actions().back()->trigger();
    EXPECT_TRUE(texts.contains("Orvek Version " ORVEK_VERSION)) << texts.join('|').toStdString();
    // It names who counts: here a helper of its own; a window given the service, the service.
    EXPECT_TRUE(texts.contains("counting by its own capture helper"))
        << texts.join('|').toStdString();
    COrvekDlg served(nullptr, CaptureSource{m_dirSettings.filePath("orvekd.sock").toStdString()});
    QStringList servedTexts;
    CollectModalTexts(servedTexts);
    served.CreateContextMenu()->actions().back()->trigger();
    EXPECT_TRUE(servedTexts.contains("counting by the system service"))
        << servedTexts.join('|').toStdString();
}

// Failures that come together while capturing are one box, not one each; a down monitor in the
// helper (a test hook there closes its news) shows in the Details window until it is back, and
// its failure is said once.
TEST_F(OrvekDlgTest, FailuresComeAsOneBoxAndDetailsShowsADownMonitor) {
    const QLabel* pNote = m_pDlg->OpenDetails()->GetMonitorNote();
    Capture();
    CModalCollector boxes;
    std::thread([this] {
        for (const char* szText : {"a: x", "b: y"}) {
            m_pDlg->GetMeter().OnException(CZarnException(0, szText));
        }
    }).join();
    EXPECT_TRUE(Serve([&] { return !boxes.m_modals.empty(); }));
    ASSERT_EQ(boxes.m_modals.size(), 1u);
    EXPECT_TRUE(boxes.m_modals[0].contains("a: x\nb: y"))
        << boxes.m_modals[0].join('|').toStdString();

    EXPECT_FALSE(pNote->isVisible());
    kill(m_pDlg->GetMeter().GetHelperPid(), SIGUSR1);
    const auto noteShown = [&] {
        m_pDlg->GetSampler().Sample();
        return pNote->isVisible();
    };
    ASSERT_TRUE(Serve(noteShown));
    ASSERT_TRUE(Serve([&] { return !noteShown() && boxes.m_modals.size() == 2; }));
    EXPECT_TRUE(
        boxes.m_modals[1].join('|').contains("Following the host's devices and addresses failed"))
        << boxes.m_modals[1].join('|').toStdString();
}

} // namespace

// A helper that greets and then answers nothing: Capture returns before its answer, the window's
// loop runs on (a timer fires) and its title says that the helper is not answering; Stop returns
// at once too, and closing the window ends the stalled helper.
TEST(OrvekDlgStall, AStalledHelperNeverFreezesTheWindow) {
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    std::string strHello;
    for (const char ch : EncodeFrame(HelperMessage{HelloMessage{}})) {
        char szOctal[8];
        std::snprintf(szOctal, sizeof szOctal, "\\%03o", static_cast<unsigned char>(ch));
        strHello += szOctal;
    }
    const std::string strFake = dir.filePath("stalling").toStdString();
    std::ofstream(strFake) << "#!/bin/sh\nprintf '" << strHello << "' >&3\nexec sleep 600\n";
    std::filesystem::permissions(strFake, std::filesystem::perms::owner_all);
    const std::string strHelper = std::getenv(CCaptureClient::kHelperVariable);
    setenv(CCaptureClient::kHelperVariable, strFake.c_str(), 1);
    auto pDlg = std::make_unique<COrvekDlg>();
    setenv(CCaptureClient::kHelperVariable, strHelper.c_str(), 1);
    pDlg->show();
    const auto serve = [](const std::function<bool()>& pred) {
        return WaitUntil([&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            return pred();
        });
    };
    int nTicks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&nTicks] { ++nTicks; });
    timer.start(10);

    pDlg->findChild<QPushButton*>("IDC_CAPTURE")->click();
    EXPECT_TRUE(pDlg->IsWaitingForHelper());
    EXPECT_TRUE(pDlg->IsCapturing());
    ASSERT_TRUE(serve([&] { return pDlg->IsHelperStalled(); }));
    EXPECT_TRUE(pDlg->windowTitle().endsWith("(the capture helper is not answering)"))
        << pDlg->windowTitle().toStdString();
    const int nTicksAtStall = nTicks;
    EXPECT_TRUE(serve([&] { return nTicks > nTicksAtStall + 10; }));
    EXPECT_TRUE(pDlg->IsWaitingForHelper());

    pDlg->findChild<QPushButton*>("IDC_STOP")->click();
    EXPECT_FALSE(pDlg->IsCapturing());
    EXPECT_TRUE(pDlg->findChild<QPushButton*>("IDC_CAPTURE")->isEnabled());
    const pid_t nHelper = pDlg->GetMeter().GetHelperPid();
    ASSERT_GT(nHelper, 0);
    pDlg.reset();
    EXPECT_EQ(kill(nHelper, 0), -1); // killed and reaped
}
