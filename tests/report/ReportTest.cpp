// `orvek-report` on a file that a recorder writes while the report reads it: the JSON's every
// bucket and the cycle against the store's own sums, the text's gaps and totals, exit statuses,
// and `orvek report` run through the window's binary without a display.

#include "Report.h"
#include "NetNs.h"
#include "PlanUsage.h"
#include "StoreSupport.h"
#include "UsageRecorder.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>
#include <fstream>

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

// Two runs of a recorder: one three days ago, one an hour ago that still holds the file open as
// its writer; nothing in between. The report's JSON, summed by python, equals the store's sums
// for every view; the text says which days nobody recorded.
TEST_F(ReportTest, JsonAndTextAgreeWithTheStoreWhileAWriterHoldsTheFile) {
    const int64_t nNow = std::time(nullptr);
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
    const std::string strSums =
        ShOut(std::string(ORVEK_REPORT) +
              " --json --hours=72 --days=5 --months=2 --cycle --database " + m_strPath +
              " | python3 -c '\nimport json, sys\nd = json.load(sys.stdin)\n"
              "for k in (\"hours\", \"days\", \"months\"):\n"
              "    print(k, len(d[k]), sum(r[\"sent_bytes\"] for r in d[k]), "
              "sum(r[\"received_bytes\"] for r in d[k]), sum(1 for r in d[k] if "
              "r[\"recorded_seconds\"]))\n"
              "c = d[\"cycle\"]\n"
              "print(\"cycle\", c[\"used_bytes\"], c[\"cap_bytes\"], c[\"alerts_fired\"], "
              "sum(r[\"received_bytes\"] for r in c[\"days\"]), c[\"first_day\"], "
              "c[\"recorded_seconds\"], c[\"projection_basis\"], c[\"projected_bytes\"])'");
    CUsageStore& store = *writer.GetStore();
    const auto line = [&](const char* szKey, size_t nRows, ETier eTier, int nCount) {
        const std::vector<ReportRow> rows = ReadRows(store, eTier, nCount, nNow);
        const auto [nSent, nRecv] = Sum(store, eTier, rows.front().nStart, rows.back().nEnd);
        const size_t nRecorded = std::count_if(
            rows.begin(), rows.end(), [](const ReportRow& row) { return row.nRecorded > 0; });
        return std::string(szKey) + " " + std::to_string(nRows) + " " + std::to_string(nSent) +
               " " + std::to_string(nRecv) + " " + std::to_string(nRecorded) + "\n";
    };
    const PlanStatus status = ComputePlanStatus(plan, &store, {}, nNow);
    EXPECT_EQ(status.nUsed, 2020);
    EXPECT_EQ(strSums, line("hours", 72, ETier::Hour, 72) + line("days", 5, ETier::Day, 5) +
                           line("months", 2, ETier::Month, 2) + "cycle 2020 4000 [] 2020 " +
                           FormatDate(LocalDateOf(nNow - 3 * 86400)) +
                           // Ten minutes and twenty recorded: too little to project from.
                           " 1800 none None\n");
    EXPECT_EQ(Sum(store, ETier::Month, 0, nNow + 86400 * 40),
              std::make_pair(int64_t{1010}, int64_t{5050}));

    const std::string strText = Report("--days=4 --database " + m_strPath, nStatus);
    EXPECT_EQ(nStatus, 0) << strText;
    EXPECT_NE(strText.find(FormatDate(LocalDateOf(nNow - 2 * 86400)) + "         not recorded\n"),
              std::string::npos)
        << strText;
    EXPECT_NE(strText.find("all                    4.93 KiB       1010 B     5.92 KiB\n"),
              std::string::npos)
        << strText;
    EXPECT_NE(strText.find("(partly recorded)"), std::string::npos) << strText;
}

// `--by app`: today's and this month's applications as the store holds them, in JSON every
// bucket's rows adding up to its devices' bytes (the rest "not_recorded"), in text the largest.
TEST_F(ReportTest, ApplicationsByDayAndMonth) {
    const int64_t nNow = std::time(nullptr);
    CFakeClock clock;
    clock.nWallMs = (nNow - 60) * 1000;
    CUsageRecorder recorder(m_strPath, clock, {});
    recorder.Observe(Snap(0, 0, 0));
    clock.Pass(30);
    MeterSnapshot snapshot = Snap(3000, 20000, 5000);
    snapshot.apps = {
        {"org.mozilla.firefox", 0, 2000, 15000, 3},
        {"sshd.service", 0, 1000, 4000, 1},
        {"not attributed: not TCP or UDP", 1, 0, 2000, 0},
        {"not attributed yet", static_cast<uint32_t>(EUnattributed::Pending), 0, 4000, 0}};
    recorder.Observe(snapshot);
    recorder.Flush();
    int nStatus = -1;
    const std::string strJson = ShOut(
        std::string(ORVEK_REPORT) + " --json --days=1 --months=1 --by app --database " + m_strPath +
        " | python3 -c '\nimport json, sys\nd = json.load(sys.stdin)\n"
        "for k in (\"days\", \"months\"):\n"
        "    r = d[k][-1]\n"
        "    a = r[\"applications\"]\n"
        "    print(k, [(x[\"name\"], x[\"kind\"], x[\"received_bytes\"]) for x in a], "
        "sum(x[\"sent_bytes\"] for x in a) == r[\"sent_bytes\"], "
        "sum(x[\"received_bytes\"] for x in a) == r[\"received_bytes\"])'");
    const std::string strRows =
        "[('org.mozilla.firefox', 'application', 15000), ('sshd.service', 'application', 4000), "
        "('not attributed: not TCP or UDP', 'not_attributed', 2000), ("
        "'not attributed when written', 'not_recorded', 4000)] True True\n";
    EXPECT_EQ(strJson, "days " + strRows + "months " + strRows);
    const std::string strText = Report("--months=1 --by app --database " + m_strPath, nStatus);
    EXPECT_EQ(nStatus, 0) << strText;
    EXPECT_NE(strText.find("\norg.mozilla.firefox                         14.65 KiB     1.95 KiB "
                           "   16.60 KiB\nsshd.service "),
              std::string::npos)
        << strText;
    EXPECT_NE(strText.find("\nnot attributed when written                  3.91 KiB          0 B"),
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
    // The program prints the same: its file's name read back as written, whatever today is.
    int nStatus = -1;
    const std::string strOut = Report("--json --database '" + strPath + "'", nStatus);
    EXPECT_EQ(nStatus, 0) << strOut;
    const auto printed = nlohmann::json::parse(strOut, nullptr, false);
    EXPECT_TRUE(printed.is_object() && printed.value("database", "") == strPath) << strOut;
}

TEST_F(ReportTest, CommandLineAndExitStatuses) {
    int nStatus = -1;
    EXPECT_EQ(Report("--help", nStatus), ReportUsage());
    EXPECT_EQ(nStatus, 0);
    // --help lists every option, with its value's name.
    for (const char* szOption : {"--hours[=N]", "--days[=N]", "--months[=N]", "--cycle", "--json",
                                 "--by app|device", "--database FILE", "--help"}) {
        EXPECT_NE(std::string(ReportUsage()).find(std::string("\n  ") + szOption + " "),
                  std::string::npos)
            << szOption;
    }
    // A refusal: one line naming the option or argument, then the usage.
    for (const auto& [strBad, strNamed] :
         std::vector<std::pair<std::string, std::string>>{{"--days=0", "--days"},
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
                                                          {"--days 5", "'5'"}}) {
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
    clock.nWallMs = std::time(nullptr) * 1000LL;
    CUsageRecorder recorder(m_strPath, clock, {});
    EXPECT_EQ(Report("--cycle --database " + m_strPath, nStatus),
              "orvek report: no data plan is set in " + m_strPath + "\n");
    EXPECT_EQ(nStatus, 1);
#ifdef ORVEK_BINARY
    // The window's binary hands `report` over without starting Qt: no display is needed.
    CChildProcess viaWindow({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u",
                             "QT_QPA_PLATFORM", ORVEK_BINARY, "report", "--database", m_strPath});
    EXPECT_EQ(viaWindow.Wait(), 0) << viaWindow.GetStderr();
    EXPECT_TRUE(viaWindow.GetStdout().starts_with("Day ")) << viaWindow.GetStdout();
#endif
}

} // namespace
