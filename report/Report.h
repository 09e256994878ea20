#pragma once

#include "PlanUsage.h"
#include "Units.h"
#include "UsageClock.h"
#include "UsageStore.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// `orvek report`: the usage file as a person reads it, or as JSON. Reads only; another Orvek may
// be writing the file meanwhile.

struct ReportOptions {
    // Buckets to show, the current one last; 0: none. With begin or end, a non-zero count only
    // names the tier.
    int nHours = 0, nDays = 0, nMonths = 0, nYears = 0;
    int nTop = 0;                        // --top: the N largest days, largest first
    std::optional<CivilDate> begin, end; // --begin, --end: local days, both included
    bool bCycle = false;
    bool bJson = false;
    bool bCsv = false;
    bool bOneline = false; // today, this month and the plan on one line
    bool bByApp = false;   // --by app: the applications of the days' and months' views
    EByteUnits eUnits = EByteUnits::Binary; // of the tables; the plan's figures keep its own
    std::string strDatabase;                // "" : the service's file or the window's
    std::string strSocket;                  // --socket: the service's socket
    bool bHelp = false;
};

// Pure: reads the arguments after `report`. With no view asked for, shows the last 31 days (the
// days from --begin to --end with those). False with a one-line reason for a bad command line.
bool ParseReportOptions(const std::vector<std::string>& args, ReportOptions& options,
                        std::string& strError);
const char* ReportUsage();

// One bucket: its bytes over all devices and per device, and how much of it was recorded.
struct ReportRow {
    int64_t nStart = 0, nEnd = 0;
    int64_t nSent = 0, nRecv = 0;
    int64_t nRecorded = 0; // seconds of [nStart, min(nEnd, now)) that a recorder ran
    int64_t nLength = 0;   // seconds of [nStart, min(nEnd, now))
    std::map<std::string, std::pair<int64_t, int64_t>> devices; // sent, received
    std::vector<AppUsageRow> apps; // with ReadRows' bApps: the file's application rows
};

// The last nCount buckets of a tier up to the one that holds nNowUtc, from the first one recorded
// on (all nCount when the file holds usage but no recorded time). Throws CSqliteError. With bApps
// (days and months only), also the applications' rows.
std::vector<ReportRow> ReadRows(CUsageStore& store, ETier eTier, int nCount, int64_t nNowUtc,
                                bool bApps = false);
// The days of a plan's current cycle up to today (all of them, recorded or not), in the plan's
// counting (its devices; sent
// bytes left out when it counts received bytes only).
std::vector<ReportRow> ReadCycleRows(CUsageStore& store, const PlanStatus& status, int64_t nNowUtc);

// The whole report as text or JSON, for the options' views. Throws CSqliteError.
std::string MakeReport(CUsageStore& store, const ReportOptions& options, int64_t nNowUtc);

// The command: returns the exit status (0, 1 when the file cannot be read or no plan is set for
// --cycle, 2 for a bad command line); prints to standard output and standard error. Its "now" is
// the clock's wall time.
int RunReport(const std::vector<std::string>& args, const IUsageClock& clock);

// The file a report reads without --database: the service's (strServiceFile) when the service
// answers, or when the user's own (strOwnFile) does not exist and the service's does; else the
// user's own.
std::string ChooseReportFile(bool bServiceAnswers, const std::string& strServiceFile,
                             const std::string& strOwnFile);
