// The report on a file that a recorder writes while the report reads it, at a fixed "now": the
// JSON's every bucket and the cycle against the store's own sums, the text's gaps and totals,
// views that start at the first recorded time, one family of units per view, the years, the
// largest days, ranges of days, one line for status bars and CSV; `orvek-report`'s exit statuses,
// and `orvek report` run through the window's binary without a display.

#include "Report.h"
#include "NetNs.h"
#include "PlanUsage.h"
#include "StoreSupport.h"
#include "UsageRecorder.h"
#include "ZarnFd.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>

using namespace orvektest;

namespace {

using ReportTest = CStoreTest;

MeterSnapshot Snap(int64_t nEthSent, int64_t nEthRecv, int64_t nWlanRecv) {
    MeterSnapshot snapshot;
    snapshot.devices.resize(2);
    snapshot.devices[0].strName = "eth0";
    snapshot.devices[0].nSentBytes = nEthSent;
    snapshot.devices[0].nRecvBytes = nEthRecv;
    snapshot.devices[1].strName = "wlan0";
    snapshot.devices[1].nRecvBytes = nWlanRecv;
    return snapshot;
}

std::string Report(const std::string& strArgs, int& nStatus) {
    CChildProcess report({"/bin/sh", "-c", std::string(ORVEK_REPORT) + " " + strArgs});
    nStatus = report.Wait();
    return report.GetStdout() + report.GetStderr();
}

// The tests' "now", never the wall clock's: early in December, so that the recorder's run three
// days before, the views and the plan's cycle reach into November.
const int64_t kNow = Utc(2026, 12, 2, 13, 30);

// The command as orvek-report's main runs it, but in this process and with nNowUtc for "now";
// what it printed, standard output first. Arguments are separated by spaces.
std::string ReportAt(int64_t nNowUtc, const std::string& strArgs, int& nStatus) {
    std::vector<std::string> args;
    std::istringstream words(strArgs);
    for (std::string strWord; words >> strWord;) {
        args.push_back(strWord);
    }
    CFakeClock clock;
    clock.nWallMs = nNowUtc * 1000;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    nStatus = RunReport(args, clock);
    std::string strOut = testing::internal::GetCapturedStdout();
    return strOut + testing::internal::GetCapturedStderr();
}

// One run of a recorder from nFrom for nSeconds, ending with the snapshot's counters.
void RecordRun(const std::string& strPath, int64_t nFrom, int64_t nSeconds,
               const MeterSnapshot& last) {
    CFakeClock clock;
    clock.nWallMs = nFrom * 1000;
    CUsageRecorder recorder(strPath, clock, {});
    MeterSnapshot first = last;
    for (DeviceSnapshot& device : first.devices) {
        device.nSentBytes = device.nRecvBytes = 0;
    }
    first.apps.clear();
    recorder.Observe(first);
    clock.Pass(nSeconds);
    recorder.Observe(last);
    recorder.Flush(true);
}

// The lines of a text that start with a prefix.
std::vector<std::string> LinesStarting(const std::string& strText, const std::string& strPrefix) {
    std::vector<std::string> lines;
    std::istringstream stream(strText);
    for (std::string strLine; std::getline(stream, strLine);) {
        if (strLine.starts_with(strPrefix)) {
            lines.push_back(strLine);
        }
    }
    return lines;
}

// Two runs of a recorder: one three days ago, one an hour ago that still holds the file open as
// its writer; nothing in between. The report's JSON, summed by python, equals the store's sums
// for every view; the text says which days nobody recorded.
TEST_F(ReportTest, JsonAndTextAgreeWithTheStoreWhileAWriterHoldsTheFile) {
    const int64_t nNow = kNow;
    CFakeClock clock;
    clock.nWallMs = (nNow - 3 * 86400) * 1000;
    {
        CUsageRecorder first(m_strPath, clock, {});
        first.Observe(Snap(0, 0, 0));
        clock.Pass(600);
        first.Observe(Snap(1000, 2000, 3000));
        first.Flush(true);
    }
    clock.nWallMs = (nNow - 3600) * 1000;
    CUsageRecorder writer(m_strPath, clock, {});
    writer.Observe(Snap(0, 0, 0));
    clock.Pass(1200);
    writer.Observe(Snap(10, 20, 30));
    writer.Flush();
    Plan plan;
    plan.nCycleDay = LocalDateOf(nNow - 3 * 86400).nDay;
    plan.nCapBytes = 4000;
    plan.eCounting = ECounting::ReceivedOnly;
    plan.devices = {"eth0"};
    SavePlan(*writer.GetStore(), plan);

    int nStatus = -1;
    const std::string strJsonPath = (m_dir / "report.json").string();
    std::ofstream(strJsonPath) << ReportAt(
        nNow, "--json --hours=72 --days=5 --months=2 --cycle --database " + m_strPath, nStatus);
    EXPECT_EQ(nStatus, 0);
    const std::string strSums =
        ShOut("python3 -c '\nimport json, sys\nd = json.load(sys.stdin)\n"
              "for k in (\"hours\", \"days\", \"months\"):\n"
              "    print(k, len(d[k]), sum(r[\"sent_bytes\"] for r in d[k]), "
              "sum(r[\"received_bytes\"] for r in d[k]), sum(1 for r in d[k] if "
              "r[\"recorded_seconds\"]))\n"
              "c = d[\"cycle\"]\n"
              "print(\"cycle\", c[\"used_bytes\"], c[\"cap_bytes\"], c[\"alerts_fired\"], "
              "sum(r[\"received_bytes\"] for r in c[\"days\"]), c[\"first_day\"], "
              "c[\"recorded_seconds\"], c[\"projection_basis\"], c[\"projected_bytes\"])' < " +
              strJsonPath);
    CUsageStore& store = *writer.GetStore();
    const auto line = [&](const char* szKey, size_t nRows, ETier eTier, int nCount) {
        // The days and months from the first recorded one, 2026-11-29, on.
        const std::vector<ReportRow> rows = ReadRows(store, eTier, nCount, nNow);
        const auto [nSent, nRecv] = Sum(store, eTier, rows.front().nStart, rows.back().nEnd);
        const size_t nRecorded = std::count_if(
            rows.begin(), rows.end(), [](const ReportRow& row) { return row.nRecorded > 0; });
        return std::string(szKey) + " " + std::to_string(nRows) + " " + std::to_string(nSent) +
               " " + std::to_string(nRecv) + " " + std::to_string(nRecorded) + "\n";
    };
    const PlanStatus status = ComputePlanStatus(plan, &store, {}, nNow);
    EXPECT_EQ(status.nUsed, 2020);
    EXPECT_EQ(strSums, line("hours", 72, ETier::Hour, 72) + line("days", 4, ETier::Day, 5) +
                           line("months", 2, ETier::Month, 2) + "cycle 2020 4000 [] 2020 " +
                           FormatDate(LocalDateOf(nNow - 3 * 86400)) +
                           // Ten minutes and twenty recorded: too little to project from.
                           " 1800 none None\n");
    EXPECT_EQ(Sum(store, ETier::Month, 0, nNow + 86400 * 40),
              std::make_pair(int64_t{1010}, int64_t{5050}));

    const std::string strText = ReportAt(nNow, "--days=4 --database " + m_strPath, nStatus);
    EXPECT_EQ(nStatus, 0) << strText;
    EXPECT_NE(strText.find(FormatDate(LocalDateOf(nNow - 2 * 86400)) + "         not recorded\n"),
              std::string::npos)
        << strText;
    EXPECT_NE(strText.find("all                    4.93 KiB       1010 B     5.92 KiB\n"),
              std::string::npos)
        << strText;
    // Partly recorded days say how much; today's so far.
    EXPECT_NE(strText.find("  (recorded 10 min of 24 h)\n"), std::string::npos) << strText;
    EXPECT_NE(strText.find("  (recorded 20 min of 14 h 30 min so far)\n"), std::string::npos)
        << strText;
}

// `--by app`: today's and this month's applications as the store holds them, in JSON every
// bucket's rows adding up to its devices' bytes (the rest "not_recorded"), in text the largest.
TEST_F(ReportTest, ApplicationsByDayAndMonth) {
    const int64_t nNow = kNow;
    CFakeClock clock;
    clock.nWallMs = (nNow - 60) * 1000;
    CUsageRecorder recorder(m_strPath, clock, {});
    recorder.Observe(Snap(0, 0, 0));
    clock.Pass(30);
    MeterSnapshot snapshot = Snap(3000, 20000, 5000);
    snapshot.apps = {
        {"org.mozilla.firefox", 0, 2000, 15000, 3},
        {"sshd.service", 0, 1000, 4000, 1},
        {"not attributed: no socket here (forwarded, or another namespace)", 1, 0, 2000, 0},
        {"not attributed yet", static_cast<uint32_t>(EUnattributed::Pending), 0, 4000, 0}};
    recorder.Observe(snapshot);
    recorder.Flush();
    int nStatus = -1;
    const std::string strJsonPath = (m_dir / "report.json").string();
    std::ofstream(strJsonPath) << ReportAt(
        nNow, "--json --days=1 --months=1 --by app --database " + m_strPath, nStatus);
    EXPECT_EQ(nStatus, 0);
    const std::string strJson =
        ShOut("python3 -c '\nimport json, sys\nd = json.load(sys.stdin)\n"
              "for k in (\"days\", \"months\"):\n"
              "    r = d[k][-1]\n"
              "    a = r[\"applications\"]\n"
              "    print(k, [(x[\"name\"], x[\"kind\"], x[\"received_bytes\"]) for x in a], "
              "sum(x[\"sent_bytes\"] for x in a) == r[\"sent_bytes\"], "
              "sum(x[\"received_bytes\"] for x in a) == r[\"received_bytes\"])' < " +
              strJsonPath);
    const std::string strRows =
        "[('org.mozilla.firefox', 'application', 15000), ('sshd.service', 'application', 4000), "
        "('not attributed: no socket here (forwarded, or another namespace)', 'not_attributed', "
        "2000), ("
        "'not attributed when written', 'not_recorded', 4000)] True True\n";
    EXPECT_EQ(strJson, "days " + strRows + "months " + strRows);
    const std::string strText =
        ReportAt(nNow, "--months=1 --by app --database " + m_strPath, nStatus);
    EXPECT_EQ(nStatus, 0) << strText;
    EXPECT_NE(strText.find("\norg.mozilla.firefox                         14.65 KiB     1.95 KiB "
                           "   16.60 KiB\nsshd.service "),
              std::string::npos)
        << strText;
    EXPECT_NE(strText.find("\nnot attributed when written                  3.91 KiB          0 B"),
              std::string::npos)
        << strText;
    // A reason wider than the column is whole, on a line of its own above its figures.
    EXPECT_NE(strText.find("\nnot attributed: no socket here (forwarded, or another namespace)\n"
                           "                                             1.95 KiB          0 B"),
              std::string::npos)
        << strText;
}

// Names are bytes. In JSON "café" stays café (a file, a device, an application); quotes and control
// characters are escaped; bytes that are not UTF-8 make valid JSON and stay apart from a name
// that reads alike. On a fixed day, in-process: nothing here depends on today's date.
TEST_F(ReportTest, JsonKeepsUtf8NamesAndEscapesTheRest) {
    const int64_t nNow = Utc(2025, 3, 10, 12);
    const std::string strPath = (m_dir / "caf\xC3\xA9.sqlite").string();
    CFakeClock clock;
    clock.nWallMs = (nNow - 60) * 1000;
    CUsageRecorder recorder(strPath, clock, {});
    MeterSnapshot snapshot;
    for (const char* szName : {"caf\xC3\xA9", "q\"\n\t", "v\xFF", "v\\xff"}) {
        snapshot.devices.emplace_back().strName = szName;
    }
    recorder.Observe(snapshot);
    clock.Pass(30);
    for (size_t n = 0; n < snapshot.devices.size(); ++n) {
        snapshot.devices[n].nRecvBytes = 100 * static_cast<int64_t>(n + 1);
    }
    snapshot.nRecvBytes = 1000;
    snapshot.apps = {{"caf\xC3\xA9", 0, 0, 600, 1}, {"x\xFE\"\n", 0, 0, 400, 1}};
    recorder.Observe(snapshot);
    recorder.Flush();
    Plan plan;
    plan.nCapBytes = 4000;
    plan.devices = {"v\xFF"};
    SavePlan(*recorder.GetStore(), plan);

    ReportOptions options;
    options.nDays = 1;
    options.bCycle = options.bJson = options.bByApp = true;
    const std::string strJson = MakeReport(*recorder.GetStore(), options, nNow);
    nlohmann::json report; // strict: refuses bytes that are not UTF-8
    ASSERT_NO_THROW(report = nlohmann::json::parse(strJson)) << strJson;
    EXPECT_EQ(report["database"], strPath);
    const auto bytes = [](int64_t nRecv) {
        return nlohmann::json{{"sent_bytes", 0}, {"received_bytes", nRecv}};
    };
    EXPECT_EQ(report["days"][0]["devices"], nlohmann::json({{"caf\xC3\xA9", bytes(100)},
                                                            {"q\"\n\t", bytes(200)},
                                                            {"v\\xff", bytes(300)},
                                                            {"v\\\\xff", bytes(400)}}))
        << strJson;
    EXPECT_EQ(
        report["days"][0]["applications"],
        nlohmann::json::parse(R"([{"name":"café","kind":"application","sent_bytes":0,)"
                              R"("received_bytes":600},{"name":"x\\xfe\"\n",)"
                              R"("kind":"application","sent_bytes":0,"received_bytes":400}])"))
        << strJson;
    EXPECT_EQ(report["cycle"]["devices"], nlohmann::json({"v\\xff"})) << strJson;
    EXPECT_EQ(report["cycle"]["days"].back()["devices"], nlohmann::json({{"v\\xff", bytes(300)}}))
        << strJson;
    // The command prints the same: its file's name read back as written.
    int nStatus = -1;
    const std::string strOut = ReportAt(nNow, "--json --database " + strPath, nStatus);
    EXPECT_EQ(nStatus, 0) << strOut;
    const auto printed = nlohmann::json::parse(strOut, nullptr, false);
    EXPECT_TRUE(printed.is_object() && printed.value("database", "") == strPath) << strOut;
}

TEST_F(ReportTest, CommandLineAndExitStatuses) {
    int nStatus = -1;
    EXPECT_EQ(Report("--help", nStatus), ReportUsage());
    EXPECT_EQ(nStatus, 0);
    // --help lists every option, with its value's name.
    for (const char* szOption :
         {"--hours[=N]", "--days[=N]", "--months[=N]", "--years[=N]", "--top[=N]", "--begin DATE",
          "--end DATE", "--cycle", "--oneline", "--json", "--csv", "--units binary|decimal",
          "--by app|device", "--database FILE", "--socket PATH", "--help"}) {
        EXPECT_NE(std::string(ReportUsage()).find(std::string("\n  ") + szOption + " "),
                  std::string::npos)
            << szOption;
    }
    // A refusal: one line naming the option or argument, then the usage.
    for (const auto& [strBad, strNamed] : std::vector<std::pair<std::string, std::string>>{
             {"--days=0", "--days"},
             {"--hours=400", "--hours"},
             {"--months=1201", "--months"},
             {"--weeks", "--weeks"},
             {"-w", "-w"},
             {"--database", "--database"},
             {"--database=", "--database"},
             {"--json=1", "--json"},
             {"--by=cpu", "--by"},
             {"--hours --by app", "--by app"},
             {"--by", "--by"},
             {"--days 5", "'5'"},
             {"--top=0", "--top"},
             {"--years=101", "--years"},
             {"--units=si", "--units"},
             {"--begin 2026-02-29", "--begin"},
             {"--begin 2026-13-01", "--begin"},
             {"--end 2026-1-05", "--end"},
             {"--begin 1969-12-31", "--begin"},
             {"--begin=+026-12-01", "--begin"},
             {"--begin 2026-12-09 --end 2026-12-08", "--end 2026-12-08 is before"},
             {"--json --csv", "--csv"},
             {"--oneline --csv", "--csv"},
             {"--oneline --days", "--days"},
             {"--oneline --cycle", "--cycle"},
             {"--top --by app", "--by app"},
             {"--csv --by app --cycle", "--cycle"}}) {
        const std::string strOut = Report(strBad, nStatus);
        EXPECT_EQ(nStatus, 2) << strBad;
        EXPECT_TRUE(strOut.starts_with("orvek report: ")) << strOut;
        const std::string strLine = strOut.substr(0, strOut.find('\n') + 1);
        EXPECT_NE(strLine.find(strNamed), std::string::npos) << strOut;
        EXPECT_EQ(strOut.substr(strLine.size()), ReportUsage()) << strOut;
    }
    EXPECT_EQ(Report("--database " + m_strPath, nStatus),
              "orvek report: " + m_strPath + " does not exist: no usage was recorded there yet\n");
    EXPECT_EQ(nStatus, 1);
    std::ofstream(m_strPath) << "not a database";
    EXPECT_TRUE(
        Report("--database " + m_strPath, nStatus).starts_with("orvek report: cannot read "));
    EXPECT_EQ(nStatus, 1);
    std::filesystem::remove(m_strPath);
    CFakeClock clock;
    clock.nWallMs = kNow * 1000;
    CUsageRecorder recorder(m_strPath, clock, {});
    EXPECT_EQ(Report("--cycle --database " + m_strPath, nStatus),
              "orvek report: no data plan is set in " + m_strPath + "\n");
    EXPECT_EQ(nStatus, 1);
#ifdef ORVEK_BINARY
    // The window's binary hands `report` over without starting Qt: no display is needed.
    CChildProcess viaWindow({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u",
                             "QT_QPA_PLATFORM", ORVEK_BINARY, "report", "--database", m_strPath});
    EXPECT_EQ(viaWindow.Wait(), 0) << viaWindow.GetStderr();
    EXPECT_TRUE(viaWindow.GetStdout().starts_with("Nothing recorded yet\n\nDay "))
        << viaWindow.GetStdout();
#endif
}

// A file started on 2026-12-08 at 14:02, recorded for ten minutes then and for an hour on the
// 10th. Every view starts at the first recorded bucket and says since when; the 9th inside it
// stays "not recorded", never 0 B; partly recorded buckets say how much was. JSON leaves the
// earlier buckets out and names the first recorded second; CSV leaves a gap's bytes empty.
TEST_F(ReportTest, ViewsStartAtTheFirstRecordedTime) {
    int nStatus = -1;
    const int64_t nNow = Utc(2026, 12, 10, 15, 30); // 16:30 in Berlin
    {
        CFakeClock clock;
        clock.nWallMs = kNow * 1000;
        CUsageRecorder empty(m_strPath, clock, {});
    }
    // An empty file: nothing, not a month of zeros.
    EXPECT_EQ(ReportAt(nNow, "--database " + m_strPath, nStatus),
              "Nothing recorded yet\n\nDay                    Received         Sent        Total\n"
              "all                not recorded\n");
    const auto empty =
        nlohmann::json::parse(ReportAt(nNow, "--json --months --database " + m_strPath, nStatus));
    EXPECT_TRUE(empty["recorded_since"].is_null() && empty["months"].empty()) << empty;

    RecordRun(m_strPath, Utc(2026, 12, 8, 13, 2), 600, Snap(1000, 2'000'000, 0));
    RecordRun(m_strPath, Utc(2026, 12, 10, 13, 0), 3600, Snap(500, 1'000'000, 3000));
    const std::string strText = ReportAt(nNow, "--database " + m_strPath, nStatus);
    EXPECT_EQ(nStatus, 0) << strText;
    EXPECT_TRUE(strText.starts_with("Recorded since 2026-12-08 14:02\n\nDay ")) << strText;
    const std::vector<std::string> days = LinesStarting(strText, "2026-");
    ASSERT_EQ(days.size(), 3u) << strText;
    EXPECT_EQ(days[0], "2026-12-08             1.91 MiB       1000 B     1.91 MiB  (recorded 10 "
                       "min of 24 h)");
    EXPECT_EQ(days[1], "2026-12-09         not recorded");
    EXPECT_EQ(days[2], "2026-12-10           979.49 KiB        500 B   979.98 KiB  (recorded 1 h "
                       "of 16 h 30 min so far)");

    // Hours from 14:00 on the 8th, the hour nobody recorded said so, and the hour under way.
    const std::string strHours = ReportAt(nNow, "--hours=72 --database " + m_strPath, nStatus);
    const std::vector<std::string> hours = LinesStarting(strHours, "2026-");
    ASSERT_EQ(hours.size(), 51u) << strHours;
    EXPECT_EQ(hours.front(), "2026-12-08 14:00       1.91 MiB       1000 B     1.91 MiB  (recorded "
                             "10 min of 1 h)");
    EXPECT_EQ(hours[1], "2026-12-08 15:00   not recorded");
    EXPECT_EQ(hours.back(), "2026-12-10 16:00   not recorded");

    const auto report = nlohmann::json::parse(ReportAt(
        nNow, "--json --days --hours=72 --months --years --database " + m_strPath, nStatus));
    EXPECT_EQ(report["recorded_since"], "2026-12-08T14:02:00+01:00");
    EXPECT_EQ(report["recorded_since_utc"], Utc(2026, 12, 8, 13, 2));
    EXPECT_EQ(report["days"].size(), 3u);
    EXPECT_EQ(report["days"][0]["start"], "2026-12-08T00:00:00+01:00");
    EXPECT_EQ(report["days"][1]["recorded_seconds"], 0);
    EXPECT_EQ(report["hours"].size(), 51u);
    EXPECT_EQ(report["months"].size(), 1u);
    EXPECT_EQ(report["years"].size(), 1u);
    EXPECT_EQ(report["years"][0]["received_bytes"], 3'003'000);

    EXPECT_EQ(ReportAt(nNow, "--csv --begin 2026-12-09 --database " + m_strPath, nStatus),
              "view,start,start_utc,end_utc,sent_bytes,received_bytes,recorded_seconds,"
              "elapsed_seconds\r\n"
              "day,2026-12-09T00:00:00+01:00," +
                  std::to_string(Utc(2026, 12, 8, 23)) + "," +
                  std::to_string(Utc(2026, 12, 9, 23)) +
                  ",,,0,86400\r\n"
                  "day,2026-12-10T00:00:00+01:00," +
                  std::to_string(Utc(2026, 12, 9, 23)) + "," +
                  std::to_string(Utc(2026, 12, 10, 23)) + ",500,1003000,3600,59400\r\n");
}

// One family of units per view: the tables in --units' (binary by default), the plan's figures in
// its unit and the cycle's days in the same family, whatever --units says.
TEST_F(ReportTest, OneFamilyOfUnitsPerView) {
    int nStatus = -1;
    const int64_t nNow = Utc(2026, 12, 10, 15, 30);
    RecordRun(m_strPath, Utc(2026, 12, 10, 10, 0), 600, Snap(0, 273'460'000, 0));
    {
        CFakeClock clock;
        clock.nWallMs = nNow * 1000;
        CUsageStore store(m_strPath, CUsageStore::EAccess::Share, nNow);
        Plan plan;
        plan.nCapBytes = 220'000'000;
        plan.eUnit = ECapUnit::MB;
        SavePlan(store, plan);
    }
    const auto sections = [&](const std::string& strArgs) {
        const std::string strText = ReportAt(nNow, strArgs + " --database " + m_strPath, nStatus);
        const size_t nCycle = strText.find("Plan cycle ");
        return std::make_pair(strText.substr(0, nCycle),
                              nCycle == std::string::npos ? "" : strText.substr(nCycle));
    };
    const auto [strDays, strCycle] = sections("--days=1 --cycle");
    EXPECT_NE(strDays.find(" 260.79 MiB "), std::string::npos) << strDays;
    EXPECT_TRUE(strCycle.starts_with("Plan cycle 2026-12-01 to 2026-12-31: 273.46 MB of 220.00 MB "
                                     "used (124.3 %)"))
        << strCycle;
    EXPECT_NE(strCycle.find("\n2026-12-10            273.46 MB          0 B    273.46 MB"),
              std::string::npos)
        << strCycle;
    EXPECT_EQ(strCycle.find("iB"), std::string::npos) << strCycle;

    const auto [strDecimal, strSameCycle] = sections("--days=1 --cycle --units decimal");
    EXPECT_NE(strDecimal.find(" 273.46 MB "), std::string::npos) << strDecimal;
    EXPECT_EQ(strDecimal.find("iB"), std::string::npos) << strDecimal;
    EXPECT_EQ(strSameCycle, strCycle);
    // A binary plan keeps binary days under a decimal table.
    {
        CUsageStore store(m_strPath, CUsageStore::EAccess::Share, nNow);
        Plan plan;
        plan.nCapBytes = 1LL << 30;
        plan.eUnit = ECapUnit::GiB;
        SavePlan(store, plan);
    }
    const auto [strStillDecimal, strBinaryCycle] = sections("--days=1 --cycle --units decimal");
    EXPECT_EQ(strStillDecimal, strDecimal);
    EXPECT_NE(strBinaryCycle.find("0.25 GiB of 1.00 GiB used"), std::string::npos)
        << strBinaryCycle;
    EXPECT_NE(strBinaryCycle.find(" 260.79 MiB "), std::string::npos) << strBinaryCycle;
    EXPECT_EQ(strBinaryCycle.find(" MB"), std::string::npos) << strBinaryCycle;
}

// Recorded on 2025-06-15 (5 MB), 2026-11-20 (3 MB), 2026-12-08 (7 MB) and 2026-12-09 (1 MB):
// years summed from the months, the largest days largest first, ranges of days inclusive and
// within what the tier keeps, and CSV's quoting of an application's name.
TEST_F(ReportTest, YearsLargestDaysAndRanges) {
    int nStatus = -1;
    const int64_t nNow = Utc(2026, 12, 10, 11, 0);
    RecordRun(m_strPath, Utc(2025, 6, 15, 10, 0), 60, Snap(0, 5'000'000, 0));
    RecordRun(m_strPath, Utc(2026, 11, 20, 10, 0), 60, Snap(0, 3'000'000, 0));
    RecordRun(m_strPath, Utc(2026, 12, 8, 10, 0), 60, Snap(0, 7'000'000, 0));
    MeterSnapshot last = Snap(0, 1'000'000, 0);
    last.apps = {{"a,\"b\"\nc", 0, 0, 1'000'000, 1}};
    RecordRun(m_strPath, Utc(2026, 12, 9, 10, 0), 60, last);
    const auto json = [&](const std::string& strArgs) {
        return nlohmann::json::parse(
            ReportAt(nNow, "--json " + strArgs + " --database " + m_strPath, nStatus));
    };
    const auto starts = [](const nlohmann::json& rows) {
        std::vector<std::string> vec;
        for (const auto& row : rows) {
            vec.push_back(row["start"].get<std::string>().substr(0, 10) + " " +
                          std::to_string(row["received_bytes"].get<int64_t>()));
        }
        return vec;
    };
    using Rows = std::vector<std::string>;
    EXPECT_EQ(starts(json("--years")["years"]),
              (Rows{"2025-01-01 5000000", "2026-01-01 11000000"}));
    const std::string strYears = ReportAt(nNow, "--years --database " + m_strPath, nStatus);
    EXPECT_EQ(LinesStarting(strYears, "20"),
              (Rows{"2025                   4.77 MiB          0 B     4.77 MiB  (recorded 1 min "
                    "of 365 days)",
                    "2026                  10.49 MiB          0 B    10.49 MiB  (recorded 3 min "
                    "of 343 days 12 h so far)"}))
        << strYears;
    const nlohmann::json months = json("--months=24")["months"];
    EXPECT_EQ(months.size(), 19u); // 2025-06 to 2026-12
    EXPECT_EQ(months[1]["recorded_seconds"], 0);

    EXPECT_EQ(starts(json("--top=3")["top_days"]),
              (Rows{"2026-12-08 7000000", "2025-06-15 5000000", "2026-11-20 3000000"}));
    EXPECT_EQ(starts(json("--top=5 --begin 2026-11-01 --end 2026-12-08")["top_days"]),
              (Rows{"2026-12-08 7000000", "2026-11-20 3000000"}));
    const std::string strTop = ReportAt(nNow, "--top=2 --database " + m_strPath, nStatus);
    EXPECT_EQ(LinesStarting(strTop, "20"),
              (Rows{"2026-12-08             6.68 MiB          0 B     6.68 MiB  (recorded 1 min "
                    "of 24 h)",
                    "2025-06-15             4.77 MiB          0 B     4.77 MiB  (recorded 1 min "
                    "of 24 h)"}))
        << strTop;

    EXPECT_EQ(starts(json("--begin 2026-12-07 --end 2026-12-09")["days"]),
              (Rows{"2026-12-07 0", "2026-12-08 7000000", "2026-12-09 1000000"}));
    EXPECT_EQ(starts(json("--months --begin 2026-11-30 --end 2026-12-01")["months"]),
              (Rows{"2026-11-01 3000000", "2026-12-01 8000000"}));
    EXPECT_TRUE(json("--begin 2027-01-01")["days"].empty());
    // Hours are kept 14 days: a range reaching further starts there.
    const nlohmann::json rangeHours = json("--hours --begin 2026-11-01 --end 2026-12-09")["hours"];
    ASSERT_FALSE(rangeHours.empty());
    EXPECT_GE(rangeHours.front()["start_utc"], nNow - 14 * 86400);
    EXPECT_LT(rangeHours.front()["start_utc"], nNow - 14 * 86400 + 3600);
    EXPECT_EQ(rangeHours.back()["start"], "2026-12-09T23:00:00+01:00");

    EXPECT_EQ(
        ReportAt(nNow, "--csv --by app --begin 2026-12-09 --end 2026-12-09 --database " + m_strPath,
                 nStatus),
        "view,start,start_utc,end_utc,application,kind,sent_bytes,received_bytes\r\n"
        "day,2026-12-09T00:00:00+01:00," +
            std::to_string(Utc(2026, 12, 8, 23)) + "," + std::to_string(Utc(2026, 12, 9, 23)) +
            ",\"a,\"\"b\"\"\nc\",application,0,1000000\r\n");
}

// --oneline: today, this month and the plan in a fixed order, for status bars; as JSON a small
// object with exact bytes.
TEST_F(ReportTest, OnelineForStatusBars) {
    int nStatus = -1;
    const int64_t nNow = Utc(2026, 12, 10, 15, 30);
    RecordRun(m_strPath, Utc(2026, 12, 2, 10, 0), 60, Snap(0, 50'434'016'768, 0));
    EXPECT_EQ(ReportAt(nNow, "--oneline --database " + m_strPath, nStatus),
              "today not recorded \u00b7 December 47.0 GiB \u00b7 no plan\n");
    RecordRun(m_strPath, Utc(2026, 12, 10, 10, 0), 60, Snap(0, 1'320'000'000, 0));
    {
        CUsageStore store(m_strPath, CUsageStore::EAccess::Share, nNow);
        Plan plan;
        plan.nCapBytes = 100'000'000'000;
        SavePlan(store, plan);
    }
    EXPECT_EQ(ReportAt(nNow, "--oneline --database " + m_strPath, nStatus),
              "today 1.23 GiB \u00b7 December 48.2 GiB \u00b7 plan 51 % of 100 GB\n");
    EXPECT_EQ(ReportAt(nNow, "--oneline --units decimal --database " + m_strPath, nStatus),
              "today 1.32 GB \u00b7 December 51.8 GB \u00b7 plan 51 % of 100 GB\n");
    const auto line =
        nlohmann::json::parse(ReportAt(nNow, "--oneline --json --database " + m_strPath, nStatus));
    EXPECT_EQ(line["today"]["received_bytes"], 1'320'000'000);
    EXPECT_EQ(line["month"]["received_bytes"], 51'754'016'768);
    EXPECT_EQ(line["month"]["start"], "2026-12-01T00:00:00+01:00");
    EXPECT_EQ(line["plan"], nlohmann::json::parse(R"({"used_bytes":51754016768,)"
                                                  R"("cap_bytes":100000000000,"unit":"GB",)"
                                                  R"("percent":51})"));
}

} // namespace

namespace {

// Without --database the report reads the service's file when the service answers (or when the
// user's own file does not exist); a socket named that does not answer is an error.
TEST_F(ReportTest, DefaultFileIsTheServicesWhenItAnswers) {
    const std::string strOwn = (m_dir / "own.sqlite").string();
    EXPECT_EQ(ChooseReportFile(false, m_strPath, strOwn), strOwn); // neither exists
    RecordRun(m_strPath, kNow - 3600, 600, Snap(1000, 2000, 0));
    EXPECT_EQ(ChooseReportFile(false, m_strPath, strOwn), m_strPath);
    std::ofstream(strOwn).put('x');
    EXPECT_EQ(ChooseReportFile(false, m_strPath, strOwn), strOwn);

    // A service that answers on the variable's socket; its file under ORVEK_STATE_DIR.
    const std::string strSocket = (m_dir / "s.sock").string();
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    strSocket.copy(address.sun_path, sizeof address.sun_path - 1);
    const CZarnFd hListen(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(bind(hListen.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(hListen.Get(), 4), 0);
    setenv("ORVEK_STATE_DIR", m_dir.c_str(), 1);
    setenv("ORVEK_SOCKET", strSocket.c_str(), 1);
    int nStatus = -1;
    const auto printed = nlohmann::json::parse(ReportAt(kNow, "--json", nStatus), nullptr, false);
    EXPECT_TRUE(nStatus == 0 && printed.value("database", "") == m_strPath) << printed.dump();
    EXPECT_EQ(ReportAt(kNow, "--socket " + strOwn, nStatus),
              "orvek report: Orvek's service does not answer at " + strOwn +
                  " (named by --socket): Connection refused\n");
    EXPECT_EQ(nStatus, 1);
    unsetenv("ORVEK_SOCKET");
    unsetenv("ORVEK_STATE_DIR");
}

} // namespace
