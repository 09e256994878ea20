#include "Report.h"

#include "AppHistory.h"
#include "JsonText.h"
#include "RecordedTime.h"
#include "Units.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <filesystem>

namespace {

using nlohmann::ordered_json;

// The applications a text report lists; the rest is one row.
constexpr size_t kTopApplications = 20;

std::vector<ReportRow> RowsFor(CUsageStore& store, ETier eTier, std::vector<int64_t> vecStarts,
                               int64_t nNowUtc, bool bApps = false) {
    std::vector<ReportRow> rows;
    if (vecStarts.empty()) {
        return rows;
    }
    const int64_t nFrom = vecStarts.front();
    const int64_t nTo = BucketEnd(eTier, vecStarts.back());
    std::map<int64_t, size_t> index;
    for (const int64_t nStart : vecStarts) {
        index[nStart] = rows.size();
        ReportRow& row = rows.emplace_back();
        row.nStart = nStart;
        row.nEnd = BucketEnd(eTier, nStart);
    }
    for (const UsageRow& usage : store.ReadUsage(eTier, nFrom, nTo)) {
        const auto it = index.find(usage.nStart);
        if (it == index.end()) {
            continue; // a bucket of another time zone's boundaries
        }
        ReportRow& row = rows[it->second];
        row.nSent += usage.nSent;
        row.nRecv += usage.nRecv;
        auto& [nSent, nRecv] = row.devices[usage.strDevice];
        nSent += usage.nSent;
        nRecv += usage.nRecv;
    }
    if (bApps) {
        for (AppUsageRow& app : store.ReadApplications(eTier, nFrom, nTo)) {
            if (const auto it = index.find(app.nStart); it != index.end()) {
                rows[it->second].apps.push_back(std::move(app));
            }
        }
    }
    const std::vector<RecordedSpan> spans = store.ReadRecorded(nFrom, nTo);
    for (ReportRow& row : rows) {
        const BucketRecording recording = RecordingOf(spans, row.nStart, row.nEnd, nNowUtc);
        row.nLength = recording.nElapsed;
        row.nRecorded = recording.nRecorded;
    }
    return rows;
}

std::string Label(ETier eTier, int64_t nStart) {
    const std::string strLocal = FormatLocal(nStart);
    switch (eTier) {
    case ETier::Month:
        return strLocal.substr(0, 7);
    case ETier::Day:
        return strLocal.substr(0, 10);
    default:
        return strLocal;
    }
}

const char* KindName(AppHistoryRow::EKind eKind) {
    switch (eKind) {
    case AppHistoryRow::EKind::Application:
        return "application";
    case AppHistoryRow::EKind::Other:
        return "other";
    case AppHistoryRow::EKind::NotAttributed:
        return "not_attributed";
    case AppHistoryRow::EKind::NotRecorded:
        return "not_recorded";
    }
    return "";
}

// Every application row of the bucket, exact: the file keeps at most kAppsPerBucket of them.
ordered_json AppsJson(const ReportRow& row) {
    ordered_json apps = ordered_json::array();
    for (const AppHistoryRow& app :
         SummarizeApplications(row.apps, row.nSent, row.nRecv, SIZE_MAX)) {
        apps.push_back({{"name", JsonText(DescribeAppHistoryRow(app))},
                        {"kind", KindName(app.eKind)},
                        {"sent_bytes", app.nSent},
                        {"received_bytes", app.nRecv}});
    }
    return apps;
}

ordered_json RowsJson(const std::vector<ReportRow>& rows, bool bApps = false) {
    ordered_json buckets = ordered_json::array();
    for (const ReportRow& row : rows) {
        ordered_json& bucket = buckets.emplace_back();
        bucket["start"] = FormatLocalIso(row.nStart);
        bucket["start_utc"] = row.nStart;
        bucket["end_utc"] = row.nEnd;
        bucket["sent_bytes"] = row.nSent;
        bucket["received_bytes"] = row.nRecv;
        bucket["recorded_seconds"] = row.nRecorded;
        bucket["elapsed_seconds"] = row.nLength;
        ordered_json& devices = bucket["devices"] = ordered_json::object();
        for (const auto& [strDevice, bytes] : row.devices) {
            // One to one: two devices never share a key.
            devices[ToUtf8Text(strDevice)] = {{"sent_bytes", bytes.first},
                                              {"received_bytes", bytes.second}};
        }
        if (bApps) {
            bucket["applications"] = AppsJson(row);
        }
    }
    return buckets;
}

// A person's table: one line per bucket; buckets nobody recorded say so instead of a zero.
std::string Text(const char* szHeading, ETier eTier, const std::vector<ReportRow>& rows) {
    std::string strOut;
    char szLine[160];
    std::snprintf(szLine, sizeof szLine, "%-18s %12s %12s %12s\n", szHeading, "Received", "Sent",
                  "Total");
    strOut += szLine;
    int64_t nSent = 0, nRecv = 0;
    for (const ReportRow& row : rows) {
        nSent += row.nSent;
        nRecv += row.nRecv;
        const std::string strLabel = Label(eTier, row.nStart);
        const ERecorded eRecorded =
            Classify({row.nRecorded, row.nLength}, row.nSent != 0 || row.nRecv != 0);
        if (eRecorded == ERecorded::Future || eRecorded == ERecorded::NotRecorded) {
            std::snprintf(szLine, sizeof szLine, "%-18s %12s\n", strLabel.c_str(),
                          eRecorded == ERecorded::Future ? "" : "not recorded");
        } else {
            std::snprintf(szLine, sizeof szLine, "%-18s %12s %12s %12s%s\n", strLabel.c_str(),
                          FormatBytes(row.nRecv).c_str(), FormatBytes(row.nSent).c_str(),
                          FormatBytes(row.nSent + row.nRecv).c_str(),
                          eRecorded == ERecorded::Partly ? "  (partly recorded)" : "");
        }
        strOut += szLine;
    }
    std::snprintf(szLine, sizeof szLine, "%-18s %12s %12s %12s\n", "all",
                  FormatBytes(nRecv).c_str(), FormatBytes(nSent).c_str(),
                  FormatBytes(nSent + nRecv).c_str());
    return strOut + szLine;
}

// The applications over all the rows' buckets: the largest, the rest, the reasons.
std::string AppText(ETier eTier, const std::vector<ReportRow>& rows) {
    std::vector<AppUsageRow> apps;
    int64_t nSent = 0, nRecv = 0;
    for (const ReportRow& row : rows) {
        apps.insert(apps.end(), row.apps.begin(), row.apps.end());
        nSent += row.nSent;
        nRecv += row.nRecv;
    }
    std::string strOut;
    char szLine[200];
    const std::string strFrom = rows.empty() ? "" : Label(eTier, rows.front().nStart);
    const std::string strTo = rows.empty() ? "" : Label(eTier, rows.back().nStart);
    strOut += "Applications, " + (strFrom == strTo ? strFrom : strFrom + " to " + strTo) + "\n";
    std::snprintf(szLine, sizeof szLine, "%-40s %12s %12s %12s\n", "Application", "Received",
                  "Sent", "Total");
    strOut += szLine;
    for (const AppHistoryRow& app : SummarizeApplications(apps, nSent, nRecv, kTopApplications)) {
        std::string strName = DescribeAppHistoryRow(app);
        if (strName.size() > 40) {
            strName = strName.substr(0, 37) + "...";
        }
        std::snprintf(szLine, sizeof szLine, "%-40s %12s %12s %12s\n", strName.c_str(),
                      FormatBytes(app.nRecv).c_str(), FormatBytes(app.nSent).c_str(),
                      FormatBytes(app.nSent + app.nRecv).c_str());
        strOut += szLine;
    }
    std::snprintf(szLine, sizeof szLine, "%-40s %12s %12s %12s\n", "all",
                  FormatBytes(nRecv).c_str(), FormatBytes(nSent).c_str(),
                  FormatBytes(nSent + nRecv).c_str());
    return strOut + szLine;
}

} // namespace

std::vector<ReportRow> ReadRows(CUsageStore& store, ETier eTier, int nCount, int64_t nNowUtc,
                                bool bApps) {
    std::vector<int64_t> vecStarts{BucketStart(eTier, nNowUtc)};
    while (static_cast<int>(vecStarts.size()) < nCount) {
        vecStarts.insert(vecStarts.begin(), BucketStart(eTier, vecStarts.front() - 1));
    }
    return RowsFor(store, eTier, vecStarts, nNowUtc, bApps && eTier != ETier::Hour);
}

std::vector<ReportRow> ReadCycleRows(CUsageStore& store, const PlanStatus& status,
                                     int64_t nNowUtc) {
    std::vector<int64_t> vecStarts;
    for (CivilDate date = status.cycle.first; date < status.cycle.next; date = AddDays(date, 1)) {
        const int64_t nStart = LocalDayStart(date);
        if (nStart > nNowUtc) {
            break;
        }
        vecStarts.push_back(nStart);
    }
    std::vector<ReportRow> rows = RowsFor(store, ETier::Day, vecStarts, nNowUtc);
    // In the plan's counting, so that the days add up to what it used.
    for (ReportRow& row : rows) {
        row.nSent = row.nRecv = 0;
        std::erase_if(row.devices, [&](const auto& device) {
            return CountedBytes(status.plan, device.first, 1, 1) == 0;
        });
        for (auto& [strDevice, bytes] : row.devices) {
            if (status.plan.eCounting == ECounting::ReceivedOnly) {
                bytes.first = 0;
            }
            row.nSent += bytes.first;
            row.nRecv += bytes.second;
        }
    }
    return rows;
}

std::string MakeReport(CUsageStore& store, const ReportOptions& options, int64_t nNowUtc) {
    struct View {
        const char* szKey;
        const char* szHeading;
        ETier eTier;
        int nCount;
    };
    const View views[] = {{"hours", "Hour", ETier::Hour, options.nHours},
                          {"days", "Day", ETier::Day, options.nDays},
                          {"months", "Month", ETier::Month, options.nMonths}};
    std::optional<PlanStatus> status;
    if (options.bCycle) {
        if (const std::optional<Plan> plan = LoadPlan(store)) {
            status = ComputePlanStatus(*plan, &store, {}, nNowUtc);
        }
    }
    std::string strOut;
    if (options.bJson) {
        ordered_json report;
        report["database"] = JsonText(store.GetPath());
        report["generated"] = FormatLocalIso(nNowUtc);
        for (const View& view : views) {
            if (view.nCount > 0) {
                const bool bApps = options.bByApp && view.eTier != ETier::Hour;
                report[view.szKey] =
                    RowsJson(ReadRows(store, view.eTier, view.nCount, nNowUtc, bApps), bApps);
            }
        }
        if (options.bCycle && !status) {
            report["cycle"] = nullptr;
        } else if (status) {
            const Plan& plan = status->plan;
            ordered_json& cycle = report["cycle"];
            cycle["first_day"] = FormatDate(status->cycle.first);
            cycle["last_day"] = FormatDate(AddDays(status->cycle.next, -1));
            cycle["start_utc"] = status->cycle.nStart;
            cycle["end_utc"] = status->cycle.nEnd;
            cycle["cap_bytes"] = plan.nCapBytes;
            cycle["unit"] = UnitName(plan.eUnit);
            cycle["counts"] =
                plan.eCounting == ECounting::ReceivedOnly ? "received" : "sent+received";
            ordered_json& devices = cycle["devices"] = ordered_json::array();
            for (const std::string& strDevice : plan.devices) {
                devices.push_back(JsonText(strDevice));
            }
            cycle["used_bytes"] = status->nUsed;
            cycle["projected_bytes"] =
                status->nProjected < 0 ? ordered_json() : ordered_json(status->nProjected);
            // The recorded time the projection stands on, and how far it can be trusted.
            cycle["recorded_seconds"] = status->nRecorded;
            constexpr const char* kBases[] = {"none", "rough", "day", "week"};
            cycle["projection_basis"] =
                kBases[static_cast<int>(ProjectionBasis(status->nRecorded))];
            cycle["alerts_fired"] = status->fired;
            cycle["days"] = RowsJson(ReadCycleRows(store, *status, nNowUtc));
        }
        return DumpJson(report) + "\n";
    }
    for (const View& view : views) {
        if (view.nCount > 0) {
            if (!strOut.empty()) {
                strOut += '\n';
            }
            const std::vector<ReportRow> rows =
                ReadRows(store, view.eTier, view.nCount, nNowUtc, options.bByApp);
            strOut +=
                options.bByApp ? AppText(view.eTier, rows) : Text(view.szHeading, view.eTier, rows);
        }
    }
    if (status) {
        const std::string strProjection = DescribeProjection(*status);
        if (!strOut.empty()) {
            strOut += '\n';
        }
        strOut += std::string("Plan cycle ") + FormatDate(status->cycle.first) + " to " +
                  FormatDate(AddDays(status->cycle.next, -1)) + ": " + DescribeUsed(*status) +
                  (strProjection.empty() ? std::string() : "; " + strProjection) + "\n(" +
                  DescribeUnit(status->plan.eUnit) + "; counts " +
                  (status->plan.eCounting == ECounting::ReceivedOnly ? "received bytes only"
                                                                     : "sent and received bytes") +
                  ")\n";
        strOut += Text("Day of the cycle", ETier::Day, ReadCycleRows(store, *status, nNowUtc));
    }
    return strOut;
}

int RunReport(const std::vector<std::string>& args) {
    ReportOptions options;
    std::string strError;
    if (!ParseReportOptions(args, options, strError)) {
        std::fprintf(stderr, "orvek report: %s\n%s", strError.c_str(), ReportUsage());
        return 2;
    }
    if (options.bHelp) {
        std::fputs(ReportUsage(), stdout);
        return 0;
    }
    const std::string strPath =
        options.strDatabase.empty() ? DefaultUsagePath() : options.strDatabase;
    if (strPath.empty()) {
        std::fprintf(stderr, "orvek report: no home folder to find the usage file in; "
                             "name it with --database\n");
        return 1;
    }
    if (!std::filesystem::exists(strPath)) {
        std::fprintf(stderr, "orvek report: %s does not exist: no usage was recorded there yet\n",
                     strPath.c_str());
        return 1;
    }
    try {
        CUsageStore store(strPath, CUsageStore::EAccess::Read, 0);
        const int64_t nNow = static_cast<int64_t>(std::time(nullptr));
        if (options.bCycle && !options.bJson && !LoadPlan(store)) {
            std::fprintf(stderr, "orvek report: no data plan is set in %s\n", strPath.c_str());
            return 1;
        }
        std::fputs(MakeReport(store, options, nNow).c_str(), stdout);
    } catch (const CSqliteError& e) {
        std::fprintf(stderr, "orvek report: cannot read %s: %s\n", strPath.c_str(), e.what());
        return 1;
    }
    return 0;
}
