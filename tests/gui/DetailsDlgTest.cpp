// The Details window: its texts and table on a fake source, then live in this process's private
// namespace on two veth pairs with traffic of known sizes: rows against the kernel's counters,
// rates against a paced sender, ticking devices off and on, drops, and the settings file.

#include "DetailsDlg.h"
#include "Adapter.h"
#include "AdapterManager.h"
#include "DeviceTableModel.h"
#include "NetNs.h"
#include "OrvekDlg.h"
#include "RateGraph.h"
#include "TempSettings.h"
#include "TrafficSampler.h"
#include "TrafficText.h"

#include <QTest>
#include <QtWidgets>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace orvektest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kKiB = 1024, kMiB = 1024 * 1024;

class CFakeSource : public IDetailsSource {
public:
    // User-interface thread, as the window calls them.
    MeterSnapshot GetSnapshot() const override { return m_snapshot; }
    std::set<std::string> GetExcludedDevices() const override { return m_excluded; }
    void SetExcludedDevices(const std::set<std::string>& excluded) override {
        m_excluded = excluded;
    }

    DeviceSnapshot& Add(const std::string& strName, int64_t nSent, int64_t nRecv) {
        DeviceSnapshot& device = m_snapshot.devices.emplace_back();
        device.strName = strName;
        device.strState = "capturing";
        device.nSentBytes = nSent;
        device.nRecvBytes = nRecv;
        return device;
    }
    DeviceSnapshot& Get(const std::string& strName) {
        return *std::ranges::find(m_snapshot.devices, strName, &DeviceSnapshot::strName);
    }

    MeterSnapshot m_snapshot;
    std::set<std::string> m_excluded;
};

QVariant Cell(const CDeviceTableModel& model, const std::string& strDevice, int nColumn,
              int nRole = Qt::DisplayRole) {
    const int nRow = model.FindRow(strDevice);
    return nRow < 0 ? QVariant() : model.data(model.index(nRow, nColumn), nRole);
}

std::vector<std::string> RowNames(const CDeviceTableModel& model) {
    std::vector<std::string> names;
    for (int nRow = 0; nRow < model.rowCount(); ++nRow) {
        names.push_back(
            model.index(nRow, CDeviceTableModel::kColDevice).data().toString().toStdString());
    }
    return names;
}

TEST(DetailsText, UnitsChosenPerValueWithADecimalPointInAnyLocale) {
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    for (const auto& [dRate, szText] : {std::pair{0.0, "0 B/s"},
                                        {1023.0, "1023 B/s"},
                                        {1023.6, "1.0 KiB/s"},
                                        {1536.0, "1.5 KiB/s"},
                                        {1023.97 * kKiB, "1.0 MiB/s"},
                                        {3 * kMiB, "3.0 MiB/s"},
                                        {-1.0, ""}}) {
        EXPECT_EQ(FormatRate(dRate).toStdString(), szText) << dRate;
    }
    EXPECT_EQ(FormatMebibytes(1048576).toStdString(), "1.000");
    EXPECT_EQ(FormatMebibytes(1572864).toStdString(), "1.500");
    for (const auto& [nCount, szText] : {std::pair<int64_t, const char*>{0, "0"},
                                         {999, "999"},
                                         {1000, "1,000"},
                                         {1234567, "1,234,567"}}) {
        EXPECT_EQ(FormatCount(nCount).toStdString(), szText);
    }
    QLocale::setDefault(previous);
    // The graph's scale: round numbers in the unit that shows them, at least 1 KiB/s.
    for (const auto& [dPeak, dTop] :
         {std::pair{0.0, kKiB}, {1500.0, 2 * kKiB}, {900 * kKiB, kMiB}, {3 * kMiB, 5 * kMiB}}) {
        EXPECT_EQ(CRateGraph::ScaleTop(dPeak), dTop) << dPeak;
    }
}

// Rows by total, rates from two samples and the time between them, drops only since Capture,
// the current row following its device when the order changes, and the Counted column.
TEST(DetailsTable, SortedRatedMarkedAndTickable) {
    CFakeSource source;
    source.Add("small", 100, 0);
    source.Add("big", 5000, 5000);
    source.Add("mid", 2000, 0).nDrops = 5;
    source.Add("old", 0, 0).strState = "gone";
    CTrafficSampler sampler(source);
    const Clock::time_point t0 = Clock::now();
    sampler.Sample(t0);
    CDetailsDlg dlg(source, sampler);
    dlg.show();
    const CDeviceTableModel& model = *dlg.GetModel();
    EXPECT_EQ(RowNames(model), (std::vector<std::string>{"big", "mid", "small", "old"}));
    EXPECT_FALSE(dlg.isModal());
    EXPECT_LT(dlg.minimumSize().width(), dlg.maximumSize().width());

    source.Get("big").nRecvBytes += 4096;
    sampler.MarkCapture();
    source.Get("mid").nDrops = 12;
    sampler.Sample(t0 + 2s);
    EXPECT_EQ(Cell(model, "big", CDeviceTableModel::kColRecvRate).toString(), "2.0 KiB/s");
    EXPECT_EQ(Cell(model, "big", CDeviceTableModel::kColSentRate).toString(), "0 B/s");
    EXPECT_EQ(Cell(model, "big", CDeviceTableModel::kColRecv, Qt::ToolTipRole).toString(),
              "9,096 bytes");
    EXPECT_EQ(sampler.GetLatest().dRecvRate, 2048);
    EXPECT_EQ(Cell(model, "mid", CDeviceTableModel::kColDrops).toString(), "7");
    EXPECT_TRUE(Cell(model, "mid", CDeviceTableModel::kColDevice, Qt::DecorationRole).isValid());
    EXPECT_TRUE(Cell(model, "mid", CDeviceTableModel::kColDevice, Qt::ToolTipRole)
                    .toString()
                    .contains("dropped 7 packets"));
    EXPECT_FALSE(Cell(model, "big", CDeviceTableModel::kColDevice, Qt::DecorationRole).isValid());

    QTableView& table = *dlg.GetTable();
    table.selectRow(model.FindRow("mid"));
    source.Get("small").nSentBytes = 1000000;
    sampler.Sample(t0 + 3s);
    EXPECT_EQ(RowNames(model), (std::vector<std::string>{"small", "big", "mid", "old"}));
    EXPECT_EQ(table.currentIndex().row(), model.FindRow("mid"));
    EXPECT_EQ(Cell(model, "small", CDeviceTableModel::kColSent).toString(), "0.954");

    const QModelIndex counted = model.index(model.FindRow("mid"), CDeviceTableModel::kColCounted);
    EXPECT_EQ(counted.data(Qt::CheckStateRole).toInt(), Qt::Checked);
    ASSERT_TRUE(dlg.GetModel()->setData(counted, Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_EQ(source.m_excluded, std::set<std::string>{"mid"});
    EXPECT_EQ(counted.data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
    ASSERT_TRUE(dlg.GetModel()->setData(counted, Qt::Checked, Qt::CheckStateRole));
    EXPECT_TRUE(source.m_excluded.empty());
}

// Two veth pairs to one peer namespace: orv0 10.79.0.1 - orv1 10.79.0.2 and orv2 10.79.1.1 -
// orv3 10.79.1.2. Each test makes its main window (and so its meter) itself.
class DetailsLive : public testing::Test {
protected:
    void SetUp() override {
        MakeVethPair(m_peer, {"orv0", "10.79.0.1", ""}, {"orv1", "10.79.0.2", ""});
        MakeVethPair(m_peer, {"orv2", "10.79.1.1", ""}, {"orv3", "10.79.1.2", ""});
    }
    void TearDown() override {
        m_pDlg.reset();
        EXPECT_TRUE(CAdapterManager::GetInstance()->GetAdapterStates().empty());
        Sh("ip link del orv0");
        Sh("ip link del orv2");
    }
    COrvekDlg& MakeDialog() {
        m_pDlg = std::make_unique<COrvekDlg>();
        m_pDlg->show();
        return *m_pDlg;
    }
    void Capture() {
        m_pDlg->findChild<QPushButton*>("IDC_CAPTURE")->click();
        ASSERT_TRUE(m_pDlg->findChild<QPushButton*>("IDC_STOP")->isEnabled());
    }
    // Waits, serving the window, until pred holds.
    static bool Serve(const std::function<bool()>& pred, int nTimeoutMs = 20000) {
        return WaitUntil(
            [&] {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
                return pred();
            },
            nTimeoutMs);
    }
    // The meter's view of a device now.
    DeviceSnapshot Device(const std::string& strName) const {
        const MeterSnapshot snapshot = m_pDlg->GetMeter().GetSnapshot();
        const auto it = std::ranges::find(snapshot.devices, strName, &DeviceSnapshot::strName);
        return it == snapshot.devices.end() ? DeviceSnapshot{} : *it;
    }
    static bool IsOpen(const std::string& strName) {
        const std::vector<AdapterState> states = CAdapterManager::GetInstance()->GetAdapterStates();
        const auto it = std::ranges::find(states, strName, &AdapterState::strName);
        return it != states.end() && it->bOpen;
    }

    CTempSettings m_settings;
    CPeerNs m_peer;
    std::unique_ptr<COrvekDlg> m_pDlg;
};

TEST_F(DetailsLive, RowsEqualWhatEachDeviceCarriedByteForByte) {
    COrvekDlg& dlg = MakeDialog();
    const CDeviceTableModel& model = *dlg.OpenDetails()->GetModel();
    const IfCounters base0 = ReadCounters("orv0"), base2 = ReadCounters("orv2");
    Capture();
    std::unique_ptr<CUdpSink> pThere0, pThere2;
    m_peer.RunIn([&] {
        pThere0 = std::make_unique<CUdpSink>("10.79.0.2", 7002);
        pThere2 = std::make_unique<CUdpSink>("10.79.1.2", 7002);
    });
    CUdpSink here0("10.79.0.1", 7001), here2("10.79.1.1", 7001);
    m_peer.RunIn([] {
        SendUdp("10.79.0.2", "10.79.0.1", 7001, 1000, 40);
        SendUdp("10.79.1.2", "10.79.1.1", 7001, 1400, 7);
    });
    SendUdp("10.79.0.1", "10.79.0.2", 7002, 300, 10);
    SendUdp("10.79.1.1", "10.79.1.2", 7002, 600, 25);

    const auto shown = [&](const std::string& strDevice, const IfCounters& base) {
        const IfCounters now = ReadCounters(strDevice);
        return std::vector<QString>{
            Cell(model, strDevice, CDeviceTableModel::kColSent, Qt::ToolTipRole).toString(),
            Cell(model, strDevice, CDeviceTableModel::kColRecv, Qt::ToolTipRole).toString(),
            Cell(model, strDevice, CDeviceTableModel::kColPackets, Qt::ToolTipRole).toString(),
            FormatCount(NetworkBytesSince(strDevice, base, true)) + " bytes",
            FormatCount(NetworkBytesSince(strDevice, base, false)) + " bytes",
            QStringLiteral("%1 sent, %2 received")
                .arg(FormatCount(int64_t(now.nTxPackets - base.nTxPackets)),
                     FormatCount(int64_t(now.nRxPackets - base.nRxPackets)))};
    };
    const auto matches = [&](const std::string& strDevice, const IfCounters& base) {
        const std::vector<QString> texts = shown(strDevice, base);
        return texts[0] == texts[3] && texts[1] == texts[4] && texts[2] == texts[5];
    };
    Serve([&] { return matches("orv0", base0) && matches("orv2", base2); });
    for (const auto& [strDevice, base] : {std::pair{"orv0", base0}, {"orv2", base2}}) {
        const std::vector<QString> texts = shown(strDevice, base);
        EXPECT_EQ(texts[0], texts[3]) << strDevice;
        EXPECT_EQ(texts[1], texts[4]) << strDevice;
        EXPECT_EQ(texts[2], texts[5]) << strDevice;
    }
    EXPECT_EQ(Cell(model, "orv0", CDeviceTableModel::kColRecv, Qt::ToolTipRole).toString(),
              "41,120 bytes");
    EXPECT_EQ(Cell(model, "orv2", CDeviceTableModel::kColState).toString(), "capturing");
    EXPECT_EQ(Cell(model, "orv2", CDeviceTableModel::kColKind).toString(), "virtual");
    // The largest total first: orv2 carried 25 x 628 + 7 x 1428 bytes, orv0 10 x 328 + 40 x 1028.
    EXPECT_LT(model.FindRow("orv0"), model.FindRow("orv2"));
}

// A sender paced by the clock at 4,000 datagrams of 1,028 network bytes a second: every rate
// shown while it runs, after its first second, is within 10 % of 4,112,000 B/s.
TEST_F(DetailsLive, RateFollowsAPacedSender) {
    constexpr int kPerTick = 40, kTickMs = 10, kSeconds = 5;
    constexpr double kRate = kPerTick * 1028.0 * 1000 / kTickMs;
    COrvekDlg& dlg = MakeDialog();
    Capture();
    CUdpSink sink("10.79.0.1", 7001);
    std::vector<double> rates;
    std::atomic<bool> bSending{true};
    const Clock::time_point tStart = Clock::now();
    QObject::connect(&dlg.GetSampler(), &CTrafficSampler::Sampled, &dlg, [&] {
        if (Clock::now() - tStart < 1500ms || !bSending) {
            return;
        }
        for (const DeviceSample& row : dlg.GetSampler().GetLatest().devices) {
            if (row.device.strName == "orv0") {
                rates.push_back(row.dRecvRate);
            }
        }
    });
    std::thread sender([&] {
        m_peer.RunIn([&] {
            Clock::time_point tDue = Clock::now();
            for (int nTick = 0; nTick < kSeconds * 1000 / kTickMs; ++nTick) {
                SendUdp("10.79.0.2", "10.79.0.1", 7001, 1000, kPerTick);
                tDue += std::chrono::milliseconds(kTickMs);
                std::this_thread::sleep_until(tDue);
            }
        });
        bSending = false;
    });
    Serve([&] { return !bSending; }, 30000);
    sender.join();
    ASSERT_GE(rates.size(), 2u);
    for (const double dRate : rates) {
        EXPECT_NEAR(dRate, kRate, kRate * 0.1);
    }
}

// Unticked, a device is closed and counts nothing more; its earlier bytes stay in the totals.
// Ticked again, it is opened and counts.
TEST_F(DetailsLive, UntickingClosesTheDeviceAndTickingReopensIt) {
    COrvekDlg& dlg = MakeDialog();
    CDeviceTableModel& model = *dlg.OpenDetails()->GetModel();
    Capture();
    CUdpSink here0("10.79.0.1", 7001), here2("10.79.1.1", 7001);
    const auto recvOn2 = [&](size_t nCount) {
        m_peer.RunIn([=] { SendUdp("10.79.1.2", "10.79.1.1", 7001, 500, nCount); });
    };
    recvOn2(4);
    ASSERT_TRUE(
        Serve([&] { return Device("orv2").nRecvBytes == 4 * 528 && model.FindRow("orv2") >= 0; }));

    ASSERT_TRUE(model.setData(model.index(model.FindRow("orv2"), CDeviceTableModel::kColCounted),
                              Qt::Unchecked, Qt::CheckStateRole));
    ASSERT_TRUE(Serve([&] { return !IsOpen("orv2") && Device("orv2").strState == "excluded"; }));
    EXPECT_TRUE(IsOpen("orv0"));
    recvOn2(10);
    // orv0 counting a datagram sent after them shows that orv2's have had time to be counted.
    m_peer.RunIn([] { SendUdp("10.79.0.2", "10.79.0.1", 7001, 100, 1); });
    ASSERT_TRUE(Serve([&] { return Device("orv0").nRecvBytes == 128; }));
    EXPECT_EQ(Device("orv2").nRecvBytes, 4 * 528);
    EXPECT_EQ(dlg.GetMeter().GetRecvBytes(), 4 * 528 + 128);
    ASSERT_TRUE(Serve([&] {
        return Cell(model, "orv2", CDeviceTableModel::kColState).toString() == "excluded";
    }));

    ASSERT_TRUE(model.setData(model.index(model.FindRow("orv2"), CDeviceTableModel::kColCounted),
                              Qt::Checked, Qt::CheckStateRole));
    ASSERT_TRUE(Serve([&] { return IsOpen("orv2") && Device("orv2").strState == "capturing"; }));
    recvOn2(10);
    EXPECT_TRUE(Serve([&] { return Device("orv2").nRecvBytes == 14 * 528; }));
}

// A ring too small for a burst: the kernel drops, the row says how many, and the counters'
// tooltips call the totals lower bounds by as many packets.
TEST_F(DetailsLive, DropsAreMarkedAndTheTotalsCalledLowerBounds) {
    COrvekDlg& dlg = MakeDialog();
    const CDeviceTableModel& model = *dlg.OpenDetails()->GetModel();
    CAdapter::SetRingBytes(128 * 1024);
    Capture();
    CAdapter::SetRingBytes(0);
    CUdpSink sink("10.79.0.1", 7001);
    const IfCounters base = ReadCounters("orv0");
    for (int nBurst = 0; nBurst < 20 && Device("orv0").nDrops == 0; ++nBurst) {
        m_peer.RunIn([] { SendUdp("10.79.0.2", "10.79.0.1", 7001, 1400, 20000); });
        Serve([&] { return Device("orv0").nDrops > 0; }, 1000);
    }
    ASSERT_GT(Device("orv0").nDrops, 0);
    // Nothing is counted that the link did not carry, and what it carried is not all counted.
    const DeviceSnapshot device = Device("orv0");
    EXPECT_LT(device.nRecvPackets, int64_t(ReadCounters("orv0").nRxPackets - base.nRxPackets));
    const QLabel* pRecv = dlg.findChild<QLabel*>("IDC_RECV_COUNTER");
    const auto told = [&] {
        const QString strDrops = FormatCount(Device("orv0").nDrops);
        return Cell(model, "orv0", CDeviceTableModel::kColDrops).toString() == strDrops &&
               pRecv->toolTip().contains("dropped " + strDrops + " packets") &&
               pRecv->toolTip().contains("lower bounds");
    };
    EXPECT_TRUE(Serve(told)) << pRecv->toolTip().toStdString();
    EXPECT_TRUE(Cell(model, "orv0", CDeviceTableModel::kColDevice, Qt::DecorationRole).isValid());
    EXPECT_FALSE(Cell(model, "orv2", CDeviceTableModel::kColDevice, Qt::DecorationRole).isValid());
}

// The filter and promiscuous choice of the last Capture, the excluded devices and the Details
// window's place come back in the next run, from <config>/Orvek/Orvek.conf.
TEST_F(DetailsLive, SettingsComeBackInTheNextRun) {
    {
        COrvekDlg& dlg = MakeDialog();
        dlg.findChild<QLineEdit*>("IDC_FILTER")->setText("udp");
        dlg.findChild<QCheckBox*>("IDC_PROMISCUOUS")->setChecked(true);
        Capture();
        CDetailsDlg* pDetails = dlg.OpenDetails();
        pDetails->resize(700, 500);
        CDeviceTableModel& model = *pDetails->GetModel();
        ASSERT_TRUE(Serve([&] { return model.FindRow("orv2") >= 0; }));
        model.setData(model.index(model.FindRow("orv2"), CDeviceTableModel::kColCounted),
                      Qt::Unchecked, Qt::CheckStateRole);
        dlg.close();
        m_pDlg.reset();
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(m_settings.GetFile()));

    COrvekDlg& dlg = MakeDialog();
    EXPECT_EQ(dlg.findChild<QLineEdit*>("IDC_FILTER")->text(), "udp");
    EXPECT_TRUE(dlg.findChild<QCheckBox*>("IDC_PROMISCUOUS")->isChecked());
    Capture();
    EXPECT_TRUE(Serve([&] { return Device("orv2").strState == "excluded"; }));
    EXPECT_FALSE(IsOpen("orv2"));
    EXPECT_TRUE(IsOpen("orv0"));
    CDetailsDlg* pDetails = dlg.OpenDetails();
    EXPECT_EQ(pDetails->size(), QSize(700, 500));
    EXPECT_EQ(
        Cell(*pDetails->GetModel(), "orv2", CDeviceTableModel::kColCounted, Qt::CheckStateRole)
            .toInt(),
        Qt::Unchecked);
}

// A settings file that cannot be read (a folder in its place), or a folder where it cannot be
// written (under /proc, which refuses even root): the first start's choices, the window works,
// and one line on standard error says so.
TEST_F(DetailsLive, UnusableSettingsGiveDefaultsAndOneMessage) {
    std::filesystem::create_directories(m_settings.GetFile());
    for (const std::string& strPath : {m_settings.GetPath(), std::string("/proc/self/fdinfo")}) {
        SCOPED_TRACE(strPath);
        CTempSettings::UsePath(strPath);
        testing::internal::CaptureStderr();
        COrvekDlg& dlg = MakeDialog();
        EXPECT_EQ(dlg.findChild<QLineEdit*>("IDC_FILTER")->text(), "tcp or udp");
        EXPECT_FALSE(dlg.findChild<QCheckBox*>("IDC_PROMISCUOUS")->isChecked());
        Capture();
        dlg.OpenDetails()->close();
        dlg.close();
        m_pDlg.reset();
        const std::string strErr = testing::internal::GetCapturedStderr();
        // Qt's offscreen platform has its own lines to say.
        EXPECT_EQ(QString::fromStdString(strErr).count("orvek: "), 1) << strErr;
        EXPECT_NE(strErr.find("settings file"), std::string::npos) << strErr;
    }
}

} // namespace
