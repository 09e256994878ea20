// The window with its usage file, on a display and a session bus of the test's own: plan alerts
// through a fake notification service, once per cycle across restarts, and said by the tray's
// tooltip and the History view when no service exists; the tray icon made anew when a fake
// StatusNotifierWatcher appears, hiding to the tray only with one, and the tray's menu; the
// autostart entry; the History view and the plan dialog against the store.

#include "Autostart.h"
#include "DesktopNotifier.h"
#include "DetailsDlg.h"
#include "DeviceTableModel.h"
#include "GuiTest.h"
#include "HistoryView.h"
#include "OrvekApp.h"
#include "PlanDlg.h"
#include "Protocol.h"
#include "StoreSupport.h"
#include "TimedSampler.h"
#include "TrayIcon.h"
#include "UsageKeeper.h"

#include <QDBusConnection>
#include <QSettings>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

#include <fstream>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <tuple>

using namespace orvektest;

// Plays org.freedesktop.Notifications on a connection of its own: keeps each title and text it is
// shown.
class CFakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    CFakeNotifications()
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                              QStringLiteral("fake-notifications"))) {
        m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                             QDBusConnection::ExportAllSlots);
        EXPECT_TRUE(m_bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
    }
    ~CFakeNotifications() override {
        m_bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-notifications"));
    }
    QStringList m_titles, m_texts;

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& strSummary,
                const QString& strBody, const QStringList&, const QVariantMap&, int) {
        m_titles << strSummary;
        m_texts << strBody;
        return static_cast<uint>(m_titles.size());
    }

private:
    QDBusConnection m_bus;
};

// Plays a tray host's org.kde.StatusNotifierWatcher: keeps the items that register. It answers on
// a thread of its own: Qt asks it with blocking calls from the window's thread.
class CFakeWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ GetProtocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ GetItems)

public:
    CFakeWatcher()
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                              QStringLiteral("fake-watcher"))) {
        m_thread.start();
        moveToThread(&m_thread);
        m_bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                             QDBusConnection::ExportAllSlots |
                                 QDBusConnection::ExportAllProperties);
        EXPECT_TRUE(m_bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));
    }
    ~CFakeWatcher() override {
        m_bus.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        m_bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-watcher"));
        m_thread.quit();
        m_thread.wait();
    }
    bool IsHostRegistered() const { return true; }
    int GetProtocolVersion() const { return 0; }
    QStringList GetItems() const {
        std::lock_guard guard(m_mtx);
        return m_items;
    }

public slots:
    void RegisterStatusNotifierItem(const QString& strService) {
        std::lock_guard guard(m_mtx);
        m_items << strService;
    }
    void RegisterStatusNotifierHost(const QString&) {}

private:
    QThread m_thread;
    QDBusConnection m_bus;
    mutable std::mutex m_mtx;
    QStringList m_items; // guarded by m_mtx
};

namespace {

// The application's parts around the fixture's window, on a usage file of the test's own.
class UsageGui : public CGuiTest {
protected:
    void SetUp() override {
        CGuiTest::SetUp();
        std::filesystem::create_directories(m_dir);
        m_peer.RunIn([&] { m_pSink = std::make_unique<CUdpSink>("10.79.0.2", 7300); });
        StartParts();
    }
    void TearDown() override {
        StopParts();
        m_peer.RunIn([&] { m_pSink.reset(); });
        std::filesystem::remove_all(m_dir);
        CGuiTest::TearDown();
    }
    // As a new run of the application: a new window, keeper, notifier and tray, wired as Run
    // wires them.
    void StartParts() {
        m_pKeeper = std::make_unique<CUsageKeeper>(m_pDlg->GetSampler(), m_clock, m_strPath);
        m_pDlg->SetUsage(m_pKeeper.get());
        m_pNotifier = std::make_unique<CDesktopNotifier>();
        m_pTray = std::make_unique<CTrayIcon>();
        COrvekApp::WireUp(*m_pDlg, *m_pKeeper, *m_pNotifier, *m_pTray);
    }
    void StopParts() {
        m_pTray.reset();
        m_pNotifier.reset();
        m_pKeeper.reset();
    }
    void RestartAll() {
        StopParts();
        Restart();
        StartParts();
    }
    // nCount datagrams of 1000 bytes (IP) sent on orv0, counted, sampled and written.
    void SendAndWrite(int nCount) {
        const int64_t nBefore = m_pDlg->GetMeter().GetSentBytes();
        SendUdp("10.79.0.1", "10.79.0.2", 7300, 972, static_cast<size_t>(nCount));
        ASSERT_TRUE(
            Serve([&] { return m_pDlg->GetMeter().GetSentBytes() == nBefore + nCount * 1000; }));
        m_pDlg->GetSampler().Sample();
        m_pKeeper->Flush();
    }

    std::filesystem::path m_dir =
        std::filesystem::temp_directory_path() / ("orvek-usage-gui-" + std::to_string(getpid()));
    std::string m_strPath = (m_dir / "usage.sqlite").string();
    CSystemUsageClock m_clock;
    std::unique_ptr<CUdpSink> m_pSink;
    std::unique_ptr<CUsageKeeper> m_pKeeper;
    std::unique_ptr<CDesktopNotifier> m_pNotifier;
    std::unique_ptr<CTrayIcon> m_pTray;
};

// A cap of 100,000 bytes: 80 kB fires 75 %, after a restart 95 kB fires 90 % alone, a restart
// with no traffic fires nothing, 105 kB fires 100 %; each reaches the service once. Without a
// service, an alert is said by the tray's tooltip and the History view.
TEST_F(UsageGui, AlertsFireOncePerCycleAcrossRestartsOrAreSaidWithoutAService) {
    auto pService = std::make_unique<CFakeNotifications>();
    Plan plan;
    // The window records on the system's clock: a cycle that starts two weeks from today never
    // ends during the test, whatever the date.
    plan.nCycleDay = LocalDateOf(m_clock.NowUtcMs() / 1000 + 14 * 86400).nDay;
    plan.nCapBytes = 100'000;
    plan.eUnit = ECapUnit::MB;
    plan.vecAlerts = {75, 90, 100, 120};
    QString strError;
    ASSERT_TRUE(m_pKeeper->SetPlan(plan, strError)) << strError.toStdString();
    Capture();
    SendAndWrite(80);
    const auto titles = [&](const QStringList& want) {
        Serve([&] { return pService->m_titles.size() >= want.size(); }, 5000);
        // A little longer, to see that nothing more arrives.
        Serve([] { return false; }, 300);
        EXPECT_EQ(pService->m_titles, want);
    };
    titles({"Data plan 75 % used"});
    RestartAll();
    Capture();
    SendAndWrite(15);
    titles({"Data plan 75 % used", "Data plan 90 % used"});
    RestartAll();
    m_pKeeper->Flush();
    titles({"Data plan 75 % used", "Data plan 90 % used"});
    Capture();
    SendAndWrite(10);
    titles({"Data plan 75 % used", "Data plan 90 % used", "Data plan used up"});
    // Each text names its own threshold, in the plan's unit.
    ASSERT_EQ(pService->m_texts.size(), 3);
    EXPECT_TRUE(pService->m_texts[0].startsWith(QStringLiteral("75 % of your data plan used: ")));
    EXPECT_TRUE(pService->m_texts[1].startsWith(QStringLiteral("90 % of your data plan used: ")));
    EXPECT_TRUE(pService->m_texts[2].startsWith(
        QStringLiteral("Your data plan is used up: 0.10 MB of 0.10 MB; ")))
        << pService->m_texts[2].toStdString();
    EXPECT_TRUE(m_pKeeper->GetUndeliveredAlert().isEmpty());
    // The counters' tooltips carry the plan's usage.
    Serve([&] { return RecvCounter()->toolTip().contains(QStringLiteral("105.0 %")); }, 5000);
    EXPECT_TRUE(RecvCounter()->toolTip().contains(QStringLiteral(" MB used (105.0 %) since ")))
        << RecvCounter()->toolTip().toStdString();

    pService.reset();
    SendAndWrite(20);
    ASSERT_TRUE(Serve([&] { return !m_pKeeper->GetUndeliveredAlert().isEmpty(); }, 10000));
    EXPECT_TRUE(m_pKeeper->GetUndeliveredAlert().startsWith(
        QStringLiteral("Data plan exceeded: 120 % used: 120 % of your data plan used, 20 % past "
                       "its cap: 0.12 MB of 0.10 MB; ")))
        << m_pKeeper->GetUndeliveredAlert().toStdString();
    EXPECT_TRUE(
        COrvekApp::TrayToolTip(m_pDlg->GetSampler().GetLatest(), *m_pKeeper, m_pDlg->GetUnits())
            .contains(m_pKeeper->GetUndeliveredAlert()));
    CDetailsDlg* pDetails = m_pDlg->OpenDetails();
    pDetails->GetTabs()->setCurrentIndex(pDetails->GetTabs()->count() - 1); // History, the last
    auto* pHistory = pDetails->findChild<CHistoryView*>();
    ASSERT_NE(pHistory, nullptr);
    EXPECT_TRUE(pHistory->GetStateLabel()->text().startsWith(m_pKeeper->GetUndeliveredAlert()));
}

// With the system service the window only reads the service's file: the alerts its figures cross
// are given once per cycle, a restart gives none again, and a later write of the service's gives
// the next one.
TEST_F(UsageGui, TheServicesFiguresGiveEachAlertOnce) {
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Orvek"),
              QStringLiteral("Orvek"))
        .remove(QLatin1String(CUsageKeeper::kServiceAlertsGroup));
    const std::string strService = (m_dir / "service.sqlite").string();
    const int64_t nNow = m_clock.NowUtcMs() / 1000;
    Plan plan;
    plan.nCycleDay = LocalDateOf(nNow + 14 * 86400).nDay;
    plan.nCapBytes = 100'000;
    const auto serviceWrites = [&](int64_t nRecv) {
        CUsageStore store(strService, CUsageStore::EAccess::Write, nNow);
        SavePlan(store, plan);
        store.Write({{nNow - nNow % 300, "eth0", 0, nRecv}}, {{nNow - 60, nNow}}, nNow);
    };
    serviceWrites(95'000);
    auto pKeeper = std::make_unique<CUsageKeeper>(m_pDlg->GetSampler(), m_clock, strService, true);
    QSignalSpy first(pKeeper.get(), &CUsageKeeper::AlertDue);
    ASSERT_TRUE(first.wait(5000));
    ASSERT_EQ(first.count(), 1); // 75 % given with it, not said
    EXPECT_EQ(first.at(0).at(0).toInt(), 90);

    pKeeper = std::make_unique<CUsageKeeper>(m_pDlg->GetSampler(), m_clock, strService, true);
    QSignalSpy again(pKeeper.get(), &CUsageKeeper::AlertDue);
    EXPECT_FALSE(again.wait(300));
    serviceWrites(10'000);
    pKeeper->Flush();
    ASSERT_EQ(again.count(), 1);
    EXPECT_EQ(again.at(0).at(0).toInt(), 100);
    EXPECT_TRUE(
        again.at(0).at(2).toString().startsWith(QStringLiteral("Your data plan is used up")))
        << again.at(0).at(2).toString().toStdString();
}

// A plan in GB keeps GB wherever the plan is shown (the tray, the counters' tooltips, the History
// tab's figures of the cycle), whichever family the rest of the window speaks: binary at first,
// then decimal once chosen.
TEST_F(UsageGui, ThePlansFiguresKeepItsUnitAndTheRestOneFamily) {
    Plan plan;
    plan.nCycleDay = LocalDateOf(m_clock.NowUtcMs() / 1000 + 14 * 86400).nDay;
    plan.nCapBytes = 2'000'000'000;
    plan.eUnit = ECapUnit::GB;
    QString strError;
    ASSERT_TRUE(m_pKeeper->SetPlan(plan, strError)) << strError.toStdString();
    Capture();
    SendAndWrite(3);
    CDetailsDlg* pDetails = m_pDlg->OpenDetails();
    auto* pHistory = pDetails->findChild<CHistoryView*>();
    ASSERT_NE(pHistory, nullptr);
    pDetails->GetTabs()->setCurrentWidget(pHistory);
    TrafficSample sample;
    sample.dRecvRate = 1536;
    sample.dSentRate = 0;
    for (const auto& [eUnits, szRate, szSent] :
         {std::tuple{EByteUnits::Binary, "1.5 KiB/s", "Sent (MiB)"},
          std::tuple{EByteUnits::Decimal, "1.5 kB/s", "Sent (MB)"}}) {
        m_pDlg->SetUnits(eUnits);
        const QString strPlan = m_pKeeper->DescribePlan();
        EXPECT_TRUE(strPlan.startsWith(QStringLiteral("0.00 GB of 2.00 GB used")))
            << strPlan.toStdString();
        EXPECT_EQ(COrvekApp::TrayToolTip(sample, *m_pKeeper, m_pDlg->GetUnits()),
                  QStringLiteral("Orvek\nReceived %1, sent 0 B/s\nData plan: %2")
                      .arg(QLatin1String(szRate), strPlan));
        EXPECT_TRUE(Serve([&] {
            return RecvCounter()->toolTip().contains(QStringLiteral("\nData plan: 0.00 GB of "));
        })) << RecvCounter()->toolTip().toStdString();
        EXPECT_TRUE(
            pHistory->GetPlanLabel()->text().startsWith(QStringLiteral("0.00 GB of 2.00 GB used")))
            << pHistory->GetPlanLabel()->text().toStdString();
        EXPECT_EQ(pDetails->GetModel()->headerData(CDeviceTableModel::kColSent, Qt::Horizontal),
                  QLatin1String(szSent));
    }
}

// No tray host: closing the window ends it. A watcher appears: the icon is made anew, registers
// with it, and closing the window hides it; the tray's menu captures, stops, shows and quits.
TEST_F(UsageGui, TrayMadeAnewWhenAWatcherAppearsAndTheWindowHidesOnlyWithATray) {
    ASSERT_FALSE(m_pTray->IsAvailable());
    EXPECT_EQ(m_pTray->GetCreations(), 0);
    QSignalSpy finished(m_pDlg.get(), &QDialog::finished);
    m_pDlg->reject();
    EXPECT_EQ(finished.count(), 1);
    EXPECT_FALSE(m_pDlg->isVisible());
    RestartAll();

    CFakeWatcher watcher;
    ASSERT_TRUE(Serve([&] { return !watcher.GetItems().isEmpty(); }, 10000));
    EXPECT_EQ(m_pTray->GetCreations(), 1);
    EXPECT_TRUE(m_pTray->IsAvailable());
    QSignalSpy ended(m_pDlg.get(), &QDialog::finished);
    m_pDlg->reject();
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_EQ(ended.count(), 0);

    const QList<QAction*> actions = m_pTray->GetMenu()->actions();
    const auto action = [&](const QString& strText) {
        const auto it =
            std::ranges::find_if(actions, [&](QAction* p) { return p->text() == strText; });
        EXPECT_NE(it, actions.end()) << strText.toStdString();
        return *it;
    };
    action(QStringLiteral("&Capture"))->trigger();
    EXPECT_TRUE(IsCapturing());
    EXPECT_FALSE(action(QStringLiteral("&Capture"))->isEnabled());
    action(QStringLiteral("S&top"))->trigger();
    EXPECT_TRUE(IsIdle());
    action(QStringLiteral("&Show Orvek"))->trigger();
    EXPECT_TRUE(m_pDlg->isVisible());
    action(QStringLiteral("&Details..."))->trigger();
    EXPECT_TRUE(m_pDlg->findChild<CDetailsDlg*>()->isVisible());
    action(QStringLiteral("&Quit"))->trigger();
    EXPECT_EQ(ended.count(), 1);
}

// "Start at login" writes the entry with the program's path quoted, and removes it again.
TEST_F(UsageGui, StartAtLoginWritesAndRemovesTheAutostartEntry) {
    const std::string strConfig = (m_dir / "config").string();
    setenv("XDG_CONFIG_HOME", strConfig.c_str(), 1);
    EXPECT_EQ(AutostartPath(), strConfig + "/autostart/orvek.desktop");
    EXPECT_FALSE(IsAutostartEnabled());
    const auto menu = m_pDlg->CreateContextMenu();
    QAction* pLogin = nullptr;
    for (QAction* pAction : menu->actions()) {
        pLogin = pAction->text() == QStringLiteral("Start at &login") ? pAction : pLogin;
    }
    ASSERT_NE(pLogin, nullptr);
    pLogin->setChecked(true);
    EXPECT_TRUE(IsAutostartEnabled());
    std::ifstream entry(AutostartPath());
    const std::string strEntry((std::istreambuf_iterator<char>(entry)), {});
    EXPECT_EQ(strEntry, AutostartEntry(QCoreApplication::applicationFilePath().toStdString()));
    EXPECT_NE(AutostartEntry("/opt/my $dir/orvek")
                  .find("\nExec=\"/opt/my \\\\$dir/orvek\" --autostart\n"),
              std::string::npos);
    pLogin->setChecked(false);
    EXPECT_FALSE(std::filesystem::exists(AutostartPath()));
    unsetenv("XDG_CONFIG_HOME");
}

struct CFakeSource : IDetailsSource {
    MeterSnapshot GetSnapshot() const override { return m_snapshot; }
    std::set<std::string> GetExcludedDevices() const override { return {}; }
    void SetExcludedDevices(const std::set<std::string>&) override {}
    std::map<std::string, std::string> GetTunnels() const override { return {}; }
    void SetTunnels(const std::map<std::string, std::string>&) override {}
    MeterSnapshot m_snapshot;
};

// Days written on a clock the test moves: the History view's bars are the cycle's days as the
// store holds them, its list the past cycles (or months without a plan); the plan dialog takes a
// cap with its unit said plainly and refuses a bad one.
TEST_F(UsageGui, HistoryViewAndPlanDialogAgreeWithTheStore) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    CFakeSource source;
    source.m_snapshot.devices.resize(1);
    DeviceSnapshot& eth = source.m_snapshot.devices[0];
    eth.strName = "eth0";
    // Three fifths to an application, the rest to a reason: the keeper passes the rows on.
    source.m_snapshot.apps = {{"firefox", 0, 0, 0, 1},
                              {"not attributed: socket closed before it was seen", 5, 0, 0, 0}};
    CTimedSampler sampler(source);
    CFakeClock clock;
    clock.nWallMs = Utc(2027, 1, 20, 12) * 1000;
    const std::string strPath = (m_dir / "history.sqlite").string();
    CUsageKeeper keeper(sampler, clock, strPath);
    sampler.Sample();
    // One day a week from January 20 to February 24, 1,000,000 bytes more each time.
    for (int nWeek = 1; nWeek <= 5; ++nWeek) {
        clock.Pass(7 * 86400);
        eth.nRecvBytes += nWeek * 1'000'000;
        source.m_snapshot.apps[0].nRecvBytes += nWeek * 600'000;
        source.m_snapshot.apps[1].nRecvBytes += nWeek * 400'000;
        sampler.Sample();
        keeper.Flush();
    }
    Plan plan;
    plan.nCycleDay = 31;
    plan.nCapBytes = 50'000'000;
    plan.eUnit = ECapUnit::MB;
    QString strError;
    ASSERT_TRUE(keeper.SetPlan(plan, strError));
    CHistoryView view(keeper);
    view.show();
    // Cycle day 31 in February: January 31 to February 27, 28 days; today the 24th.
    std::vector<int64_t> vecDays(28, 0);
    vecDays[3] = 2'000'000;  // February 3
    vecDays[10] = 3'000'000; // February 10
    vecDays[17] = 4'000'000; // February 17
    vecDays[24] = 5'000'000; // February 24
    EXPECT_EQ(view.GetBars()->GetDays(), vecDays);
    EXPECT_EQ(view.GetPlanLabel()->text().toStdString(),
              "14.00 MB of 50.00 MB used (28.0 %) since 2027-01-31; at this pace 15.97 MB by "
              "2027-02-27 (from 24 days recorded).\nMB = 1,000,000 bytes; counts sent and received "
              "bytes of every "
              "device.");
    // From the first recorded day, January 20, on; before it nothing.
    QTreeWidget* pList = view.GetList();
    ASSERT_EQ(pList->topLevelItemCount(), 2);
    EXPECT_EQ(pList->topLevelItem(0)->text(0).toStdString(), "2026-12-31 to 2027-01-30");
    EXPECT_EQ(pList->topLevelItem(0)->text(3).toStdString(), "1.00 MB");
    EXPECT_EQ(pList->topLevelItem(1)->text(0).toStdString(), "before 2027-01-20");

    // Today's applications, then last month's (January 27 alone).
    const auto apps = [&] {
        std::string strRows;
        for (int n = 0; n < view.GetApps()->topLevelItemCount(); ++n) {
            strRows += view.GetApps()->topLevelItem(n)->text(0).toStdString() + " " +
                       view.GetApps()->topLevelItem(n)->text(1).toStdString() + "\n";
        }
        return strRows;
    };
    EXPECT_EQ(apps(),
              "firefox 2.86 MiB\nnot attributed: socket closed before it was seen 1.91 MiB\n");
    view.GetAppPeriod()->setCurrentIndex(3);
    // 390.625 rounds to even, as orvek report writes it.
    EXPECT_EQ(apps(),
              "firefox 585.94 KiB\nnot attributed: socket closed before it was seen 390.62 KiB\n");

    ASSERT_TRUE(keeper.SetPlan(std::nullopt, strError));
    EXPECT_EQ(view.GetList()->topLevelItem(0)->text(0).toStdString(), "2027-01");
    EXPECT_EQ(view.GetList()->topLevelItem(0)->text(3).toStdString(), "976.56 KiB");
    view.SetUnits(EByteUnits::Decimal);
    EXPECT_EQ(view.GetList()->topLevelItem(0)->text(3).toStdString(), "1.00 MB");
    EXPECT_EQ(apps(), "firefox 600.00 kB\nnot attributed: socket closed before it was seen "
                      "400.00 kB\n");
    view.SetUnits(EByteUnits::Binary);
    EXPECT_EQ(view.GetBars()->GetDays().size(), 28u); // February's days

    CPlanDlg dlg(std::nullopt, {"eth0", "wlan0"});
    dlg.findChild<QCheckBox*>(QStringLiteral("IDC_PLAN_ON"))->setChecked(true);
    auto* pCap = dlg.findChild<QLineEdit*>(QStringLiteral("IDC_PLAN_CAP"));
    pCap->setText(QStringLiteral("1,5"));
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(dlg.findChild<QLabel*>(QStringLiteral("IDC_PLAN_ERROR"))->text().isEmpty());
    pCap->setText(QStringLiteral("1.5"));
    auto* pUnit = dlg.findChild<QComboBox*>(QStringLiteral("IDC_PLAN_UNIT"));
    pUnit->setCurrentText(QStringLiteral("GiB = 1,073,741,824 bytes"));
    dlg.accept();
    ASSERT_TRUE(dlg.GetPlan());
    EXPECT_EQ(dlg.GetPlan()->nCapBytes, 1'610'612'736);
    EXPECT_EQ(dlg.GetPlan()->eUnit, ECapUnit::GiB);
    unsetenv("TZ");
    tzset();
}

// Every cell of the list, a year's months included, row by row.
std::string ListText(QTreeWidget* pList) {
    std::string strRows;
    const auto add = [&](QTreeWidgetItem* pItem, const std::string& strIndent) {
        strRows += strIndent;
        for (int nColumn = 0; nColumn < pList->columnCount(); ++nColumn) {
            strRows += (nColumn == 0 ? "" : "|") + pItem->text(nColumn).toStdString();
        }
        strRows += "\n";
    };
    for (int n = 0; n < pList->topLevelItemCount(); ++n) {
        QTreeWidgetItem* pItem = pList->topLevelItem(n);
        add(pItem, "");
        for (int nChild = 0; nChild < pItem->childCount(); ++nChild) {
            add(pItem->child(nChild), "  ");
        }
    }
    return strRows;
}

// A file started on January 30, the computer then off until March 10: the History view starts at
// the first recorded day and says so, February and the days nobody recorded read "not recorded"
// (never "0 B", nor "0.00 MB" with a plan), in the past months, the years and the bars, and a
// partly recorded day says how much of it was recorded.
TEST_F(UsageGui, HistoryViewSaysNotRecordedForTimeNobodyRecorded) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    CFakeSource source;
    source.m_snapshot.devices.resize(1);
    DeviceSnapshot& eth = source.m_snapshot.devices[0];
    eth.strName = "eth0";
    CTimedSampler sampler(source);
    CFakeClock clock;
    clock.nWallMs = Utc(2027, 1, 30, 9) * 1000; // 10:00 local
    CUsageKeeper keeper(sampler, clock, (m_dir / "since.sqlite").string());
    sampler.Sample();
    clock.Pass(2 * 3600);
    eth.nRecvBytes += 1'000'000;
    sampler.Sample();
    keeper.Flush();
    // Switched on again on March 10 at 11:00 local: the wall clock jumps, the steady one not.
    clock.nWallMs = Utc(2027, 3, 10, 10) * 1000;
    sampler.Sample();
    clock.Pass(3600);
    eth.nRecvBytes += 500'000;
    sampler.Sample();
    keeper.Flush();

    CHistoryView view(keeper);
    view.show();
    EXPECT_EQ(view.GetSinceLabel()->text().toStdString(),
              "Recorded since 2027-01-30 10:00; earlier time is not recorded.");
    EXPECT_EQ(ListText(view.GetList()), "2027-02||||not recorded\n"
                                        "2027-01|976.56 KiB|0 B|976.56 KiB|< 1 %\n"
                                        "before 2027-01-30||||not recorded\n");
    EXPECT_EQ(view.GetList()->topLevelItem(1)->toolTip(4).toStdString(), "recorded 2 h of 31 days");
    // March's bars: nine days nobody recorded, today's hour of twelve, days to come.
    std::vector<ERecorded> vecMarch(31, ERecorded::Future);
    std::fill_n(vecMarch.begin(), 9, ERecorded::NotRecorded);
    vecMarch[9] = ERecorded::Partly;
    EXPECT_EQ(view.GetBars()->GetRecording(), vecMarch);
    EXPECT_EQ(view.GetBars()->DayTip(8).toStdString(), "2027-03-09: not recorded");
    EXPECT_EQ(view.GetBars()->DayTip(9).toStdString(),
              "2027-03-10: 488.28 KiB; recorded 1 h of 12 h so far");

    view.GetListView()->setCurrentIndex(CHistoryView::Years);
    EXPECT_EQ(ListText(view.GetList()), "2027|1.43 MiB|0 B|1.43 MiB|< 1 %\n"
                                        "  2027-01|976.56 KiB|0 B|976.56 KiB|< 1 %\n"
                                        "  2027-02||||not recorded\n"
                                        "  2027-03|488.28 KiB|0 B|488.28 KiB|< 1 %\n"
                                        "before 2027-01-30||||not recorded\n");

    // With a plan: nothing reads as zero where nothing was recorded.
    Plan plan;
    plan.nCapBytes = 220'000'000;
    plan.eUnit = ECapUnit::MB;
    QString strError;
    ASSERT_TRUE(keeper.SetPlan(plan, strError)) << strError.toStdString();
    EXPECT_EQ(ListText(view.GetList()), "2027|1.50 MB|0.00 MB|1.50 MB|< 1 %\n"
                                        "  2027-01|1.00 MB|0.00 MB|1.00 MB|< 1 %\n"
                                        "  2027-02||||not recorded\n"
                                        "  2027-03|0.50 MB|0.00 MB|0.50 MB|< 1 %\n"
                                        "before 2027-01-30||||not recorded\n");
    view.GetListView()->setCurrentIndex(CHistoryView::PastPeriods);
    EXPECT_EQ(ListText(view.GetList()), "2027-02-01 to 2027-02-28||||not recorded\n"
                                        "2027-01-01 to 2027-01-31|1.00 MB|0.00 MB|1.00 MB|< 1 %\n"
                                        "before 2027-01-30||||not recorded\n");
    unsetenv("TZ");
    tzset();
}

// The plan dialog's labels: each '&' is a mnemonic with a buddy (a label without one shows the
// '&'), and Alt+P goes to the cap.
TEST_F(UsageGui, PlanDialogMnemonicsReachTheirFields) {
    CPlanDlg dlg(std::nullopt, {"eth0"});
    for (const QLabel* pLabel : dlg.findChildren<QLabel*>()) {
        EXPECT_TRUE(!pLabel->text().contains(QLatin1Char('&')) || pLabel->buddy() != nullptr)
            << pLabel->text().toStdString();
    }
    auto* pCap = dlg.findChild<QLineEdit*>(QStringLiteral("IDC_PLAN_CAP"));
    const auto* pCapLabel = dlg.findChild<QLabel*>(QStringLiteral("IDC_PLAN_CAP_LABEL"));
    ASSERT_NE(pCapLabel, nullptr);
    EXPECT_EQ(pCapLabel->buddy(), pCap);
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    dlg.findChild<QSpinBox*>()->setFocus();
    QTest::keyClick(&dlg, Qt::Key_P, Qt::AltModifier);
    EXPECT_TRUE(Serve([&] { return pCap->hasFocus(); }, 5000));
}

// Through a service that refuses this user, the Plan dialog says the service's reason and stays
// open; the plan is unchanged.
TEST_F(UsageGui, PlanDialogSaysTheServicesRefusal) {
    const std::string strSocket = (m_dir / "s.sock").string();
    const std::string strRefusal = "only root and members of group adm may change this host's plan";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, strSocket.c_str(), sizeof address.sun_path - 1);
    const CZarnFd hListen(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(bind(hListen.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(hListen.Get(), 1), 0);
    std::thread service([&] { // one client: greeted, refused, served until it closes
        const CZarnFd hClient(accept4(hListen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        const std::string strFrames = EncodeFrame(HelperMessage{HelloMessage{}}) +
                                      EncodeFrame(HelperMessage{PlanAnsweredMessage{strRefusal}});
        send(hClient.Get(), strFrames.data(), strFrames.size(), MSG_NOSIGNAL);
        char abBuffer[4096];
        while (recv(hClient.Get(), abBuffer, sizeof abBuffer, 0) > 0) {
        }
    });
    CUsageKeeper keeper(m_pDlg->GetSampler(), m_clock, m_strPath, true);
    keeper.SetServiceSocket(strSocket);
    CPlanDlg dlg(std::nullopt, {"eth0"}, nullptr, [&](const std::optional<Plan>& plan) {
        QString strError;
        return keeper.SetPlan(plan, strError) ? QString() : strError;
    });
    dlg.findChild<QCheckBox*>(QStringLiteral("IDC_PLAN_ON"))->setChecked(true);
    dlg.findChild<QLineEdit*>(QStringLiteral("IDC_PLAN_CAP"))->setText(QStringLiteral("5"));
    dlg.accept();
    service.join();
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_EQ(dlg.findChild<QLabel*>(QStringLiteral("IDC_PLAN_ERROR"))->text().toStdString(),
              "This host's plan was not changed: " + strRefusal + ".");
    EXPECT_EQ(keeper.GetPlan(), std::nullopt);
}

// A 220 MB plan on a clock the test moves, its counts from a source the test sets: each alert is
// handed out at the snapshot that crosses it, before anything is written, with its own words;
// three crossings in three snapshots, a restart that says nothing again, and in the next cycle
// one snapshot across all of them, which says only the highest.
TEST_F(UsageGui, AlertsComeAtTheSnapshotThatCrossesThem) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    CFakeSource source;
    source.m_snapshot.devices.resize(1);
    DeviceSnapshot& eth = source.m_snapshot.devices[0];
    eth.strName = "eth0";
    CTimedSampler sampler(source);
    CFakeClock clock;
    clock.nWallMs = Utc(2027, 1, 20, 12) * 1000;
    const std::string strPath = (m_dir / "alerts.sqlite").string();
    auto pKeeper = std::make_unique<CUsageKeeper>(sampler, clock, strPath);
    Plan plan;
    plan.nCapBytes = 220'000'000;
    plan.eUnit = ECapUnit::MB;
    QString strError;
    ASSERT_TRUE(pKeeper->SetPlan(plan, strError)) << strError.toStdString();
    QStringList said;
    const auto listen = [&] {
        QObject::connect(pKeeper.get(), &CUsageKeeper::AlertDue,
                         [&](int nPercent, const QString& strTitle, const QString& strText) {
                             said << QString::number(nPercent) + QLatin1Char('|') + strTitle +
                                         QLatin1Char('|') + strText;
                         });
    };
    listen();
    const auto reach = [&](int64_t nBytes) {
        clock.Pass(1);
        eth.nRecvBytes = nBytes;
        sampler.Sample();
    };
    reach(150'000'000);
    reach(165'000'000);
    EXPECT_TRUE(pKeeper->GetStore()->ReadUsage(ETier::Day, 0, Utc(2028, 1, 1)).empty());
    reach(198'000'000);
    ASSERT_EQ(said, QStringList({"75|Data plan 75 % used|75 % of your data plan used: 165.00 MB "
                                 "of 220.00 MB; 12 days left, through 2027-01-31.",
                                 "90|Data plan 90 % used|90 % of your data plan used: 198.00 MB "
                                 "of 220.00 MB; 12 days left, through 2027-01-31."}));
    pKeeper.reset();
    pKeeper = std::make_unique<CUsageKeeper>(sampler, clock, strPath);
    listen();
    reach(198'000'000);
    pKeeper->Flush();
    EXPECT_EQ(said.size(), 2);
    reach(220'000'000);
    ASSERT_EQ(said.size(), 3);
    EXPECT_EQ(said[2], "100|Data plan used up|Your data plan is used up: 220.00 MB of 220.00 MB; "
                       "12 days left, through 2027-01-31.");

    // February 20: a new cycle, crossed in one snapshot.
    clock.Pass(31 * 86400);
    reach(220'000'000 + 240'000'000);
    ASSERT_EQ(said.size(), 4);
    EXPECT_EQ(said[3], "100|Data plan used up|Your data plan is used up: 240.00 MB of 220.00 MB; "
                       "9 days left, through 2027-02-28.");
    pKeeper.reset();
    pKeeper = std::make_unique<CUsageKeeper>(sampler, clock, strPath);
    listen();
    reach(220'000'000 + 250'000'000);
    pKeeper->Flush();
    EXPECT_EQ(said.size(), 4);
    EXPECT_EQ(pKeeper->GetPlanStatus()->fired, (std::set<int>{75, 90, 100}));
    unsetenv("TZ");
    tzset();
}

} // namespace

#include "UsageGuiTest.moc"
