// The Details window: sorting, rates and drops on a fake source, then live on two veth pairs with
// traffic of known sizes: rows against the kernel's counters, rates against a paced sender,
// ticking devices off and on, drops, and the settings file.

#include "DetailsDlg.h"
#include "DeviceTableModel.h"
#include "GuiTest.h"
#include "TrafficText.h"

#include <filesystem>

using namespace orvektest;
using Clock = std::chrono::steady_clock;
using enum CDeviceTableModel::EColumn;

namespace {

using DetailsLive = CGuiTest;

struct CFakeSource : IDetailsSource {
    MeterSnapshot GetSnapshot() const override { return m_snapshot; }
    std::set<std::string> GetExcludedDevices() const override { return {}; }
    void SetExcludedDevices(const std::set<std::string>&) override {}
    MeterSnapshot m_snapshot;
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
    for (const auto& [strText, szWant] : {std::pair{FormatRate(1023), "1023 B/s"},
                                          {FormatRate(1023.6), "1.0 KiB/s"},
                                          {FormatRate(1536), "1.5 KiB/s"},
                                          {FormatRate(1023.97 * 1024), "1.0 MiB/s"},
                                          {FormatRate(-1), ""},
                                          {FormatMebibytes(1572864), "1.500"},
                                          {FormatCount(123456789), "123,456,789"}}) {
        EXPECT_EQ(strText.toStdString(), szWant);
    }
    QLocale::setDefault(previous);
}

// Rows by total, rates over the time between samples, drops only since Capture, and the selected
// row following its device when the order changes.
TEST(DetailsTable, SortedRatedAndMarked) {
    CFakeSource source;
    std::vector<DeviceSnapshot>& devices = source.m_snapshot.devices;
    // Name, state, capturing, sent and received bytes and packets, drops, kind.
    devices = {{"small", "", true, 100, 0, 0, 0, 0, ""},
               {"big", "", true, 5000, 5000, 0, 0, 0, ""},
               {"mid", "", true, 2000, 0, 0, 0, 5, ""}};
    CTrafficSampler sampler(source);
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
    EXPECT_EQ(sampler.GetLatest().dRecvRate, 2048);
    EXPECT_EQ(Text(model, "mid", kColDrops), "7");

    dlg.GetTable()->selectRow(model.FindRow("mid"));
    devices[0].nSentBytes = 1000000;
    sampler.Sample(t0 + std::chrono::seconds(3));
    EXPECT_EQ(rows(), (std::vector{1, 2, 0}));
    EXPECT_EQ(dlg.GetTable()->currentIndex().row(), model.FindRow("mid"));
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
    // The row's exact sent and received bytes, and what the kernel counted.
    const auto shown = [&](const char* szDevice) {
        return std::vector{Text(model, szDevice, kColSent, Qt::ToolTipRole),
                           Text(model, szDevice, kColRecv, Qt::ToolTipRole)};
    };
    const auto carried = [](const char* szDevice, const IfCounters& base) {
        return std::vector{
            FormatCount(NetworkBytesSince(szDevice, base, true)).toStdString() + " bytes",
            FormatCount(NetworkBytesSince(szDevice, base, false)).toStdString() + " bytes"};
    };
    for (const auto& [szDevice, base] : {std::pair{"orv0", base0}, {"orv2", base2}}) {
        Serve([&] { return shown(szDevice) == carried(szDevice, base); });
        EXPECT_EQ(shown(szDevice), carried(szDevice, base)) << szDevice;
    }
}

// A sender paced by the clock at 4,000 datagrams of 1,028 network bytes a second for five
// seconds: every rate sampled while it sends, after its first 1.5 seconds, is within 10 % of
// 4,112,000 B/s.
TEST_F(DetailsLive, RateFollowsAPacedSender) {
    constexpr int kPerTick = 40, kTickMs = 10, kTicks = 500;
    constexpr double kRate = kPerTick * 1028.0 * 1000 / kTickMs;
    Capture();
    std::atomic<int> nTick{0};
    int nRates = 0;
    QObject::connect(&m_pDlg->GetSampler(), &CTrafficSampler::Sampled, m_pDlg.get(), [&] {
        if (nTick >= 1500 / kTickMs && nTick < kTicks) {
            EXPECT_NEAR(m_pDlg->GetSampler().GetLatest().dSentRate, kRate, kRate * 0.1);
            ++nRates;
        }
    });
    std::thread sender([&] {
        for (Clock::time_point tDue = Clock::now(); nTick < kTicks; ++nTick) {
            SendUdp("10.79.0.1", "10.79.0.2", 7001, 1000, kPerTick);
            std::this_thread::sleep_until(tDue += std::chrono::milliseconds(kTickMs));
        }
    });
    Serve([&] { return nTick == kTicks; });
    sender.join();
    EXPECT_GE(nRates, 2);
}

// Unticked, a device is closed and counts nothing more, its earlier bytes staying in the totals.
// That choice, the filter and promiscuous choice of the last Capture and the Details window's
// place come back in the next run; ticked again, the device is opened and counts.
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

    m_pDlg->close();
    Restart();
    EXPECT_EQ(Filter()->text().toStdString(), "udp");
    EXPECT_TRUE(Promiscuous()->isChecked());
    pModel = m_pDlg->OpenDetails()->GetModel();
    EXPECT_EQ(m_pDlg->OpenDetails()->size(), QSize(700, 500));
    Capture();
    // Start opens the devices before it returns.
    EXPECT_FALSE(IsOpen("orv2"));
    ASSERT_TRUE(Serve([&] { return pModel->FindRow("orv2") >= 0; }));
    Tick(*pModel, "orv2", true);
    ASSERT_TRUE(Serve([&] { return IsOpen("orv2"); }));
    recvOn2(10);
    EXPECT_TRUE(Serve([&] { return recvBytes("orv2") == "5,280 bytes"; }));
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

// A settings file that cannot be read (a folder in its place), or a folder where it cannot be
// written (under /proc, which refuses even root): the first start's choices, the window works,
// and one line on standard error says so.
TEST_F(DetailsLive, UnusableSettingsGiveDefaultsAndOneMessage) {
    std::filesystem::create_directories(m_dirSettings.filePath("Orvek/Orvek.conf").toStdString());
    for (const QString& strDir : {m_dirSettings.path(), QStringLiteral("/proc/self/fdinfo")}) {
        SCOPED_TRACE(strDir.toStdString());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, strDir);
        testing::internal::CaptureStderr();
        Restart();
        EXPECT_EQ(Filter()->text().toStdString(), "tcp or udp");
        EXPECT_FALSE(Promiscuous()->isChecked());
        Capture();
        m_pDlg->OpenDetails()->close();
        m_pDlg.reset();
        const std::string strErr = testing::internal::GetCapturedStderr();
        // Qt's offscreen platform has its own lines to say.
        EXPECT_EQ(QString::fromStdString(strErr).count("orvek: "), 1) << strErr;
        EXPECT_NE(strErr.find("settings file"), std::string::npos) << strErr;
    }
}

} // namespace
