// The usage store and plans on a clock the tests move: local boundaries across daylight saving
// and month ends, cycles and caps, the recorder's differences across restarts, counter resets and
// clock jumps, retention, one writer per file, damaged files, a read-only folder and a full disk.

#include "AppHistory.h"
#include "NetNs.h"
#include "PlanUsage.h"
#include "RecordedTime.h"
#include "StoreSupport.h"
#include "UsageRecorder.h"

#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace orvektest;

namespace {

MeterSnapshot Snap(std::initializer_list<std::tuple<const char*, int64_t, int64_t>> devices) {
    MeterSnapshot snapshot;
    for (const auto& [szName, nSent, nRecv] : devices) {
        DeviceSnapshot& device = snapshot.devices.emplace_back();
        device.strName = szName;
        device.nSentBytes = nSent;
        device.nRecvBytes = nRecv;
    }
    return snapshot;
}

using Bytes = std::pair<int64_t, int64_t>;
constexpr int64_t kForever = int64_t{1} << 40;

// A snapshot's application rows: name, reason (0: an application), sent, received.
MeterSnapshot
WithApps(MeterSnapshot snapshot,
         std::initializer_list<std::tuple<const char*, uint32_t, int64_t, int64_t>> apps) {
    for (const auto& [szName, nReason, nSent, nRecv] : apps) {
        snapshot.apps.push_back({szName, nReason, nSent, nRecv, 0});
    }
    return snapshot;
}

std::map<std::string, Bytes> AppSums(CUsageStore& store, ETier eTier, int64_t nFrom, int64_t nTo) {
    std::map<std::string, Bytes> sums;
    for (const AppUsageRow& row : store.ReadApplications(eTier, nFrom, nTo)) {
        sums[row.strKey].first += row.nSent;
        sums[row.strKey].second += row.nRecv;
    }
    return sums;
}

// March 28 and October 31, 2027: Berlin's clocks go from 02:00 to 03:00 (at 01:00 UTC) and from
// 03:00 back to 02:00 (at 01:00 UTC). Days, hours, months and plan cycles begin at local times.
TEST_F(CStoreTest, LocalBoundariesAcrossDaylightSavingAndMonthEnds) {
    const int64_t nSpring = Utc(2027, 3, 28, 1);
    const int64_t nAutumn = Utc(2027, 10, 31, 1);
    EXPECT_EQ(BucketStart(ETier::Day, nSpring), Utc(2027, 3, 27, 23));
    EXPECT_EQ(BucketEnd(ETier::Day, Utc(2027, 3, 27, 23)) - Utc(2027, 3, 27, 23), 23 * 3600);
    EXPECT_EQ(BucketEnd(ETier::Day, Utc(2027, 10, 30, 22)) - Utc(2027, 10, 30, 22), 25 * 3600);
    // 02:30 is lived twice in October: two hour buckets, an hour apart.
    EXPECT_EQ(BucketStart(ETier::Hour, nAutumn - 1800), nAutumn - 3600);
    EXPECT_EQ(BucketStart(ETier::Hour, nAutumn + 1800), nAutumn);
    EXPECT_EQ(FormatLocal(nAutumn - 1800), FormatLocal(nAutumn + 1800));
    EXPECT_EQ(BucketStart(ETier::FiveMinutes, nSpring + 299), nSpring);
    EXPECT_EQ(FormatLocal(nSpring), "2027-03-28 03:00");
    // Months: local midnight of the first, 23:00 UTC in winter and 22:00 in summer.
    EXPECT_EQ(BucketStart(ETier::Month, Utc(2027, 3, 1, 0)), Utc(2027, 2, 28, 23));
    EXPECT_EQ(BucketEnd(ETier::Month, Utc(2027, 2, 28, 23)), Utc(2027, 3, 31, 22));
    EXPECT_EQ(FormatLocalIso(Utc(2027, 7, 1)), "2027-07-01T02:00:00+02:00");

    // Cycle day 31: February has none, its cycle starts on its last day; leap years too.
    const std::vector<std::tuple<int, CivilDate, CivilDate, CivilDate>> cycles = {
        {31, {2027, 2, 15}, {2027, 1, 31}, {2027, 2, 28}},
        {31, {2027, 2, 28}, {2027, 2, 28}, {2027, 3, 31}},
        {31, {2028, 3, 1}, {2028, 2, 29}, {2028, 3, 31}},
        {30, {2027, 3, 29}, {2027, 2, 28}, {2027, 3, 30}},
        {1, {2027, 12, 31}, {2027, 12, 1}, {2028, 1, 1}},
        {15, {2027, 1, 14}, {2026, 12, 15}, {2027, 1, 15}}};
    for (const auto& [nDay, date, first, next] : cycles) {
        const Cycle cycle = CycleOfDate(nDay, date);
        EXPECT_EQ(FormatDate(cycle.first) + " " + FormatDate(cycle.next),
                  FormatDate(first) + " " + FormatDate(next))
            << nDay << " " << FormatDate(date);
    }
    // A cycle across the spring change is an hour short, and begins at local midnight.
    const Cycle spring = CycleAt(15, nSpring);
    EXPECT_EQ(spring.nStart, Utc(2027, 3, 14, 23));
    EXPECT_EQ(spring.nEnd - spring.nStart, 31 * 86400 - 3600);
}

TEST(Plan, CapsUnitsTextsProjectionAndAlerts) {
    for (const auto& [szText, nBytes, eUnit] :
         std::vector<std::tuple<const char*, int64_t, ECapUnit>>{
             {"50GB", 50'000'000'000, ECapUnit::GB},
             {" 1.5 GiB", 1'610'612'736, ECapUnit::GiB},
             {"500 mb", 500'000'000, ECapUnit::MB},
             {"2TiB", 2'199'023'255'552, ECapUnit::TiB}}) {
        int64_t nParsed = 0;
        ECapUnit eParsed{};
        std::string strError;
        EXPECT_TRUE(ParseCap(szText, nParsed, eParsed, strError)) << szText << ": " << strError;
        EXPECT_EQ(nParsed, nBytes) << szText;
        EXPECT_EQ(eParsed, eUnit) << szText;
    }
    for (const char* szBad : {"50", "50 Gb/s", "1e3GB", "-5GB", "0GB", "1.GB", ""}) {
        int64_t nParsed = 7;
        ECapUnit eParsed = ECapUnit::TB;
        std::string strError;
        EXPECT_FALSE(ParseCap(szBad, nParsed, eParsed, strError)) << szBad;
        EXPECT_EQ(nParsed, 7);
        EXPECT_FALSE(strError.empty());
    }
    EXPECT_EQ(DescribeUnit(ECapUnit::GiB), "GiB = 1,073,741,824 bytes");
    EXPECT_EQ(FormatAmount(1'234'567'890, ECapUnit::GB), "1.23 GB");

    Plan plan;
    plan.nCycleDay = 31;
    plan.nCapBytes = 10'000;
    plan.eUnit = ECapUnit::MiB;
    plan.eCounting = ECounting::ReceivedOnly;
    plan.devices = {"eth0", "wlan0"};
    plan.vecAlerts = {50, 100};
    EXPECT_EQ(ParsePlan(SerializePlan(plan)), plan);
    for (const char* szBad :
         {"day=32;cap=5", "day=1;cap=0", "day=1;cap=5;alerts=0", "cap=5;unit=Gb", "garbage"}) {
        EXPECT_FALSE(ParsePlan(szBad)) << szBad;
    }
    EXPECT_EQ(CountedBytes(plan, "eth0", 5, 7), 7);
    EXPECT_EQ(CountedBytes(plan, "docker0", 5, 7), 0);
    plan.vecAlerts = {75, 90, 100};
    EXPECT_EQ(DueAlerts(plan, 7'499, {}), std::vector<int>{});
    EXPECT_EQ(DueAlerts(plan, 9'000, {}), (std::vector<int>{75, 90}));
    EXPECT_EQ(DueAlerts(plan, 20'000, {75}), (std::vector<int>{90, 100}));
}

// December 2026, cycle day 1: a meter installed on the 7th records that whole day, 273 MB, and
// the projection takes the pace from that day alone, not from the six days before nobody
// recorded; gaps and overlapping stretches count once; how sure it is follows the recorded time.
TEST_F(CStoreTest, ProjectionFromRecordedTimeOnlySaysHowSureItIs) {
    Plan plan;
    plan.nCapBytes = 220'000'000;
    plan.eUnit = ECapUnit::MB;
    const int64_t nDay = 86400;
    const int64_t nDec7 = Utc(2026, 12, 6, 23); // local midnight
    PlanStatus stored = ReadPlanStatus(plan, nullptr, nDec7 + nDay);
    ASSERT_EQ(stored.cycle.nEnd - stored.cycle.nStart, 31 * nDay);
    const CUsageRecorder::PendingMap pending = {
        {{nDec7 + 3600, "eth0"}, {73'000'000, 200'000'000}}};
    PlanStatus status = AddPending(stored, pending, {{nDec7, nDec7 + nDay}}, nDec7 + nDay);
    EXPECT_EQ(status.nUsed, 273'000'000);
    EXPECT_EQ(status.vecDays[6], 273'000'000);
    EXPECT_EQ(status.nRecorded, nDay);
    // 273 MB a recorded day for the 24 days left; the whole cycle so far would say 1209 MB.
    EXPECT_EQ(status.nProjected, int64_t{273'000'000} * 25);
    EXPECT_EQ(DescribeProjection(status),
              "at this pace 6825.00 MB by 2026-12-31 (from 1 day recorded; surer after a week)");

    // Gaps: the 8th not recorded, half of the 9th twice over (a clock set back), a stretch that
    // began before the cycle, and none in the future counted.
    const std::vector<RecordedSpan> gaps = {{nDec7 + 2 * nDay, nDec7 + 2 * nDay + nDay / 2},
                                            {nDec7, nDec7 + nDay},
                                            {nDec7 + 2 * nDay, nDec7 + 2 * nDay + nDay / 4},
                                            {stored.cycle.nStart - 3600, stored.cycle.nStart + 60}};
    EXPECT_EQ(CoveredSeconds(gaps, stored.cycle.nStart, nDec7 + 3 * nDay), nDay + nDay / 2 + 60);
    EXPECT_EQ(CoveredSeconds(gaps, nDec7 + nDay / 2, nDec7 + 2 * nDay + nDay / 8),
              nDay / 2 + nDay / 8);

    // Below an hour no projection, below a day a rough one, from a week on no caution.
    status = AddPending(stored, pending, {{nDec7, nDec7 + 1800}}, nDec7 + nDay);
    EXPECT_EQ(status.nProjected, -1);
    EXPECT_EQ(DescribeProjection(status), "");
    status = AddPending(stored, pending, {{nDec7, nDec7 + 5 * 3600 + 60}}, nDec7 + nDay);
    EXPECT_EQ(ProjectionBasis(status.nRecorded), EProjectionBasis::Rough);
    EXPECT_EQ(DescribeProjection(status), "at this pace roughly 31618.12 MB by 2026-12-31 (a "
                                          "rough guess from 5 hours recorded)");
    status = AddPending(ReadPlanStatus(plan, nullptr, nDec7 + 7 * nDay), pending,
                        {{nDec7 - 3 * nDay, nDec7 + 4 * nDay}}, nDec7 + 7 * nDay);
    EXPECT_EQ(ProjectionBasis(status.nRecorded), EProjectionBasis::Week);
    EXPECT_EQ(status.nProjected, 273'000'000 + 39'000'000 * 18);
    EXPECT_EQ(DescribeProjection(status),
              "at this pace 975.00 MB by 2026-12-31 (from 7 days recorded)");
    // At the cycle's end the used bytes are the projection.
    EXPECT_EQ(ProjectToEnd(5, nDay, stored.cycle, stored.cycle.nEnd), 5);
}

// A 220 MB plan crossed in three writes and, in the next cycle, in one: each threshold is marked
// once, across a restart (the file opened again), and of several crossed at once the highest is
// the one said; each text names its threshold and the cycle's days left.
TEST_F(CStoreTest, AlertsNameTheirThresholdOnceAcrossRestarts) {
    CFakeClock clock;
    clock.nWallMs = Utc(2026, 12, 9, 11) * 1000; // December 9, 12:00 local
    Plan plan;
    plan.nCapBytes = 220'000'000;
    plan.eUnit = ECapUnit::MB;
    plan.vecAlerts = {75, 90, 100, 120};
    auto pRecorder = std::make_unique<CUsageRecorder>(m_strPath, clock, nullptr);
    SavePlan(*pRecorder->GetStore(), plan);
    int64_t nRecv = 0;
    pRecorder->Observe(Snap({{"eth0", 0, nRecv}}));
    // Counts nBytes more, writes, and takes the alerts due.
    const auto step = [&](int64_t nBytes, PlanStatus& status) {
        clock.Pass(1);
        nRecv += nBytes;
        pRecorder->Observe(Snap({{"eth0", 0, nRecv}}));
        pRecorder->Flush();
        status = ComputePlanStatus(plan, pRecorder->GetStore(), {}, clock.nWallMs / 1000);
        return TakeDueAlerts(*pRecorder->GetStore(), status, clock.nWallMs / 1000);
    };
    PlanStatus status;
    EXPECT_EQ(step(165'000'000, status), std::vector<int>{75});
    EXPECT_EQ(AlertTitle(75), "Data plan 75 % used");
    EXPECT_EQ(AlertText(status, 75), "75 % of your data plan used: 165.00 MB of 220.00 MB; 23 "
                                     "days left, through 2026-12-31.");
    EXPECT_EQ(step(33'000'000, status), std::vector<int>{90});
    EXPECT_EQ(AlertText(status, 90), "90 % of your data plan used: 198.00 MB of 220.00 MB; 23 "
                                     "days left, through 2026-12-31.");
    pRecorder.reset();
    pRecorder = std::make_unique<CUsageRecorder>(m_strPath, clock, nullptr);
    pRecorder->Observe(Snap({{"eth0", 0, nRecv}}));
    EXPECT_EQ(step(0, status), std::vector<int>{});
    EXPECT_EQ(status.fired, (std::set<int>{75, 90}));
    EXPECT_EQ(step(22'000'000, status), std::vector<int>{100});
    EXPECT_EQ(AlertTitle(100), "Data plan used up");
    EXPECT_EQ(AlertText(status, 100), "Your data plan is used up: 220.00 MB of 220.00 MB; 23 days "
                                      "left, through 2026-12-31.");

    // The last day of the cycle, then the next cycle: one write crosses 75, 90, 100 and 120 %.
    clock.Pass(22 * 86400);
    EXPECT_EQ(step(1, status), std::vector<int>{});
    EXPECT_EQ(AlertText(status, 100), "Your data plan is used up: 220.00 MB of 220.00 MB; today, "
                                      "2026-12-31, is the cycle's last day.");
    clock.Pass(86400);
    EXPECT_EQ(step(270'000'000, status), (std::vector<int>{75, 90, 100, 120}));
    EXPECT_EQ(AlertTitle(120), "Data plan exceeded: 120 % used");
    EXPECT_EQ(AlertText(status, 120), "120 % of your data plan used, 20 % past its cap: 270.00 MB "
                                      "of 220.00 MB; 31 days left, through 2027-01-31.");
    pRecorder.reset();
    pRecorder = std::make_unique<CUsageRecorder>(m_strPath, clock, nullptr);
    pRecorder->Observe(Snap({{"eth0", 0, nRecv}}));
    EXPECT_EQ(step(50'000'000, status), std::vector<int>{});
}

// Differences per device: the first snapshot is the base, a counter that went down started again
// from zero, as did counters of another id even past the old ones (a device forgotten and back), a
// device first seen later counts from zero; a restart (a new recorder on the file)
// adds to the same day. Nothing is written while nothing was counted.
TEST_F(CStoreTest, DifferencesAcrossResetsAndRestartsAndNoWriteWhenIdle) {
    CFakeClock clock;
    clock.nWallMs = Utc(2027, 5, 10, 8) * 1000;
    std::vector<std::string> vecNotices;
    const auto notice = [&](const std::string& str) { vecNotices.push_back(str); };
    {
        CUsageRecorder recorder(m_strPath, clock, notice);
        recorder.Observe(Snap({{"eth0", 1000, 5000}})); // counted before: the base
        clock.Pass(4);
        recorder.Observe(Snap({{"eth0", 1500, 9000}, {"wlan0", 10, 20}}));
        clock.Pass(4);
        recorder.Observe(Snap({{"eth0", 300, 100}, {"wlan0", 10, 20}})); // the meter restarted
        recorder.Flush();
        clock.Pass(3600);
        MeterSnapshot back = Snap({{"eth0", 400, 100}, {"wlan0", 10, 20}});
        back.devices[0].nCounterId = 7;
        recorder.Observe(back);
        recorder.Flush(true);
    }
    ASSERT_EQ(vecNotices, std::vector<std::string>{});
    const auto wal = [&] {
        struct stat st {};
        stat((m_strPath + "-wal").c_str(), &st);
        return std::pair(st.st_size, st.st_mtim.tv_nsec + st.st_mtim.tv_sec * 1'000'000'000LL);
    };
    {
        CUsageRecorder recorder(m_strPath, clock, notice);
        recorder.Observe(Snap({{"eth0", 0, 0}}));
        clock.Pass(10);
        recorder.Observe(Snap({{"eth0", 50, 60}}));
        recorder.Flush();
        const auto written = wal();
        clock.Pass(10);
        recorder.Observe(Snap({{"eth0", 50, 60}}));
        recorder.Flush();
        EXPECT_EQ(wal(), written) << "an idle flush wrote";
        CUsageStore& store = *recorder.GetStore();
        const int64_t nDay = BucketStart(ETier::Day, clock.nWallMs / 1000);
        EXPECT_EQ(Sum(store, ETier::Day, nDay, nDay + 1, "eth0"),
                  Bytes(500 + 300 + 400 + 50, 4000 + 100 + 100 + 60));
        EXPECT_EQ(Sum(store, ETier::Day, nDay, nDay + 1, "wlan0"), Bytes(10, 20));
        for (const ETier eTier : {ETier::FiveMinutes, ETier::Hour, ETier::Month}) {
            EXPECT_EQ(Sum(store, eTier, 0, kForever), Bytes(1260, 4280)) << TierName(eTier);
        }
        EXPECT_EQ(Sum(store, ETier::Hour, Utc(2027, 5, 10, 9), Utc(2027, 5, 10, 10)),
                  Bytes(450, 160));
    }
    // The second run's stretch begins after the first's ended: the time between is a gap.
    CUsageStore reader(m_strPath, CUsageStore::EAccess::Read, 0);
    const std::vector<RecordedSpan> spans = reader.ReadRecorded(0, kForever);
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_EQ(spans[0].nEnd, Utc(2027, 5, 10, 9, 0) + 8);
    EXPECT_EQ(spans[1].nStart, spans[0].nEnd);
}

// Applications are a second view of the devices' bytes, by day and month only: their rows grow
// by the same differences (what is not attributed yet is written once it reaches a row; a meter
// whose rows started from zero counts from zero), add up to the devices' bytes and never to them.
TEST_F(CStoreTest, ApplicationsByDayAndMonthAddUpToTheDevices) {
    CFakeClock clock;
    clock.nWallMs = Utc(2027, 5, 10, 8) * 1000;
    const char* szClosed = "not attributed: socket closed before it was seen";
    const auto closed = static_cast<uint32_t>(EUnattributed::Closed);
    const auto pending = static_cast<uint32_t>(EUnattributed::Pending);
    CUsageRecorder recorder(m_strPath, clock, {});
    recorder.Observe(WithApps(Snap({{"eth0", 100, 1000}}), {{"firefox", 0, 100, 1000}}));
    clock.Pass(10);
    // One name of two users: the file keeps the name, their sum.
    const auto ownedBy = [](MeterSnapshot snapshot) {
        snapshot.apps[0].nOwnerUid = 1000;
        snapshot.apps[1].nOwnerUid = 1001;
        return snapshot;
    };
    recorder.Observe(ownedBy(
        WithApps(Snap({{"eth0", 400, 4000}}), {{"firefox", 0, 200, 2000},
                                               {"firefox", 0, 100, 500},
                                               {szClosed, closed, 0, 500},
                                               {"not attributed yet", pending, 100, 1000}})));
    recorder.Flush();
    // Attributed with no new device bytes: still written.
    clock.Pass(10);
    recorder.Observe(ownedBy(WithApps(Snap({{"eth0", 400, 4000}}), {{"firefox", 0, 200, 2000},
                                                                    {"firefox", 0, 100, 500},
                                                                    {szClosed, closed, 0, 500},
                                                                    {"ssh", 0, 100, 1000}})));
    ASSERT_TRUE(recorder.HasPending());
    recorder.Flush();
    // Another meter, counting from zero: its counters and rows are all new.
    clock.Pass(10);
    MeterSnapshot other = WithApps(Snap({{"eth0", 50, 60}}), {{"firefox", 0, 50, 60}});
    other.devices[0].nCounterId = 2;
    recorder.Observe(other);
    recorder.Flush(true);

    CUsageStore& store = *recorder.GetStore();
    const std::map<std::string, Bytes> expected{
        {"firefox", {250, 1560}}, {"ssh", {100, 1000}}, {std::string("/") + szClosed, {0, 500}}};
    for (const ETier eTier : {ETier::Day, ETier::Month}) {
        EXPECT_EQ(AppSums(store, eTier, 0, kForever), expected) << TierName(eTier);
    }
    for (const ETier eTier : {ETier::FiveMinutes, ETier::Hour}) {
        EXPECT_TRUE(store.ReadApplications(eTier, 0, kForever).empty()) << TierName(eTier);
    }
    for (int nTier = 0; nTier < kTierCount; ++nTier) {
        EXPECT_EQ(Sum(store, static_cast<ETier>(nTier), 0, kForever), Bytes(350, 3060));
    }
    EXPECT_EQ(store.ReadDevices(), std::vector<std::string>{"eth0"});
    // As the views show it: the rows add up to the devices, nothing left over.
    const std::vector<AppHistoryRow> rows =
        SummarizeApplications(store.ReadApplications(ETier::Day, 0, kForever), 350, 3060, 1);
    EXPECT_EQ(rows, (std::vector<AppHistoryRow>{
                        {"firefox", AppHistoryRow::EKind::Application, 250, 1560},
                        {"other", AppHistoryRow::EKind::Other, 100, 1000},
                        {szClosed, AppHistoryRow::EKind::NotAttributed, 0, 500}}));
    // Written before an application was attributed: the rest of the devices' bytes.
    EXPECT_EQ(SummarizeApplications({}, 5, 6, 10).back(),
              (AppHistoryRow{"", AppHistoryRow::EKind::NotRecorded, 5, 6}));
}

// Thousands of short-lived scopes a day: a day (and a month) keeps its largest applications and
// one row for the rest, to the byte; a large one that comes late still gets its row, and names
// no bucket holds any more leave the file.
TEST_F(CStoreTest, ApplicationsPerBucketAreBoundedAndExact) {
    CFakeClock clock;
    clock.nWallMs = Utc(2027, 5, 10, 6) * 1000;
    CUsageRecorder recorder(m_strPath, clock, {});
    MeterSnapshot snapshot = Snap({{"eth0", 0, 0}});
    recorder.Observe(snapshot);
    constexpr int kScopes = 3 * CUsageStore::kAppsPerBucket;
    int64_t nTotal = 0;
    for (int n = 0; n < kScopes; ++n) {
        const int64_t nBytes = 100 + n % 7;
        snapshot.apps.push_back({"run-u" + std::to_string(n) + ".scope", 0, 0, nBytes, 0});
        snapshot.devices[0].nRecvBytes = nTotal += nBytes;
        clock.Pass(20);
        recorder.Observe(snapshot);
        if (n % 25 == 0) {
            recorder.Flush();
        }
    }
    snapshot.apps.push_back({"late-and-large", 0, 0, 1'000'000, 0});
    snapshot.devices[0].nRecvBytes = nTotal += 1'000'000;
    clock.Pass(20);
    recorder.Observe(snapshot);
    recorder.Flush();

    CUsageStore& store = *recorder.GetStore();
    for (const ETier eTier : {ETier::Day, ETier::Month}) {
        const std::map<std::string, Bytes> sums = AppSums(store, eTier, 0, kForever);
        EXPECT_EQ(sums.size(), CUsageStore::kAppsPerBucket + 1u) << TierName(eTier);
        EXPECT_EQ(sums.at("late-and-large").second, 1'000'000);
        EXPECT_GT(sums.at(kOtherApplications).second, 0);
        int64_t nSum = 0;
        for (const auto& entry : sums) {
            nSum += entry.second.second;
        }
        EXPECT_EQ(nSum, nTotal) << TierName(eTier);
    }
    // An hour on, the file forgets the names of the scopes that went to the rest's rows.
    clock.Pass(3600);
    snapshot.devices[0].nRecvBytes = nTotal += 1;
    snapshot.apps.back().nRecvBytes += 1;
    recorder.Observe(snapshot);
    recorder.Flush();
    CSqlite db(m_strPath, SQLITE_OPEN_READONLY);
    CSqliteStatement count = db.Prepare("SELECT count(*) FROM series");
    ASSERT_TRUE(count.Step());
    EXPECT_LE(count.GetInt(0), 2 + 2 * CUsageStore::kAppsPerBucket);
    EXPECT_EQ(AppSums(store, ETier::Day, 0, kForever).at("late-and-large").second, 1'000'001);
}

// A clock set back an hour adds the later traffic to the hour it now names, never negative and
// never counted twice; a suspend (the wall clock runs on, the steady one does not) and the jump
// each end a recorded stretch, so the time is a gap. Across October's change the repeated hour is
// two buckets and the day holds 25 hours.
TEST_F(CStoreTest, ClockJumpsAndDaylightSavingNeverDoubleOrLose) {
    CFakeClock clock;
    const int64_t nAutumn = Utc(2027, 10, 31, 1);
    clock.nWallMs = (nAutumn - 2 * 3600) * 1000;
    CUsageRecorder recorder(m_strPath, clock, {});
    int64_t nTotal = 0;
    recorder.Observe(Snap({{"eth0", 0, 0}}));
    // 4 hours, 1000 bytes received every 5 minutes.
    for (int n = 0; n < 48; ++n) {
        clock.Pass(300);
        nTotal += 1000;
        recorder.Observe(Snap({{"eth0", 0, nTotal}}));
        recorder.Flush();
    }
    CUsageStore& store = *recorder.GetStore();
    EXPECT_EQ(Sum(store, ETier::Hour, nAutumn - 3600, nAutumn).second, 12'000);
    EXPECT_EQ(Sum(store, ETier::Hour, nAutumn, nAutumn + 3600).second, 12'000);
    const int64_t nDay = BucketStart(ETier::Day, nAutumn);
    EXPECT_EQ(BucketEnd(ETier::Day, nDay) - nDay, 25 * 3600);
    EXPECT_EQ(Sum(store, ETier::Day, nDay, nDay + 1).second, 48'000);

    // Set back an hour, then a two-hour suspend.
    const int64_t nBefore = clock.nWallMs / 1000;
    clock.nWallMs -= 3600 * 1000;
    clock.Pass(60);
    recorder.Observe(Snap({{"eth0", 0, nTotal += 777}}));
    clock.nWallMs += 2 * 3600 * 1000;
    clock.Pass(60);
    recorder.Observe(Snap({{"eth0", 0, nTotal += 333}}));
    recorder.Flush(true);
    EXPECT_EQ(Sum(store, ETier::Day, nDay, nDay + 1).second, nTotal);
    EXPECT_EQ(Sum(store, ETier::Hour, nBefore - 3600 + 60 - 3600, nBefore).second, 12'000 + 777);
    for (const UsageRow& row : store.ReadUsage(ETier::FiveMinutes, 0, kForever)) {
        EXPECT_LE(row.nRecv, 1000 + 777) << FormatLocal(row.nStart);
    }
    const std::vector<RecordedSpan> spans = store.ReadRecorded(0, kForever);
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0], (RecordedSpan{nAutumn - 2 * 3600, nBefore}));
    EXPECT_EQ(spans[1], (RecordedSpan{nBefore - 3600 + 60, nBefore - 3600 + 60}));
    EXPECT_EQ(spans[2].nStart, nBefore + 3600 + 120);
    // The hour lived twice is recorded once, in whatever order the stretches come.
    EXPECT_EQ(CoveredSeconds({spans[2], spans[1], spans[0]}, nDay, BucketEnd(ETier::Day, nDay)),
              nBefore - (nAutumn - 2 * 3600) + spans[2].nEnd - spans[2].nStart);
    EXPECT_EQ(store.ReadFirstRecorded(), nAutumn - 2 * 3600);
}

// Time recorded as every view says it: overlapping stretches count once, a bucket nobody
// recorded is "not recorded" unless it holds bytes, lengths read as a person reads them (a day of
// 25 hours too), and the file says when recording began.
TEST_F(CStoreTest, RecordedTimeSaidOnceAndPlainly) {
    const std::vector<RecordedSpan> spans = {{50, 70}, {0, 10}, {5, 20}};
    EXPECT_EQ(CoveredSeconds(spans, 0, 60), 30);
    const BucketRecording now = RecordingOf(spans, 0, 100, 60);
    EXPECT_EQ(std::tuple(now.nRecorded, now.nElapsed, now.bCurrent), std::tuple(30, 60, true));
    EXPECT_EQ(Classify(RecordingOf(spans, 100, 200, 60), false), ERecorded::Future);
    EXPECT_EQ(Classify({0, 100}, false), ERecorded::NotRecorded);
    EXPECT_EQ(Classify({0, 100}, true), ERecorded::Partly);
    EXPECT_EQ(Classify({100, 100}, false), ERecorded::Whole);
    for (const auto& [nSeconds, szText] : {std::pair{int64_t{59}, "less than a minute"},
                                           {45 * 60, "45 min"},
                                           {6 * 3600 + 20 * 60, "6 h 20 min"},
                                           {25 * 3600, "25 h"},
                                           {3 * 86400 + 4 * 3600, "3 days 4 h"},
                                           {31 * 86400, "31 days"}}) {
        EXPECT_EQ(DescribeSeconds(nSeconds), szText);
    }
    EXPECT_EQ(DescribeRecording({6 * 3600 + 20 * 60, 86400}, true), "recorded 6 h 20 min of 24 h");
    EXPECT_EQ(DescribeRecording({3600, 12 * 3600, true}, true), "recorded 1 h of 12 h so far");
    EXPECT_EQ(DescribeRecording({0, 86400}, false), "not recorded");

    CUsageStore store(m_strPath, CUsageStore::EAccess::Write, 1000);
    EXPECT_EQ(store.ReadFirstRecorded(), std::nullopt);
    store.Write({}, {{500, 600}, {200, 300}}, 1000);
    EXPECT_EQ(store.ReadFirstRecorded(), 200);
}

// Five-minute buckets go after 48 hours, hours after 14 days, days after two years; months stay.
TEST_F(CStoreTest, TiersAreKeptForTheirTime) {
    CFakeClock clock;
    clock.nWallMs = Utc(2027, 1, 1, 12) * 1000;
    CUsageRecorder recorder(m_strPath, clock, {});
    recorder.Observe(Snap({{"eth0", 0, 0}}));
    int64_t nTotal = 0;
    const auto traffic = [&] {
        clock.Pass(60);
        recorder.Observe(Snap({{"eth0", ++nTotal, 0}}));
        recorder.Flush();
    };
    traffic();
    const auto counts = [&] {
        std::vector<size_t> vecCounts;
        for (int nTier = 0; nTier < kTierCount; ++nTier) {
            vecCounts.push_back(
                recorder.GetStore()->ReadUsage(static_cast<ETier>(nTier), 0, kForever).size());
        }
        return vecCounts;
    };
    EXPECT_EQ(counts(), (std::vector<size_t>{1, 1, 1, 1}));
    clock.Pass(49 * 3600);
    traffic();
    EXPECT_EQ(counts(), (std::vector<size_t>{1, 2, 2, 1}));
    clock.Pass(15 * 86400);
    traffic();
    EXPECT_EQ(counts(), (std::vector<size_t>{1, 1, 3, 1}));
    clock.Pass(740 * 86400);
    traffic();
    EXPECT_EQ(counts(), (std::vector<size_t>{1, 1, 1, 2}));
}

// One writer per file: a second recorder says once that it does not record and its counts are
// not stored (the first one counts the same traffic); when the first ends, the second takes over
// from what it sees then. Alerts fire once per cycle, whichever recorder's process asks.
TEST_F(CStoreTest, OneWriterPerFileTheOtherTakesOverAndAlertsFireOnce) {
    CFakeClock clock;
    clock.nWallMs = Utc(2027, 5, 10, 8) * 1000;
    std::vector<std::string> vecFirst, vecSecond;
    auto pFirst = std::make_unique<CUsageRecorder>(
        m_strPath, clock, [&](const std::string& str) { vecFirst.push_back(str); });
    CUsageRecorder second(m_strPath, clock,
                          [&](const std::string& str) { vecSecond.push_back(str); });
    ASSERT_EQ(vecSecond.size(), 1u);
    EXPECT_EQ(vecSecond[0], "not recording usage: another Orvek (process " +
                                std::to_string(getpid()) + ") records into " + m_strPath);
    EXPECT_EQ(second.GetState(), CUsageRecorder::EState::OtherWriter);
    for (CUsageRecorder* pRecorder : {pFirst.get(), &second}) {
        pRecorder->Observe(Snap({{"eth0", 0, 0}}));
    }
    clock.Pass(5);
    for (CUsageRecorder* pRecorder : {pFirst.get(), &second}) {
        pRecorder->Observe(Snap({{"eth0", 100, 100}}));
        pRecorder->Flush();
    }
    EXPECT_FALSE(second.HasPending());
    EXPECT_EQ(vecSecond.size(), 1u) << "said again";

    Plan plan;
    plan.nCapBytes = 200;
    SavePlan(*second.GetStore(), plan); // any Orvek on the file may set the plan
    const int64_t nNow = clock.nWallMs / 1000;
    PlanStatus status =
        ComputePlanStatus(*LoadPlan(*pFirst->GetStore()), pFirst->GetStore(), {}, nNow);
    EXPECT_EQ(status.nUsed, 200);
    PlanStatus other = ComputePlanStatus(plan, second.GetStore(), {}, nNow);
    EXPECT_EQ(TakeDueAlerts(*second.GetStore(), other, nNow), (std::vector<int>{75, 90, 100}));
    EXPECT_EQ(TakeDueAlerts(*pFirst->GetStore(), status, nNow), std::vector<int>{});

    pFirst->Flush(true);
    pFirst.reset();
    clock.Pass(5);
    second.Observe(Snap({{"eth0", 150, 150}})); // not recording yet: only the base moves
    second.Flush();
    EXPECT_EQ(second.GetState(), CUsageRecorder::EState::Recording);
    EXPECT_EQ(vecSecond.back(), "recording usage into " + m_strPath + " from now on");
    clock.Pass(5);
    second.Observe(Snap({{"eth0", 160, 170}}));
    second.Flush(true);
    EXPECT_EQ(Sum(*second.GetStore(), ETier::Month, 0, kForever), Bytes(110, 120));
    EXPECT_EQ(vecFirst, std::vector<std::string>{});
    // A new cycle fires again.
    clock.Pass(40 * 86400);
    PlanStatus next = ComputePlanStatus(
        plan, second.GetStore(),
        {{{BucketStart(ETier::FiveMinutes, clock.nWallMs / 1000), "eth0"}, {200, 0}}},
        clock.nWallMs / 1000);
    EXPECT_EQ(TakeDueAlerts(*second.GetStore(), next, clock.nWallMs / 1000),
              (std::vector<int>{75, 90, 100}));
}

// Garbage, a database cut short and a file of a newer version are each moved aside with a
// timestamp and said once; a new file starts and records.
// A read-only recorder (the window beside the system service) makes no folder, takes no writer's
// right, keeps nothing it observes, and reads what the service writes.
TEST_F(CStoreTest, ReadOnlyRecorderOnlyReads) {
    CFakeClock clock;
    clock.nWallMs = Utc(2027, 5, 10, 8) * 1000;
    const std::string strMissing = (m_dir / "none" / "usage.sqlite").string();
    EXPECT_EQ(
        CUsageRecorder(strMissing, clock, nullptr, CUsageRecorder::EMode::ReadOnly).GetStore(),
        nullptr);
    EXPECT_FALSE(std::filesystem::exists(m_dir / "none"));
    CUsageRecorder reader(m_strPath, clock, nullptr, CUsageRecorder::EMode::ReadOnly);
    CUsageRecorder service(m_strPath, clock, nullptr);
    for (CUsageRecorder* pRecorder : {&reader, &service}) {
        pRecorder->Observe(Snap({{"eth0", 0, 0}}));
        pRecorder->Observe(Snap({{"eth0", 1000, 2000}}));
        pRecorder->Flush(true);
    }
    EXPECT_FALSE(reader.HasPending());
    ASSERT_NE(reader.GetStore(), nullptr);
    EXPECT_EQ(Sum(*reader.GetStore(), ETier::Day, 0, kForever), Bytes(1000, 2000));
}

TEST_F(CStoreTest, DamagedAndUnknownFilesAreMovedAsideOnce) {
    CFakeClock clock;
    clock.nWallMs = Utc(2027, 5, 10, 8) * 1000;
    const auto fill = [&] {
        CUsageRecorder recorder(m_strPath, clock, {});
        recorder.Observe(Snap({}));
        for (int n = 1; n <= 300; ++n) {
            clock.Pass(300);
            recorder.Observe(Snap({{("dev" + std::to_string(n % 40)).c_str(), n, n}}));
            recorder.Flush();
        }
        recorder.Flush(true);
    };
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"damaged", [&] { std::ofstream(m_strPath) << std::string(8192, 'x'); }},
        {"damaged",
         [&] {
             fill();
             std::filesystem::resize_file(m_strPath, std::filesystem::file_size(m_strPath) / 2);
         }},
        {"unknown-version",
         [&] {
             fill();
             CSqlite db(m_strPath, SQLITE_OPEN_READWRITE);
             db.Exec("PRAGMA user_version = 2");
         }},
    };
    for (const auto& [strKind, make] : cases) {
        SCOPED_TRACE(strKind);
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        make();
        clock.Pass(1);
        std::vector<std::string> vecNotices;
        CUsageRecorder recorder(m_strPath, clock,
                                [&](const std::string& str) { vecNotices.push_back(str); });
        ASSERT_EQ(vecNotices.size(), 1u);
        const std::string strAside =
            m_strPath + "." + strKind + "-" + std::to_string(0); // prefix checked below
        EXPECT_NE(vecNotices[0].find("it was moved to " + m_strPath + "." + strKind + "-2027"),
                  std::string::npos)
            << vecNotices[0];
        int nAside = 0;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir)) {
            nAside += entry.path().filename().string().starts_with("usage.sqlite." + strKind) &&
                      !entry.path().string().ends_with("-wal");
        }
        EXPECT_EQ(nAside, 1);
        recorder.Observe(Snap({{"eth0", 0, 0}}));
        clock.Pass(5);
        recorder.Observe(Snap({{"eth0", 7, 9}}));
        recorder.Flush();
        EXPECT_EQ(Sum(*recorder.GetStore(), ETier::Month, 0, kForever), Bytes(7, 9));
        EXPECT_EQ(recorder.GetState(), CUsageRecorder::EState::Recording);
        (void)strAside;
    }
}

// A read-only folder and a disk that fills: one message each, counting goes on in memory, and
// once the file can be written again everything counted is in it, exactly.
TEST_F(CStoreTest, ReadOnlyFolderAndFullDiskLoseNothing) {
    const std::string strMount = m_dir.string();
    ASSERT_EQ(mount("tmpfs", strMount.c_str(), "tmpfs", 0, "size=256k"), 0) << std::strerror(errno);
    // Read-only for root too: a read-only mount on top of the folder, taken away later.
    ASSERT_EQ(mount(strMount.c_str(), strMount.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, strMount.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
              0);
    struct Unmount {
        std::string str;
        ~Unmount() {
            while (umount2(str.c_str(), MNT_DETACH) == 0) {
            }
        }
    } unmount{strMount};
    CFakeClock clock;
    clock.nWallMs = Utc(2027, 5, 10, 8) * 1000;
    std::vector<std::string> vecNotices;
    CUsageRecorder recorder(m_strPath, clock,
                            [&](const std::string& str) { vecNotices.push_back(str); });
    recorder.Observe(Snap({}));
    int64_t nTotal = 0;
    // Every device in a new five-minute bucket each time: each write needs new pages.
    const auto traffic = [&] {
        clock.Pass(300);
        ++nTotal;
        MeterSnapshot snapshot;
        for (int n = 0; n < 40; ++n) {
            DeviceSnapshot& device = snapshot.devices.emplace_back();
            device.strName = "device-with-a-long-name-" + std::to_string(n);
            device.nSentBytes = device.nRecvBytes = nTotal * 1000;
        }
        recorder.Observe(snapshot);
        recorder.Flush();
    };
    const auto expectAll = [&] {
        for (const ETier eTier : {ETier::Hour, ETier::Month}) {
            EXPECT_EQ(Sum(*recorder.GetStore(), eTier, 0, kForever),
                      Bytes(40 * nTotal * 1000, 40 * nTotal * 1000));
        }
    };
    traffic();
    traffic();
    ASSERT_EQ(vecNotices.size(), 1u);
    EXPECT_EQ(vecNotices[0],
              "cannot write the usage file " + m_strPath +
                  " (Read-only file system); counting goes on and writing is retried");
    EXPECT_EQ(recorder.GetState(), CUsageRecorder::EState::CannotWrite);
    ASSERT_EQ(umount2(strMount.c_str(), 0), 0);
    traffic();
    EXPECT_EQ(recorder.GetState(), CUsageRecorder::EState::Recording);
    expectAll();

    // Fill the disk to its last byte.
    {
        std::ofstream filler(m_dir / "filler", std::ios::binary);
        const std::string strBlock(4096, 'f');
        while (filler.write(strBlock.data(), strBlock.size()) && filler.flush()) {
        }
    }
    vecNotices.clear();
    for (int n = 0; n < 10; ++n) {
        traffic();
    }
    ASSERT_EQ(vecNotices.size(), 1u);
    EXPECT_NE(vecNotices[0].find("full"), std::string::npos) << vecNotices[0];
    EXPECT_TRUE(recorder.HasPending());
    std::filesystem::remove(m_dir / "filler");
    traffic();
    EXPECT_FALSE(recorder.HasPending());
    expectAll();
    CSqlite check(m_strPath, SQLITE_OPEN_READONLY);
    CSqliteStatement quick = check.Prepare("PRAGMA quick_check");
    ASSERT_TRUE(quick.Step());
    EXPECT_EQ(quick.GetText(0), "ok");
}

} // namespace
