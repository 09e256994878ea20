// The Details window: sorting, rates, drops and the graph on a fake source, then live on two veth
// pairs with traffic of known sizes: rows against the kernel's counters, the devices before a
// Capture, ticking devices off and on, drops, and the settings file.

#include "DetailsDlg.h"
#include "AppTableModel.h"
#include "DeviceTableModel.h"
#include "GuiTest.h"
#include "RateGraph.h"
#include "TimedSampler.h"
#include "TrafficText.h"

#include <QFont>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using namespace orvektest;
using Clock = std::chrono::steady_clock;
using enum CDeviceTableModel::EColumn;

namespace {

using DetailsLive = CGuiTest;

struct CFakeSource : IDetailsSource {
    MeterSnapshot GetSnapshot() const override { return m_snapshot; }
    std::set<std::string> GetExcludedDevices() const override { return m_excluded; }
    void SetExcludedDevices(const std::set<std::string>& excluded) override {
        m_excluded = excluded;
    }
    std::map<std::string, std::string> GetTunnels() const override { return m_tunnels; }
    void SetTunnels(const std::map<std::string, std::string>& tunnels) override {
        m_tunnels = tunnels;
    }
    MeterSnapshot m_snapshot;
    std::set<std::string> m_excluded;
    std::map<std::string, std::string> m_tunnels;
};

std::string Text(const CDeviceTableModel& model, const std::string& strDevice, int nColumn,
                 int nRole = Qt::DisplayRole) {
    return model.index(model.FindRow(strDevice), nColumn).data(nRole).toString().toStdString();
}

void Tick(CDeviceTableModel& model, const std::string& strDevice, bool bCounted) {
    ASSERT_TRUE(model.setData(model.index(model.FindRow(strDevice), kColCounted),
                              bCounted ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole));
}

TEST(DetailsText, UnitsPerValueAndADecimalPointInACommaLocale) {
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    constexpr EByteUnits eBinary = EByteUnits::Binary, eDecimal = EByteUnits::Decimal;
    for (const auto& [strText, szWant] :
         {std::pair{RateText(1023, eBinary), "1023 B/s"},
          {RateText(1023.6, eBinary), "1.0 KiB/s"},
          {RateText(1536, eBinary), "1.5 KiB/s"},
          {RateText(1023.97 * 1024, eBinary), "1.0 MiB/s"},
          {RateText(1536, eDecimal), "1.5 kB/s"},
          {RateText(-1, eBinary), ""},
          {MegaUnitText(1572864, eBinary), "1.500"},
          {BytesText(1572864, eDecimal), "1.57 MB"},
          {WithMegaUnit("Sent (%1)", eDecimal), "Sent (MB)"},
          {WithMegaUnit("in %1", eBinary, true), "in MiB of 1,048,576 bytes"},
          {FormatCount(123456789), "123,456,789"}}) {
        EXPECT_EQ(strText.toStdString(), szWant);
    }
    QLocale::setDefault(previous);
}

// Applications largest first with their rates, the bytes not attributed after them in grey
// italics, exact bytes in the tooltips; the rows keep up as applications come.
TEST(DetailsApps, LargestFirstReasonsLastAndRated) {
    CFakeSource source;
    source.m_snapshot.apps = {{"not attributed: socket closed before it was seen", 4, 10, 20, 1},
                              {"small", 0, 100, 0, 1},
                              {"big", 0, 5000, 5000, 2}};
    CTimedSampler sampler(source);
    const Clock::time_point t0 = Clock::now();
    sampler.Sample(t0);
    CDetailsDlg dlg(source, sampler);
    dlg.show();
    const CAppTableModel& model = *dlg.GetAppModel();
    EXPECT_EQ(model.rowCount(), 0); // kept current only while its tab is shown
    dlg.GetTabs()->setCurrentWidget(dlg.GetAppTable());
    const auto text = [&](int nRow, int nColumn, int nRole = Qt::DisplayRole) {
        return model.index(nRow, nColumn).data(nRole).toString().toStdString();
    };
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(text(0, CAppTableModel::kColApp), "big");
    EXPECT_EQ(text(1, CAppTableModel::kColApp), "small");
    EXPECT_EQ(text(2, CAppTableModel::kColApp), "not attributed: socket closed before it was seen");
    EXPECT_TRUE(model.index(2, 0).data(Qt::FontRole).value<QFont>().italic());
    EXPECT_FALSE(model.index(0, 0).data(Qt::FontRole).isValid());
    EXPECT_EQ(text(0, CAppTableModel::kColSentRate), ""); // not known before a second sample
    EXPECT_EQ(text(0, CAppTableModel::kColRecv, Qt::ToolTipRole), "5,000 bytes");

    source.m_snapshot.apps[1].nSentBytes += 20480; // small overtakes big
    source.m_snapshot.apps.push_back({"new", 0, 0, 1024, 1});
    sampler.Sample(t0 + std::chrono::seconds(2));
    ASSERT_EQ(model.rowCount(), 4);
    EXPECT_EQ(text(0, CAppTableModel::kColApp), "small");
    EXPECT_EQ(text(0, CAppTableModel::kColSentRate), "10.0 KiB/s");
    EXPECT_EQ(text(0, CAppTableModel::kColConnections), "1");
    EXPECT_EQ(text(1, CAppTableModel::kColApp), "big");
    EXPECT_EQ(text(1, CAppTableModel::kColSentRate), "0 B/s");
    EXPECT_EQ(text(2, CAppTableModel::kColApp), "new");
    EXPECT_EQ(text(2, CAppTableModel::kColRecvRate), "512 B/s");
    EXPECT_EQ(text(3, CAppTableModel::kColSent), "0.000");

    // The same rows again: only the cells whose text changed are told (the view repaints those
    // alone), and a place another application took is told whole.
    QSignalSpy spy(&model, &QAbstractItemModel::dataChanged);
    source.m_snapshot.apps[2].nRecvBytes += 1024; // big: its received bytes and rate
    sampler.Sample(t0 + std::chrono::seconds(3));
    const auto told = [&] {
        std::vector<std::string> ranges;
        for (const QList<QVariant>& args : spy) {
            const auto from = args[0].value<QModelIndex>(), to = args[1].value<QModelIndex>();
            ranges.push_back(std::to_string(from.row()) + "," + std::to_string(from.column()) +
                             "-" + std::to_string(to.row()) + "," + std::to_string(to.column()) +
                             (args[2].value<QList<int>>().isEmpty() ? " all" : ""));
        }
        spy.clear();
        return ranges;
    };
    // Rates of every row went to 0 B/s, but for big's received; small and new were 0 already.
    EXPECT_EQ(told(), (std::vector<std::string>{"0,3-0,3", "1,2-1,4", "2,4-2,4"}));
    EXPECT_EQ(text(1, CAppTableModel::kColRecv), "0.006");
    EXPECT_EQ(text(1, CAppTableModel::kColRecvRate), "1.0 KiB/s");
    source.m_snapshot.apps[3].nRecvBytes += 15000; // new overtakes big
    sampler.Sample(t0 + std::chrono::seconds(4));
    EXPECT_EQ(told(), (std::vector<std::string>{"1,0-2,5 all"}));
    EXPECT_EQ(text(1, CAppTableModel::kColApp), "new");
    EXPECT_EQ(text(2, CAppTableModel::kColRecv), "0.006");
}

// A desktop application and a program of the user's with desktop entries show the name every
// other view shows (the id), with the entry's name (in the locale's language) in the tooltip and
// its icon; applications without one their id and a generic icon; rows of reasons no icon.
TEST(DetailsApps, DesktopEntriesNameAndIconTheirApplications) {
    char szDir[] = "/tmp/orvek-xdg-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    const std::string strDir = szDir;
    std::filesystem::create_directories(strDir + "/applications");
    QImage red(4, 4, QImage::Format_RGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(QString::fromStdString(strDir + "/maps.png")));
    std::ofstream(strDir + "/applications/org.example.Maps.desktop")
        << "[Desktop Entry]\nName=Maps\nName[de]=Karten\nIcon=" << strDir << "/maps.png\n";
    std::ofstream(strDir + "/applications/nginx.service.desktop") << "[Desktop Entry]\nName=No\n";
    setenv("XDG_DATA_HOME", szDir, 1);
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    CFakeSource source;
    source.m_snapshot.apps = {{"org.example.Maps", 0, 300, 0, 1, uint32_t(EAppKind::DesktopApp)},
                              {"nginx.service", 0, 200, 0, 1, uint32_t(EAppKind::Group)},
                              {"curl", 0, 100, 0, 1, uint32_t(EAppKind::Executable)},
                              {"not attributed: IP fragments", 2, 10, 0, 0}};
    CTimedSampler sampler(source);
    sampler.Sample(Clock::now());
    CDetailsDlg dlg(source, sampler);
    dlg.show();
    dlg.GetTabs()->setCurrentWidget(dlg.GetAppTable()); // its rows are kept only while shown
    unsetenv("XDG_DATA_HOME");
    unsetenv("LC_ALL");
    std::filesystem::remove_all(strDir); // what was shown stays as it was found
    const CAppTableModel& model = *dlg.GetAppModel();
    const auto text = [&](int nRow, int nRole = Qt::DisplayRole) {
        return model.index(nRow, CAppTableModel::kColApp).data(nRole).toString().toStdString();
    };
    const auto icon = [&](int nRow) {
        return model.index(nRow, CAppTableModel::kColApp).data(Qt::DecorationRole).value<QIcon>();
    };
    ASSERT_EQ(model.rowCount(), 4);
    EXPECT_EQ(text(0), "org.example.Maps");
    EXPECT_EQ(text(0, Qt::ToolTipRole), "org.example.Maps (Karten)");
    EXPECT_EQ(icon(0).pixmap(4, 4).toImage().pixelColor(0, 0), QColor(Qt::red));
    EXPECT_EQ(text(1), "nginx.service"); // a unit is no desktop id
    EXPECT_EQ(text(2), "curl");
    EXPECT_EQ(text(2, Qt::ToolTipRole), "curl");
    EXPECT_FALSE(icon(1).isNull());
    EXPECT_FALSE(icon(2).isNull());
    EXPECT_NE(icon(2).pixmap(4, 4).toImage().pixelColor(0, 0), QColor(Qt::red));
    EXPECT_FALSE(model.index(3, CAppTableModel::kColApp).data(Qt::DecorationRole).isValid());
}

// Rows by total, rates over the time between samples, drops only since Capture, and the selected
// row following its device when the order changes.
TEST(DetailsTable, SortedRatedAndMarked) {
    CFakeSource source;
    std::vector<DeviceSnapshot>& devices = source.m_snapshot.devices;
    // Name, state, capturing, sent and received bytes and packets, drops, kind.
    devices = {{"small", EDeviceState::Capturing, true, 100, 0, 0, 0, 0, ""},
               {"big", EDeviceState::Capturing, true, 5000, 5000, 0, 0, 0, ""},
               {"mid", EDeviceState::Capturing, true, 2000, 0, 0, 0, 5, ""}};
    CTimedSampler sampler(source);
    const Clock::time_point t0 = Clock::now();
    sampler.Sample(t0);
    CDetailsDlg dlg(source, sampler);
    dlg.show();
    const CDeviceTableModel& model = *dlg.GetModel();
    const auto rows = [&] {
        return std::vector{model.FindRow("big"), model.FindRow("mid"), model.FindRow("small")};
    };
    EXPECT_EQ(rows(), (std::vector{0, 1, 2}));

    devices[1].nRecvBytes += 4096;
    sampler.MarkCapture();
    devices[2].nDrops = 12;
    sampler.Sample(t0 + std::chrono::seconds(2));
    EXPECT_EQ(Text(model, "big", kColRecvRate), "2.0 KiB/s");
    EXPECT_EQ(Text(model, "big", kColSentRate), "0 B/s");
    EXPECT_EQ(Text(model, "mid", kColDrops), "7");

    dlg.GetTable()->selectRow(model.FindRow("mid"));
    devices[0].nSentBytes = 1000000;
    sampler.Sample(t0 + std::chrono::seconds(3));
    EXPECT_EQ(rows(), (std::vector{1, 2, 0}));
    EXPECT_EQ(dlg.GetTable()->currentIndex().row(), model.FindRow("mid"));
}

// Switched to decimal units, every header, cell and tooltip of the devices, the applications and
// the graph speaks kB, MB and GB, none KiB or MiB; switched back, the other way round.
TEST(DetailsTable, OneFamilyOfUnitsInEveryHeaderCellAndTooltip) {
    CFakeSource source;
    source.m_snapshot.devices = {{"eth0", EDeviceState::Capturing, true, 3'000'000, 1'000'000}};
    source.m_snapshot.apps = {{"curl", 0, 2'000'000, 1'000'000, 1}};
    CTimedSampler sampler(source);
    const Clock::time_point t0 = Clock::now();
    sampler.Sample(t0);
    source.m_snapshot.devices[0].nRecvBytes += 3'000'000;
    source.m_snapshot.apps[0].nRecvBytes += 3'000'000;
    sampler.Sample(t0 + std::chrono::seconds(1));
    CDetailsDlg dlg(source, sampler);
    dlg.show();
    dlg.GetTabs()->setCurrentWidget(dlg.GetAppTable());
    CRateGraph& graph = *dlg.GetGraph();
    // Every text the tables show or tell, and the graph's text under the pointer.
    const auto texts = [&] {
        QStringList all;
        for (const QAbstractItemModel* pModel :
             {static_cast<const QAbstractItemModel*>(dlg.GetModel()),
              static_cast<const QAbstractItemModel*>(dlg.GetAppModel())}) {
            for (int nColumn = 0; nColumn < pModel->columnCount(); ++nColumn) {
                for (const int nRole : {Qt::DisplayRole, Qt::ToolTipRole}) {
                    all.append(pModel->headerData(nColumn, Qt::Horizontal, nRole).toString());
                    all.append(pModel->index(0, nColumn).data(nRole).toString());
                }
            }
        }
        // On its hidden tab: sized, painted and pointed at directly.
        graph.resize(640, 220);
        graph.grab();
        const QPointF point = graph.GetPlotRect().topRight() + QPointF(0, 5); // the newest
        QMouseEvent move(QEvent::MouseMove, point, graph.mapToGlobal(point), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&graph, &move);
        all.append(graph.GetHoverText());
        return all.join(QLatin1Char('\n')).toStdString();
    };
    const std::regex binary(R"(\b[KMGT]iB)"), decimal(R"(\b(kB|MB|GB)\b)");
    EXPECT_TRUE(std::regex_search(texts(), binary)) << texts();
    EXPECT_FALSE(std::regex_search(texts(), decimal)) << texts();
    dlg.SetUnits(EByteUnits::Decimal);
    EXPECT_FALSE(std::regex_search(texts(), binary)) << texts();
    EXPECT_EQ(Text(*dlg.GetModel(), "eth0", kColRecv), "4.000");
    EXPECT_EQ(Text(*dlg.GetModel(), "eth0", kColRecvRate), "3.0 MB/s");
    EXPECT_EQ(dlg.GetModel()->headerData(kColSent, Qt::Horizontal).toString().toStdString(),
              "Sent (MB)");
    EXPECT_EQ(dlg.GetAppModel()->index(0, CAppTableModel::kColRecv).data().toString(),
              QStringLiteral("4.000"));
    EXPECT_TRUE(graph.GetHoverText().endsWith(QStringLiteral("received 3.0 MB/s, sent 0 B/s")))
        << graph.GetHoverText().toStdString();
    dlg.SetUnits(EByteUnits::Binary);
    EXPECT_FALSE(std::regex_search(texts(), decimal)) << texts();
    EXPECT_EQ(Text(*dlg.GetModel(), "eth0", kColRecv), "3.815");
}

// Two devices: the table is as high as its rows and the graph has the rest. Forty: the table
// takes at most three fifths and scrolls.
TEST(DetailsTable, SplitterFollowsTheRows) {
    CFakeSource source;
    source.m_snapshot.devices = {{"eth0", EDeviceState::Capturing, true, 0, 0, 0, 0, 0, ""},
                                 {"lo", EDeviceState::Capturing, true, 0, 0, 0, 0, 0, ""}};
    CTimedSampler sampler(source);
    const Clock::time_point t0 = Clock::now();
    sampler.Sample(t0);
    CDetailsDlg dlg(source, sampler);
    dlg.resize(720, 520);
    dlg.show();
    QTableView* pTable = dlg.GetTable();
    const int nRow = pTable->verticalHeader()->defaultSectionSize();
    ASSERT_EQ(dlg.GetModel()->rowCount(), 2);
    EXPECT_GE(pTable->viewport()->height(), 2 * nRow);
    EXPECT_LT(pTable->viewport()->height(), 3 * nRow);
    EXPECT_GT(dlg.GetGraph()->height(), 2 * pTable->height());

    for (int n = 0; n < 40; ++n) {
        source.m_snapshot.devices.push_back(
            {"veth" + std::to_string(n), EDeviceState::Capturing, true, 0, 0, 0, 0, 0, ""});
    }
    sampler.Sample(t0 + std::chrono::seconds(1));
    const int nTotal = pTable->height() + dlg.GetGraph()->height();
    EXPECT_LE(pTable->height(), nTotal * 3 / 5);
    EXPECT_GT(pTable->height(), nTotal / 2);
}

// After a burst of 2.7 GiB/s, a stream of 5 MB/s lies flat on the linear axis but stands well
// clear of the bottom on the logarithmic one; the point under the pointer tells its time and
// rates.
TEST(DetailsGraph, LogarithmicScaleKeepsSmallRatesVisibleAndThePointerReadsThem) {
    CFakeSource source;
    source.m_snapshot.devices = {{"eth0", EDeviceState::Capturing, true}};
    CTimedSampler sampler(source);
    Clock::time_point t = Clock::now();
    sampler.Sample(t);
    for (int n = 0; n < 120; ++n) {
        source.m_snapshot.devices[0].nRecvBytes += n < 10 ? 2'900'000'000 : 5'000'000;
        sampler.Sample(t += std::chrono::seconds(1));
    }
    CRateGraph graph(sampler);
    graph.resize(640, 220);
    graph.show();
    // The highest line's height at the newest point, 0 (bottom) to 1 (top), from the pixels: the
    // first coloured one from the top (the grid is grey).
    const auto newestHeight = [&] {
        const QImage image = graph.grab().toImage();
        const QRectF rcPlot = graph.GetPlotRect();
        const int nX = static_cast<int>(rcPlot.right()) - 2;
        for (int nY = static_cast<int>(rcPlot.top()) + 1; nY <= rcPlot.bottom(); ++nY) {
            const QColor color = image.pixelColor(nX, nY);
            if (std::max({color.red(), color.green(), color.blue()}) -
                    std::min({color.red(), color.green(), color.blue()}) >
                60) {
                return (rcPlot.bottom() - nY) / rcPlot.height();
            }
        }
        return -1.0;
    };
    const double dLinear = newestHeight();
    EXPECT_TRUE(dLinear >= 0 && dLinear < 0.02) << dLinear;
    QSignalSpy spy(&graph, &CRateGraph::LogarithmicChanged);
    graph.findChild<QCheckBox*>("IDC_LOG_SCALE")->click();
    EXPECT_EQ(spy.count(), 1);
    EXPECT_GT(newestHeight(), 0.4);

    const QRectF rcPlot = graph.GetPlotRect();
    const double dStep = rcPlot.width() / (CTimedSampler::kHistoryPoints - 1);
    // Points lie less than a pixel apart: in the burst, any of the pointer's neighbours will do.
    for (const auto& [nAgo, szText] :
         {std::pair{0, "now: received 4.8 MiB/s, sent 0 B/s"},
          std::pair{115, " s ago: received 2765.7 MiB/s, sent 0 B/s"}}) {
        QTest::mouseMove(&graph, QPoint(static_cast<int>(rcPlot.right() - nAgo * dStep),
                                        static_cast<int>(rcPlot.center().y())));
        EXPECT_TRUE(graph.GetHoverText().endsWith(QLatin1String(szText)))
            << graph.GetHoverText().toStdString();
    }
}

// With no filter, everything the links carry: the datagrams and the kernel's ICMP answers.
TEST_F(DetailsLive, RowsEqualWhatEachDeviceCarriedByteForByte) {
    const CDeviceTableModel& model = *m_pDlg->OpenDetails()->GetModel();
    const IfCounters base0 = ReadCounters("orv0"), base2 = ReadCounters("orv2");
    Filter()->clear();
    Capture();
    m_peer.RunIn([] {
        SendUdp("10.79.0.2", "10.79.0.1", 7001, 1000, 40);
        SendUdp("10.79.1.2", "10.79.1.1", 7001, 1400, 7);
    });
    SendUdp("10.79.0.1", "10.79.0.2", 7001, 300, 10);
    SendUdp("10.79.1.1", "10.79.1.2", 7001, 600, 25);
    // Each row's exact bytes (in the tooltips) against what the kernel counted.
    for (const auto& [szDevice, base] : {std::pair{"orv0", base0}, {"orv2", base2}}) {
        for (const auto& [nColumn, bSent] : {std::pair{kColSent, true}, {kColRecv, false}}) {
            const auto carried = [&] {
                return FormatCount(NetworkBytesSince(szDevice, base, bSent)).toStdString() +
                       " bytes";
            };
            Serve([&] { return Text(model, szDevice, nColumn, Qt::ToolTipRole) == carried(); });
            EXPECT_EQ(Text(model, szDevice, nColumn, Qt::ToolTipRole), carried()) << szDevice;
        }
    }
}

// Unticked, a device is closed and counts nothing more, its earlier bytes staying in the totals.
// That choice, the filter and promiscuous choice of the last Capture and the Details window's
// place and scale and the family of units come back in the next run; ticked again, the device is
// opened and counts. So does the user's word that a device is a tunnel over another, until it is
// taken back: the tunnel's traffic is shown apart from the totals.
TEST_F(DetailsLive, UntickedDevicesAndTheSettingsComeBackTickingReopens) {
    Filter()->setText("udp");
    Promiscuous()->setChecked(true);
    CDeviceTableModel* pModel = m_pDlg->OpenDetails()->GetModel();
    m_pDlg->OpenDetails()->resize(700, 500);
    Capture();
    const auto recvOn2 = [&](size_t nCount) {
        m_peer.RunIn([=] { SendUdp("10.79.1.2", "10.79.1.1", 7001, 500, nCount); });
    };
    const auto recvBytes = [&](const char* szDevice) {
        return Text(*pModel, szDevice, kColRecv, Qt::ToolTipRole);
    };
    recvOn2(4);
    ASSERT_TRUE(Serve([&] { return recvBytes("orv2") == "2,112 bytes"; }));
    Tick(*pModel, "orv2", false);
    ASSERT_TRUE(Serve([&] { return !IsOpen("orv2"); }));
    recvOn2(10);
    // orv0 counting a datagram sent after them shows that it still counts, and that orv2's have had
    // time to be counted.
    m_peer.RunIn([] { SendUdp("10.79.0.2", "10.79.0.1", 7001, 100, 1); });
    ASSERT_TRUE(Serve([&] { return recvBytes("orv0") == "128 bytes"; }));
    EXPECT_EQ(recvBytes("orv2"), "2,112 bytes");
    EXPECT_EQ(m_pDlg->GetMeter().GetRecvBytes(), 4 * 528 + 128);

    m_pDlg->OpenDetails()->GetGraph()->findChild<QCheckBox*>("IDC_LOG_SCALE")->click();
    const auto sentHeader = [&] {
        return m_pDlg->OpenDetails()
            ->GetModel()
            ->headerData(kColSent, Qt::Horizontal)
            .toString()
            .toStdString();
    };
    {
        const std::unique_ptr<QMenu> pMenu = m_pDlg->CreateContextMenu(); // a child of the window
        for (QAction* pAction : pMenu->findChildren<QAction*>()) {
            if (pAction->text().startsWith(QLatin1String("&Decimal"))) {
                pAction->trigger();
            }
        }
    }
    EXPECT_EQ(sentHeader(), "Sent (MB)");
    m_pDlg->close();
    Restart();
    EXPECT_EQ(Filter()->text().toStdString(), "udp");
    EXPECT_TRUE(Promiscuous()->isChecked());
    pModel = m_pDlg->OpenDetails()->GetModel();
    EXPECT_EQ(m_pDlg->OpenDetails()->size(), QSize(700, 500));
    EXPECT_TRUE(m_pDlg->OpenDetails()->GetGraph()->IsLogarithmic());
    // The menu's family of units is kept; the command line's holds for its run alone.
    EXPECT_EQ(m_pDlg->GetUnits(), EByteUnits::Decimal);
    EXPECT_EQ(sentHeader(), "Sent (MB)");
    m_pDlg->SetUnits(EByteUnits::Binary, false);
    EXPECT_EQ(sentHeader(), "Sent (MiB)");
    Capture();
    // Start opens the devices before it returns.
    EXPECT_FALSE(IsOpen("orv2"));
    ASSERT_TRUE(Serve([&] { return pModel->FindRow("orv2") >= 0; }));
    Tick(*pModel, "orv2", true);
    ASSERT_TRUE(Serve([&] { return IsOpen("orv2"); }));
    recvOn2(10);
    EXPECT_TRUE(Serve([&] { return recvBytes("orv2") == "5,280 bytes"; }));

    // Said to be a tunnel over orv0 in the devices' menu, orv2 stays open and is shown so, also
    // after a restart: its traffic shows as its inner traffic, in no total, its overhead unknown
    // (nothing tells its outer packets); no longer a tunnel, it counts again.
    const auto choose = [&](const char* szAction) {
        CDetailsDlg* pDetails = m_pDlg->OpenDetails();
        const auto pMenu = pDetails->CreateDeviceMenu(pDetails->GetModel()->FindRow("orv2"));
        ASSERT_TRUE(pMenu);
        for (QAction* pAction : pMenu->findChildren<QAction*>()) {
            if (pAction->text() == QLatin1String(szAction)) {
                return pAction->trigger();
            }
        }
        ADD_FAILURE() << "no action " << szAction;
    };
    const auto shownAsTunnel = [&] {
        return Text(*m_pDlg->OpenDetails()->GetModel(), "orv2", kColState) ==
               "carried inside orv0 (set by the user)";
    };
    const auto innerTip = [&] {
        return Text(*m_pDlg->OpenDetails()->GetModel(), "orv2", kColRecv, Qt::ToolTipRole);
    };
    // Captured as a tunnel: its datagrams show as its inner traffic and add to no total (as do
    // this host's port-unreachable answers, which the filter does not take from a tunnel).
    const auto innerShown = [&](const char* szRecv) {
        return Serve([&] { return innerTip().find(szRecv) != std::string::npos; });
    };
    choose("orv0");
    EXPECT_TRUE(Serve(shownAsTunnel));
    const int64_t nTotal = m_pDlg->GetMeter().GetRecvBytes();
    recvOn2(2);
    EXPECT_TRUE(innerShown(" bytes sent, 1,056 received")) << innerTip();
    EXPECT_EQ(Text(*m_pDlg->OpenDetails()->GetModel(), "orv2", kColOverhead), "unknown");
    EXPECT_EQ(m_pDlg->GetMeter().GetRecvBytes(), nTotal);
    EXPECT_FALSE(IsOpen("orv2")); // not counting
    m_pDlg->close();
    Restart();
    EXPECT_EQ(m_pDlg->GetUnits(), EByteUnits::Decimal);
    Capture();
    EXPECT_TRUE(Serve(shownAsTunnel));
    recvOn2(1);
    EXPECT_TRUE(innerShown(" bytes sent, 528 received")) << innerTip();
    // Said to be no tunnel it counts, and that is kept for Orvek's detection to heed; left to
    // Orvek again, no exclusion and no tunnel is no key, not an invalid value.
    const auto settingsFile = [&] {
        std::ostringstream file;
        file << std::ifstream(m_dirSettings.filePath("Orvek/Orvek.conf").toStdString()).rdbuf();
        return file.str();
    };
    choose("&Not a tunnel");
    EXPECT_TRUE(Serve([&] { return IsOpen("orv2"); }));
    EXPECT_NE(settingsFile().find("tunnels=\"orv2=\""), std::string::npos) << settingsFile();
    choose("&Automatic");
    EXPECT_EQ(settingsFile().find("excluded"), std::string::npos) << settingsFile();
    EXPECT_EQ(settingsFile().find("tunnels"), std::string::npos) << settingsFile();
}

// Before any Capture the window lists the devices, loopback without a box, in columns that fit
// them at once; excluding both veths there and capturing says that nothing is counted and how to
// change it. Ticked again, a device counts; gone, it keeps its kind and loses its box.
TEST_F(DetailsLive, DevicesBeforeCaptureNothingCapturedSaidAndRowsThatCannotCount) {
    const QTableView& table = *m_pDlg->OpenDetails()->GetTable();
    CDeviceTableModel& model = *m_pDlg->OpenDetails()->GetModel();
    // Listed by the helper while the window opened, and shown at the next sample.
    EXPECT_TRUE(Serve([&] { return Text(model, "orv0", kColState) == "ready"; }));
    const QAbstractItemView& view = table;
    for (const int nColumn : {kColDevice, kColKind}) {
        EXPECT_EQ(table.columnWidth(nColumn),
                  std::max(view.sizeHintForColumn(nColumn),
                           table.horizontalHeader()->sectionSizeHint(nColumn)))
            << nColumn;
    }
    const auto hasBox = [&](const char* szDevice) {
        const QModelIndex index = model.index(model.FindRow(szDevice), kColCounted);
        return index.data(Qt::CheckStateRole).isValid() &&
               (model.flags(index) & Qt::ItemIsUserCheckable) != 0;
    };
    EXPECT_TRUE(hasBox("orv0"));
    EXPECT_FALSE(hasBox("lo"));
    Tick(model, "orv0", false);
    Tick(model, "orv2", false);
    ASSERT_TRUE(Serve([&] { return Text(model, "orv2", kColState) == "excluded"; }));
    CModalCollector modals;
    Capture();
    ASSERT_TRUE(Serve([&] { return !modals.m_modals.empty(); }));
    const QStringList& texts = modals.m_modals.front();
    EXPECT_EQ(texts.value(0).toStdString(), "Orvek");
    EXPECT_TRUE(texts.contains("No device is captured, so nothing is counted: orv0 and orv2 are "
                               "excluded. To count a device, tick its Counted box in the Details "
                               "window (right-click this window, Details...)."))
        << texts.join('|').toStdString();
    EXPECT_TRUE(IsCapturing());
    Tick(model, "orv2", true);
    ASSERT_TRUE(Serve([&] { return Text(model, "orv2", kColState) == "capturing"; }));
    Sh("ip link del orv2");
    ASSERT_TRUE(Serve([&] { return Text(model, "orv2", kColState) == "gone"; }));
    EXPECT_EQ(Text(model, "orv2", kColKind), "virtual");
    EXPECT_FALSE(hasBox("orv2"));
}

// Bursts while the helper is stopped overflow its ring: the kernel drops, the row is marked and
// says how many, and the counters' tooltips call the totals lower bounds by as many packets.
TEST_F(DetailsLive, DropsAreMarkedAndTheTotalsCalledLowerBounds) {
    const CDeviceTableModel& model = *m_pDlg->OpenDetails()->GetModel();
    Capture();
    const pid_t nHelper = m_pDlg->GetMeter().GetHelperPid();
    ASSERT_GT(nHelper, 0);
    const auto drops = [&] { return Text(model, "orv0", kColDrops); };
    // "" until orv0 has a row, then "0" until the kernel drops.
    for (int nBurst = 0; nBurst < 20 && !Serve([&] { return drops() > "0"; }, 1500); ++nBurst) {
        kill(nHelper, SIGSTOP);
        m_peer.RunIn([] { SendUdp("10.79.0.2", "10.79.0.1", 7001, 1400, 20000); });
        kill(nHelper, SIGCONT);
    }
    EXPECT_TRUE(Serve([&] {
        return RecvCounter()->toolTip().contains(QString::fromStdString(
            "dropped " + drops() + " packets since Capture: the totals are lower bounds"));
    })) << RecvCounter()->toolTip().toStdString();
    EXPECT_TRUE(model.index(model.FindRow("orv0"), kColDevice).data(Qt::DecorationRole).isValid());
    EXPECT_FALSE(model.index(model.FindRow("orv2"), kColDevice).data(Qt::DecorationRole).isValid());
}

// A settings file that cannot be read (a folder in its place), a folder where it cannot be
// written (under /proc, which refuses even root), or a damaged file: the first start's choices,
// the window works, and the problem is said once on standard error and once in a box that does
// not wait. The damaged file is kept aside as it was, not overwritten.
TEST_F(DetailsLive, UnusableSettingsGiveDefaultsAndOneMessage) {
    std::filesystem::create_directories(m_dirSettings.filePath("Orvek/Orvek.conf").toStdString());
    const std::string strDamaged = m_dirSettings.filePath("damaged/Orvek").toStdString();
    const std::string strDamagedText = "[capture]\nfilter=udp\n[devices\nexcluded=orv0\n";
    std::filesystem::create_directories(strDamaged);
    std::ofstream(strDamaged + "/Orvek.conf") << strDamagedText;
    for (const QString& strDir : {m_dirSettings.path(), QStringLiteral("/proc/self/fdinfo"),
                                  m_dirSettings.filePath("damaged")}) {
        SCOPED_TRACE(strDir.toStdString());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, strDir);
        testing::internal::CaptureStderr();
        Restart();
        EXPECT_EQ(Filter()->text().toStdString(), "tcp or udp");
        EXPECT_FALSE(Promiscuous()->isChecked());
        Capture();
        EXPECT_TRUE(IsOpen("orv0"));
        ASSERT_TRUE(Serve([&] {
            const auto* pBox = m_pDlg->findChild<QMessageBox*>("IDD_SETTINGS_PROBLEM");
            return pBox != nullptr && pBox->isVisible() && !pBox->isModal();
        }));
        const std::string strShown =
            m_pDlg->findChild<QMessageBox*>("IDD_SETTINGS_PROBLEM")->text().toStdString();
        EXPECT_EQ(m_pDlg->findChildren<QMessageBox*>().size(), 1);
        m_pDlg->OpenDetails()->close();
        m_pDlg.reset();
        const std::string strErr = testing::internal::GetCapturedStderr();
        // Qt's offscreen platform has its own lines to say.
        EXPECT_EQ(QString::fromStdString(strErr).count("orvek: "), 1) << strErr;
        EXPECT_NE(strErr.find("orvek: " + strShown + "\n"), std::string::npos) << strErr;
        EXPECT_NE(strShown.find("settings file"), std::string::npos) << strShown;
    }
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(strDamaged)) {
        files.push_back(entry.path().filename().string());
    }
    std::ranges::sort(files);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0], "Orvek.conf");
    EXPECT_TRUE(std::regex_match(files[1], std::regex(R"(Orvek\.conf\.bad-\d{8}-\d{6})")))
        << files[1];
    std::ostringstream kept;
    kept << std::ifstream(strDamaged + "/" + files[1]).rdbuf();
    EXPECT_EQ(kept.str(), strDamagedText);
}

} // namespace
