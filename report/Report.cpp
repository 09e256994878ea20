#include "Report.h"

#include "AppHistory.h"
#include "CaptureSource.h"
#include "JsonText.h"
#include "RecordedTime.h"
#include "Units.h"
#include "ZarnException.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>

namespace {

using nlohmann::ordered_json;

// The applications a text report lists; the rest is one row.
constexpr size_t kTopApplications = 20;
// Less unrecorded time than this in a bucket is the last write's lag, not worth a note.
constexpr int64_t kUnrecordedNoted = 60;

// A view's buckets: the store's hours, days and months, and years summed from the months.
enum class EGrain { Hour, Day, Month, Year };

ETier StoredTier(EGrain eGrain) {
    switch (eGrain) {
    case EGrain::Hour:
        return ETier::Hour;
    case EGrain::Day:
        return ETier::Day;
    default:
        return ETier::Month;
    }
}

int64_t GrainStart(EGrain eGrain, int64_t nUtc) {
    if (eGrain == EGrain::Year) {
        return LocalDayStart({LocalDateOf(nUtc).nYear, 1, 1});
    }
    return BucketStart(StoredTier(eGrain), nUtc);
}

int64_t GrainEnd(EGrain eGrain, int64_t nStart) {
    if (eGrain == EGrain::Year) {
        return LocalDayStart({LocalDateOf(nStart).nYear + 1, 1, 1});
    }
    return BucketEnd(StoredTier(eGrain), nStart);
}

EGrain GrainOf(ETier eTier) {
    return eTier == ETier::Hour ? EGrain::Hour : eTier == ETier::Day ? EGrain::Day : EGrain::Month;
}

// The family of a plan's unit, in which its figures and the cycle's days are shown.
EByteUnits FamilyOf(ECapUnit eUnit) {
    return eUnit == ECapUnit::MiB || eUnit == ECapUnit::GiB || eUnit == ECapUnit::TiB
               ? EByteUnits::Binary
               : EByteUnits::Decimal;
}

// Where the file's recording begins, read once per report.
struct Recorded {
    std::optional<int64_t> first; // the first recorded second; nullopt: nothing recorded
    bool bSpans = false;          // first is a recorded stretch's start, not (in a file without
                                  // stretches) its oldest month's
};

Recorded ReadRecordedSince(CUsageStore& store) {
    Recorded recorded;
    recorded.first = store.ReadFirstRecorded();
    recorded.bSpans = recorded.first.has_value();
    if (!recorded.first) {
        // Bytes without any stretch of recorded time are never hidden: the views start at them.
        const std::vector<UsageRow> months = store.ReadUsage(
            ETier::Month, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
        if (!months.empty()) {
            recorded.first = months.front().nStart;
        }
    }
    return recorded;
}

// The first bucket of a grain a view may show: not before the first recorded one, nor one whose
// tier the file no longer keeps. nullopt: nothing recorded, no bucket.
std::optional<int64_t> FirstShown(EGrain eGrain, const Recorded& recorded, int64_t nNowUtc) {
    if (!recorded.first) {
        return std::nullopt;
    }
    int64_t nFirst = GrainStart(eGrain, *recorded.first);
    if (const int64_t nKeep = TierRetention(StoredTier(eGrain)); nKeep > 0) {
        const int64_t nKept = nNowUtc - nKeep;
        int64_t nStart = GrainStart(eGrain, nKept);
        if (nStart < nKept) {
            nStart = GrainEnd(eGrain, nStart);
        }
        nFirst = std::max(nFirst, nStart);
    }
    return nFirst;
}

// The last nCount buckets up to the one that holds nNowUtc, none before nFirst.
std::vector<int64_t> LastStarts(EGrain eGrain, int nCount, std::optional<int64_t> nFirst,
                                int64_t nNowUtc) {
    std::vector<int64_t> vecStarts;
    if (!nFirst) {
        return vecStarts;
    }
    for (int64_t nStart = GrainStart(eGrain, nNowUtc);
         static_cast<int>(vecStarts.size()) < nCount && nStart >= *nFirst;
         nStart = GrainStart(eGrain, nStart - 1)) {
        vecStarts.insert(vecStarts.begin(), nStart);
    }
    return vecStarts;
}

// The buckets that overlap the local days [begin, end] (today when end is left out), none before
// nFirst (begin's default) nor after the one that holds nNowUtc.
std::vector<int64_t> RangeStarts(EGrain eGrain, std::optional<CivilDate> begin,
                                 std::optional<CivilDate> end, std::optional<int64_t> nFirst,
                                 int64_t nNowUtc) {
    std::vector<int64_t> vecStarts;
    if (!nFirst) {
        return vecStarts;
    }
    int64_t nStart = *nFirst;
    if (begin) {
        nStart = std::max(nStart, GrainStart(eGrain, LocalDayStart(*begin)));
    }
    const int64_t nLast = std::min(GrainStart(eGrain, nNowUtc),
                                   end ? GrainStart(eGrain, LocalDayStart(AddDays(*end, 1)) - 1)
                                       : GrainStart(eGrain, nNowUtc));
    for (; nStart <= nLast; nStart = GrainEnd(eGrain, nStart)) {
        vecStarts.push_back(nStart);
    }
    return vecStarts;
}

std::vector<ReportRow> RowsFor(CUsageStore& store, EGrain eGrain,
                               const std::vector<int64_t>& vecStarts, int64_t nNowUtc,
                               bool bApps = false) {
    std::vector<ReportRow> rows;
    if (vecStarts.empty()) {
        return rows;
    }
    const ETier eTier = StoredTier(eGrain);
    const int64_t nFrom = vecStarts.front();
    const int64_t nTo = GrainEnd(eGrain, vecStarts.back());
    std::map<int64_t, size_t> index;
    for (const int64_t nStart : vecStarts) {
        index[nStart] = rows.size();
        ReportRow& row = rows.emplace_back();
        row.nStart = nStart;
        row.nEnd = GrainEnd(eGrain, nStart);
    }
    // The view's bucket of a stored one; none for a bucket of another time zone's boundaries.
    const auto bucketOf = [&](int64_t nStored) -> ReportRow* {
        if (BucketStart(eTier, nStored) != nStored) {
            return nullptr;
        }
        const auto it = index.find(GrainStart(eGrain, nStored));
        return it == index.end() ? nullptr : &rows[it->second];
    };
    for (const UsageRow& usage : store.ReadUsage(eTier, nFrom, nTo)) {
        if (ReportRow* pRow = bucketOf(usage.nStart)) {
            pRow->nSent += usage.nSent;
            pRow->nRecv += usage.nRecv;
            auto& [nSent, nRecv] = pRow->devices[usage.strDevice];
            nSent += usage.nSent;
            nRecv += usage.nRecv;
        }
    }
    if (bApps && eTier != ETier::Hour) {
        for (AppUsageRow& app : store.ReadApplications(eTier, nFrom, nTo)) {
            if (ReportRow* pRow = bucketOf(app.nStart)) {
                pRow->apps.push_back(std::move(app));
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

ERecorded ClassifyRow(const ReportRow& row) {
    return Classify({row.nRecorded, row.nLength, false}, row.nSent != 0 || row.nRecv != 0);
}

bool IsShownAsRecorded(const ReportRow& row) {
    const ERecorded eRecorded = ClassifyRow(row);
    return eRecorded == ERecorded::Whole || eRecorded == ERecorded::Partly;
}

// The largest days of [begin, end] (or of every day kept), largest first; days of equal bytes
// in time order.
std::vector<ReportRow> TopRows(CUsageStore& store, const ReportOptions& options,
                               const Recorded& recorded, int64_t nNowUtc) {
    std::vector<ReportRow> rows =
        RowsFor(store, EGrain::Day,
                RangeStarts(EGrain::Day, options.begin, options.end,
                            FirstShown(EGrain::Day, recorded, nNowUtc), nNowUtc),
                nNowUtc);
    std::erase_if(rows, [](const ReportRow& row) { return row.nSent + row.nRecv == 0; });
    std::ranges::stable_sort(rows, std::greater<>(),
                             [](const ReportRow& row) { return row.nSent + row.nRecv; });
    if (rows.size() > static_cast<size_t>(options.nTop)) {
        rows.resize(static_cast<size_t>(options.nTop));
    }
    return rows;
}

std::string Label(EGrain eGrain, int64_t nStart) {
    const std::string strLocal = FormatLocal(nStart);
    switch (eGrain) {
    case EGrain::Year:
        return strLocal.substr(0, 4);
    case EGrain::Month:
        return strLocal.substr(0, 7);
    case EGrain::Day:
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
std::vector<AppHistoryRow> AllApps(const ReportRow& row) {
    return SummarizeApplications(row.apps, row.nSent, row.nRecv, SIZE_MAX);
}

ordered_json AppsJson(const ReportRow& row) {
    ordered_json apps = ordered_json::array();
    for (const AppHistoryRow& app : AllApps(row)) {
        apps.push_back({{"name", JsonText(DescribeAppHistoryRow(app))},
                        {"kind", KindName(app.eKind)},
                        {"sent_bytes", app.nSent},
                        {"received_bytes", app.nRecv}});
    }
    return apps;
}

ordered_json BucketJson(const ReportRow& row) {
    return {{"start", FormatLocalIso(row.nStart)},
            {"start_utc", row.nStart},
            {"end_utc", row.nEnd},
            {"sent_bytes", row.nSent},
            {"received_bytes", row.nRecv},
            {"recorded_seconds", row.nRecorded},
            {"elapsed_seconds", row.nLength}};
}

ordered_json RowsJson(const std::vector<ReportRow>& rows, bool bApps = false) {
    ordered_json buckets = ordered_json::array();
    for (const ReportRow& row : rows) {
        ordered_json& bucket = buckets.emplace_back(BucketJson(row));
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

// One field of RFC 4180: quoted when it holds a comma, a quote or a line end, quotes doubled.
std::string CsvField(const std::string& strText) {
    if (strText.find_first_of(",\"\r\n") == std::string::npos) {
        return strText;
    }
    std::string strOut = "\"";
    for (const char ch : strText) {
        strOut += ch;
        if (ch == '"') {
            strOut += '"';
        }
    }
    return strOut + "\"";
}

constexpr const char* kCsvHeader =
    "view,start,start_utc,end_utc,sent_bytes,received_bytes,recorded_seconds,elapsed_seconds\r\n";
constexpr const char* kCsvAppHeader =
    "view,start,start_utc,end_utc,application,kind,sent_bytes,received_bytes\r\n";

// A bucket nobody recorded (or not begun) leaves its bytes empty: a spreadsheet must not read them
// as zero.
std::string RowsCsv(const char* szView, const std::vector<ReportRow>& rows, bool bApps) {
    std::string strOut;
    for (const ReportRow& row : rows) {
        const std::string strBucket = std::string(szView) + "," + FormatLocalIso(row.nStart) + "," +
                                      std::to_string(row.nStart) + "," + std::to_string(row.nEnd) +
                                      ",";
        if (bApps) {
            for (const AppHistoryRow& app : AllApps(row)) {
                strOut += strBucket + CsvField(ToUtf8Text(DescribeAppHistoryRow(app))) + "," +
                          KindName(app.eKind) + "," + std::to_string(app.nSent) + "," +
                          std::to_string(app.nRecv) + "\r\n";
            }
            continue;
        }
        const bool bRecorded = IsShownAsRecorded(row);
        strOut += strBucket + (bRecorded ? std::to_string(row.nSent) : "") + "," +
                  (bRecorded ? std::to_string(row.nRecv) : "") + "," +
                  std::to_string(row.nRecorded) + "," + std::to_string(row.nLength) + "\r\n";
    }
    return strOut;
}

// A person's table: one line per bucket; buckets nobody recorded say so instead of a zero, and
// one recorded in part says how much. bTotal: an "all" line, itself "not recorded" when no
// bucket was.
std::string Text(const char* szHeading, EGrain eGrain, const std::vector<ReportRow>& rows,
                 EByteUnits eUnits, bool bTotal = true) {
    std::string strOut;
    char szLine[200];
    std::snprintf(szLine, sizeof szLine, "%-18s %12s %12s %12s\n", szHeading, "Received", "Sent",
                  "Total");
    strOut += szLine;
    int64_t nSent = 0, nRecv = 0;
    bool bAnyRecorded = false;
    for (const ReportRow& row : rows) {
        nSent += row.nSent;
        nRecv += row.nRecv;
        const std::string strLabel = Label(eGrain, row.nStart);
        const ERecorded eRecorded = ClassifyRow(row);
        if (eRecorded == ERecorded::Future || eRecorded == ERecorded::NotRecorded) {
            std::snprintf(szLine, sizeof szLine, "%-18s %12s\n", strLabel.c_str(),
                          eRecorded == ERecorded::Future ? "" : "not recorded");
        } else {
            bAnyRecorded = true;
            std::string strNote;
            if (eRecorded == ERecorded::Partly && row.nLength - row.nRecorded >= kUnrecordedNoted) {
                const BucketRecording recording{row.nRecorded, row.nLength,
                                                row.nEnd > row.nStart + row.nLength};
                strNote = "  (" + DescribeRecording(recording, true) + ")";
            }
            std::snprintf(szLine, sizeof szLine, "%-18s %12s %12s %12s%s\n", strLabel.c_str(),
                          FormatBytes(row.nRecv, eUnits).c_str(),
                          FormatBytes(row.nSent, eUnits).c_str(),
                          FormatBytes(row.nSent + row.nRecv, eUnits).c_str(), strNote.c_str());
        }
        strOut += szLine;
    }
    if (!bTotal) {
        return strOut;
    }
    if (!bAnyRecorded) {
        std::snprintf(szLine, sizeof szLine, "%-18s %12s\n", "all", "not recorded");
    } else {
        std::snprintf(szLine, sizeof szLine, "%-18s %12s %12s %12s\n", "all",
                      FormatBytes(nRecv, eUnits).c_str(), FormatBytes(nSent, eUnits).c_str(),
                      FormatBytes(nSent + nRecv, eUnits).c_str());
    }
    return strOut + szLine;
}

// The applications over all the rows' buckets: the largest, the rest, the reasons.
std::string AppText(EGrain eGrain, const std::vector<ReportRow>& rows, EByteUnits eUnits) {
    std::vector<AppUsageRow> apps;
    int64_t nSent = 0, nRecv = 0;
    for (const ReportRow& row : rows) {
        apps.insert(apps.end(), row.apps.begin(), row.apps.end());
        nSent += row.nSent;
        nRecv += row.nRecv;
    }
    std::string strOut;
    char szLine[200];
    const std::string strFrom = rows.empty() ? "" : Label(eGrain, rows.front().nStart);
    const std::string strTo = rows.empty() ? "" : Label(eGrain, rows.back().nStart);
    strOut += "Applications, " +
              (rows.empty()       ? std::string("nothing recorded")
               : strFrom == strTo ? strFrom
                                  : strFrom + " to " + strTo) +
              "\n";
    std::snprintf(szLine, sizeof szLine, "%-40s %12s %12s %12s\n", "Application", "Received",
                  "Sent", "Total");
    strOut += szLine;
    for (const AppHistoryRow& app : SummarizeApplications(apps, nSent, nRecv, kTopApplications)) {
        std::string strName = DescribeAppHistoryRow(app);
        // A name wider than its column (a reason not attributed says why at length) is never
        // cut: it has a line of its own, the figures the next.
        if (strName.size() > 40) {
            strOut += strName + "\n";
            strName.clear();
        }
        std::snprintf(szLine, sizeof szLine, "%-40s %12s %12s %12s\n", strName.c_str(),
                      FormatBytes(app.nRecv, eUnits).c_str(),
                      FormatBytes(app.nSent, eUnits).c_str(),
                      FormatBytes(app.nSent + app.nRecv, eUnits).c_str());
        strOut += szLine;
    }
    std::snprintf(szLine, sizeof szLine, "%-40s %12s %12s %12s\n", "all",
                  FormatBytes(nRecv, eUnits).c_str(), FormatBytes(nSent, eUnits).c_str(),
                  FormatBytes(nSent + nRecv, eUnits).c_str());
    return strOut + szLine;
}

// --oneline: today, this month and the plan, in that order, " · " between them.
std::string Oneline(CUsageStore& store, const Recorded& recorded, EByteUnits eUnits,
                    int64_t nNowUtc, bool bJson) {
    static constexpr const char* kMonths[] = {"January",   "February", "March",    "April",
                                              "May",       "June",     "July",     "August",
                                              "September", "October",  "November", "December"};
    const auto current = [&](EGrain eGrain) {
        return RowsFor(store, eGrain, {GrainStart(eGrain, nNowUtc)}, nNowUtc).front();
    };
    const ReportRow today = current(EGrain::Day);
    const ReportRow month = current(EGrain::Month);
    std::optional<PlanStatus> status;
    int64_t nPercent = 0; // rounded down: a status bar must not say 100 before the cap is reached
    if (const std::optional<Plan> plan = LoadPlan(store)) {
        status = ComputePlanStatus(*plan, &store, {}, nNowUtc);
        nPercent = static_cast<int64_t>(static_cast<long double>(status->nUsed) * 100 /
                                        static_cast<long double>(plan->nCapBytes));
    }
    if (bJson) {
        ordered_json line;
        line["generated"] = FormatLocalIso(nNowUtc);
        line["recorded_since"] =
            recorded.bSpans ? ordered_json(FormatLocalIso(*recorded.first)) : ordered_json();
        line["today"] = BucketJson(today);
        line["month"] = BucketJson(month);
        if (status) {
            line["plan"] = {{"used_bytes", status->nUsed},
                            {"cap_bytes", status->plan.nCapBytes},
                            {"unit", UnitName(status->plan.eUnit)},
                            {"percent", nPercent}};
        } else {
            line["plan"] = nullptr;
        }
        return DumpJson(line) + "\n";
    }
    const auto amount = [&](const ReportRow& row) {
        return IsShownAsRecorded(row) ? FormatBytesShort(row.nSent + row.nRecv, eUnits)
                                      : std::string("not recorded");
    };
    std::string strLine = "today " + amount(today) + " \u00b7 " +
                          kMonths[LocalDateOf(nNowUtc).nMonth - 1] + " " + amount(month) +
                          " \u00b7 ";
    if (status) {
        strLine += "plan " + std::to_string(nPercent) + " % of " +
                   FormatBytesShort(status->plan.nCapBytes, FamilyOf(status->plan.eUnit));
    } else {
        strLine += "no plan";
    }
    return strLine + "\n";
}

} // namespace

std::vector<ReportRow> ReadRows(CUsageStore& store, ETier eTier, int nCount, int64_t nNowUtc,
                                bool bApps) {
    const EGrain eGrain = GrainOf(eTier);
    return RowsFor(
        store, eGrain,
        LastStarts(eGrain, nCount, FirstShown(eGrain, ReadRecordedSince(store), nNowUtc), nNowUtc),
        nNowUtc, bApps);
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
    std::vector<ReportRow> rows = RowsFor(store, EGrain::Day, vecStarts, nNowUtc);
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
    const Recorded recorded = ReadRecordedSince(store);
    if (options.bOneline) {
        return Oneline(store, recorded, options.eUnits, nNowUtc, options.bJson);
    }
    struct View {
        const char* szKey;
        const char* szCsv;
        const char* szHeading;
        EGrain eGrain;
        int nCount;
    };
    const View views[] = {{"hours", "hour", "Hour", EGrain::Hour, options.nHours},
                          {"days", "day", "Day", EGrain::Day, options.nDays},
                          {"months", "month", "Month", EGrain::Month, options.nMonths},
                          {"years", "year", "Year", EGrain::Year, options.nYears}};
    const bool bRange = options.begin || options.end;
    const auto rowsOf = [&](const View& view, bool bApps) {
        const std::optional<int64_t> nFirst = FirstShown(view.eGrain, recorded, nNowUtc);
        return RowsFor(store, view.eGrain,
                       bRange
                           ? RangeStarts(view.eGrain, options.begin, options.end, nFirst, nNowUtc)
                           : LastStarts(view.eGrain, view.nCount, nFirst, nNowUtc),
                       nNowUtc, bApps && view.eGrain != EGrain::Hour);
    };
    std::optional<PlanStatus> status;
    if (options.bCycle) {
        if (const std::optional<Plan> plan = LoadPlan(store)) {
            status = ComputePlanStatus(*plan, &store, {}, nNowUtc);
        }
    }
    // The cycle's days from the first recorded one on, as every view.
    std::vector<ReportRow> cycleRows;
    if (status) {
        cycleRows = ReadCycleRows(store, *status, nNowUtc);
        const std::optional<int64_t> nFirst = FirstShown(EGrain::Day, recorded, nNowUtc);
        std::erase_if(cycleRows,
                      [&](const ReportRow& row) { return !nFirst || row.nStart < *nFirst; });
    }
    if (options.bCsv) {
        std::string strOut = options.bByApp ? kCsvAppHeader : kCsvHeader;
        for (const View& view : views) {
            if (view.nCount > 0) {
                strOut += RowsCsv(view.szCsv, rowsOf(view, options.bByApp), options.bByApp);
            }
        }
        if (options.nTop > 0) {
            strOut += RowsCsv("top", TopRows(store, options, recorded, nNowUtc), false);
        }
        if (status) {
            strOut += RowsCsv("cycle", cycleRows, false);
        }
        return strOut;
    }
    if (options.bJson) {
        ordered_json report;
        report["database"] = JsonText(store.GetPath());
        report["generated"] = FormatLocalIso(nNowUtc);
        // Buckets before it are left out of every view.
        report["recorded_since"] =
            recorded.bSpans ? ordered_json(FormatLocalIso(*recorded.first)) : ordered_json();
        report["recorded_since_utc"] =
            recorded.bSpans ? ordered_json(*recorded.first) : ordered_json();
        if (options.begin) {
            report["begin"] = FormatDate(*options.begin);
        }
        if (options.end) {
            report["end"] = FormatDate(*options.end);
        }
        for (const View& view : views) {
            if (view.nCount > 0) {
                const bool bApps = options.bByApp && view.eGrain != EGrain::Hour;
                report[view.szKey] = RowsJson(rowsOf(view, bApps), bApps);
            }
        }
        if (options.nTop > 0) {
            report["top_days"] = RowsJson(TopRows(store, options, recorded, nNowUtc));
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
            cycle["days"] = RowsJson(cycleRows);
        }
        return DumpJson(report) + "\n";
    }
    std::string strOut;
    if (recorded.bSpans) {
        strOut += "Recorded since " + FormatLocal(*recorded.first) + "\n";
    } else if (!recorded.first) {
        strOut += "Nothing recorded yet\n";
    }
    const auto section = [&strOut](const std::string& strText) {
        strOut += (strOut.empty() ? "" : "\n") + strText;
    };
    for (const View& view : views) {
        if (view.nCount > 0) {
            const std::vector<ReportRow> rows = rowsOf(view, options.bByApp);
            section(options.bByApp ? AppText(view.eGrain, rows, options.eUnits)
                                   : Text(view.szHeading, view.eGrain, rows, options.eUnits));
        }
    }
    if (options.nTop > 0) {
        section(Text("Largest days", EGrain::Day, TopRows(store, options, recorded, nNowUtc),
                     options.eUnits, false));
    }
    if (status) {
        const std::string strProjection = DescribeProjection(*status);
        // The plan's figures in its unit, its days in the same family: one family in the view.
        section(std::string("Plan cycle ") + FormatDate(status->cycle.first) + " to " +
                FormatDate(AddDays(status->cycle.next, -1)) + ": " + DescribeUsed(*status) +
                (strProjection.empty() ? std::string() : "; " + strProjection) + "\n(" +
                DescribeUnit(status->plan.eUnit) + "; counts " +
                (status->plan.eCounting == ECounting::ReceivedOnly ? "received bytes only"
                                                                   : "sent and received bytes") +
                ")\n" +
                Text("Day of the cycle", EGrain::Day, cycleRows, FamilyOf(status->plan.eUnit)));
    }
    return strOut;
}

std::string ChooseReportFile(bool bServiceAnswers, const std::string& strServiceFile,
                             const std::string& strOwnFile) {
    if (bServiceAnswers || ((strOwnFile.empty() || !std::filesystem::exists(strOwnFile)) &&
                            std::filesystem::exists(strServiceFile))) {
        return strServiceFile;
    }
    return strOwnFile;
}

int RunReport(const std::vector<std::string>& args, const IUsageClock& clock) {
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
    std::string strPath = options.strDatabase;
    if (strPath.empty()) {
        // The service records when it runs; a named socket must answer, as for the counting
        // programs.
        bool bServiceAnswers = false;
        try {
            bServiceAnswers = ChooseCaptureSource(options.strSocket).IsService();
        } catch (const CZarnException& e) {
            std::fprintf(stderr, "orvek report: %s\n", e.GetDescription());
            return 1;
        }
        strPath = ChooseReportFile(bServiceAnswers, ServiceUsagePath(), DefaultUsagePath());
    }
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
        const int64_t nNow = clock.NowUtcMs() / 1000;
        if (options.bCycle && !options.bJson && !LoadPlan(store)) { // text and CSV need one
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
