// `orvek report`'s command line, on the parser every Orvek program shares.

#include "OptionParser.h"
#include "Report.h"

#include <charconv>

namespace {

const char* const kUsage = "Usage: orvek report [OPTIONS], or orvek-report [OPTIONS]\n"
                           "The usage that Orvek kept, by hours, days, months, years or the data "
                           "plan's cycle, from the usage file.\n";
const char* const kFooter =
    "Times are local. Views start at the first time recorded; hours, days or months in them\n"
    "that no Orvek recorded say so. Sizes are in the --units family, the plan's figures and\n"
    "the cycle's days in the plan's. --oneline prints \"today X \u00b7 MONTH Y \u00b7 plan P % of "
    "CAP\"\n"
    "(\"not recorded\", \"no plan\" in their places). Exit status: 0, 1 when the file cannot\n"
    "be read (or --cycle finds no plan), 2 for a bad command line.\n";

// "2026-12-08": a real day of the Gregorian calendar, four-digit year.
bool ParseDate(const std::string& strText, CivilDate& date) {
    if (strText.size() != 10 || strText[4] != '-' || strText[7] != '-') {
        return false;
    }
    const auto number = [&](size_t nAt, size_t nLength, int& nValue) {
        const char* pBegin = strText.data() + nAt;
        const auto [pEnd, ec] = std::from_chars(pBegin, pBegin + nLength, nValue);
        return ec == std::errc() && pEnd == pBegin + nLength && *pBegin != '-' && *pBegin != '+';
    };
    CivilDate parsed;
    if (!number(0, 4, parsed.nYear) || !number(5, 2, parsed.nMonth) || !number(8, 2, parsed.nDay) ||
        parsed.nYear < 1970 || parsed.nMonth < 1 || parsed.nMonth > 12 || parsed.nDay < 1 ||
        parsed.nDay > DaysInMonth(parsed.nYear, parsed.nMonth)) {
        return false;
    }
    date = parsed;
    return true;
}

void AddDate(CLI::App& app, const char* szName, const char* szWhat,
             std::optional<CivilDate>& date) {
    app.add_option(szName)
        ->description(szWhat)
        ->option_text("DATE")
        ->check(OptionCheck([](const std::string& strValue) {
            CivilDate parsed;
            return ParseDate(strValue, parsed)
                       ? ""
                       : QuoteValue(strValue) + " is not a day as YYYY-MM-DD (1970 or later)";
        }))
        ->each([&date](const std::string& strValue) {
            CivilDate parsed;
            if (ParseDate(strValue, parsed)) {
                date = parsed;
            }
        });
}

// --hours, --days, --months: the view, with a count only in the --NAME=N form.
void AddCount(CLI::App& app, const char* szName, int nDefault, int nMax, const char* szWhat,
              int& nCount) {
    app.add_flag(std::string(szName) + "{" + std::to_string(nDefault) + "}")
        ->description(szWhat)
        ->option_text("[=N]")
        ->check(OptionCheck([nMax](const std::string& strValue) {
            int nValue = 0;
            const auto [pEnd, ec] =
                std::from_chars(strValue.data(), strValue.data() + strValue.size(), nValue);
            return ec != std::errc() || pEnd != strValue.data() + strValue.size() || nValue < 1 ||
                           nValue > nMax
                       ? QuoteValue(strValue) + " is not a count from 1 to " + std::to_string(nMax)
                       : "";
        }))
        ->each([&nCount](const std::string& strValue) {
            std::from_chars(strValue.data(), strValue.data() + strValue.size(), nCount);
        });
}

void AddReportOptions(COptionParser& parser, ReportOptions& options) {
    CLI::App& app = parser.App();
    // Hours are kept 14 days.
    AddCount(app, "--hours", 24, 14 * 24, "the last N hours (24; hours are kept 14 days)",
             options.nHours);
    AddCount(app, "--days", 31, 731,
             "the last N days (31; the default view; days are kept 2 years)", options.nDays);
    AddCount(app, "--months", 12, 1200, "the last N months (12; months are kept forever)",
             options.nMonths);
    AddCount(app, "--years", 10, 100, "the last N years (10; from the months)", options.nYears);
    AddCount(app, "--top", 10, 731, "the N largest days, largest first (10)", options.nTop);
    AddDate(app, "--begin",
            "the first local day of the views (with --hours, --days, --months, --years or "
            "--top; the first recorded when left out)",
            options.begin);
    AddDate(app, "--end", "their last local day, included (today when left out)", options.end);
    app.add_flag("--cycle", options.bCycle,
                 "the data plan's current cycle, day by day, against its cap");
    app.add_flag("--oneline", options.bOneline,
                 "today, this month and the plan on one line (with --json, a small object)");
    app.add_flag("--json", options.bJson, "one JSON object with exact bytes instead of tables");
    app.add_flag("--csv", options.bCsv,
                 "a header line and one line per bucket, exact bytes (RFC 4180)");
    AddByteUnitsOption(app,
                       "binary: KiB, MiB, GiB of 1,024 (the default); decimal: kB, MB, GB of 1,000",
                       [&options](EByteUnits eUnits) { options.eUnits = eUnits; });
    app.add_option("--by",
                   "app: the applications of the days, months or years shown, largest first (in "
                   "JSON and CSV, every bucket's); device (the default) leaves them out")
        ->option_text("app|device")
        ->check(OptionCheck([](const std::string& strValue) {
            return strValue == "app" || strValue == "device"
                       ? ""
                       : QuoteValue(strValue) + " is not app or device";
        }))
        ->each([&options](const std::string& strValue) { options.bByApp = strValue == "app"; });
    app.add_option("--database", options.strDatabase,
                   "the usage file (default: the system service's, $ORVEK_STATE_DIR/usage.sqlite "
                   "or /var/lib/orvek/usage.sqlite, when the service answers or the window's file "
                   "does not exist; else the window's, $XDG_DATA_HOME/Orvek/usage.sqlite)")
        ->option_text("FILE")
        ->check(OptionCheck([](const std::string& strValue) {
            return strValue.empty() ? std::string("an empty file name") : "";
        }));
    AddSocketOption(app, options.strSocket);
    app.add_flag("--help", options.bHelp, "print this help and exit");
}

} // namespace

bool ParseReportOptions(const std::vector<std::string>& args, ReportOptions& options,
                        std::string& strError) {
    ReportOptions parsed;
    COptionParser parser(kUsage, kFooter);
    AddReportOptions(parser, parsed);
    if (!parser.Parse(args, strError)) {
        return false;
    }
    const bool bRange = parsed.begin || parsed.end;
    if (parsed.bOneline) {
        // One line of its own: a view beside it would make it two.
        const std::pair<bool, const char*> others[] = {{parsed.nHours > 0, "--hours"},
                                                       {parsed.nDays > 0, "--days"},
                                                       {parsed.nMonths > 0, "--months"},
                                                       {parsed.nYears > 0, "--years"},
                                                       {parsed.nTop > 0, "--top"},
                                                       {parsed.bCycle, "--cycle"},
                                                       {bRange, "--begin and --end"},
                                                       {parsed.bByApp, "--by app"},
                                                       {parsed.bCsv, "--csv"}};
        for (const auto& [bGiven, szName] : others) {
            if (bGiven) {
                strError = std::string("--oneline prints one line of its own: not with ") + szName;
                return false;
            }
        }
    }
    if (parsed.bJson && parsed.bCsv) {
        strError = "--json and --csv are two output formats: choose one";
        return false;
    }
    if (parsed.begin && parsed.end && *parsed.end < *parsed.begin) {
        strError =
            "--end " + FormatDate(*parsed.end) + " is before --begin " + FormatDate(*parsed.begin);
        return false;
    }
    if (!parsed.bOneline && parsed.nHours == 0 && parsed.nDays == 0 && parsed.nMonths == 0 &&
        parsed.nYears == 0 && parsed.nTop == 0 && (!parsed.bCycle || bRange)) {
        parsed.nDays = 31;
    }
    if (parsed.bByApp && parsed.nHours > 0) {
        strError = "applications are kept by day and month: --by app takes --days, --months or "
                   "--years";
        return false;
    }
    if (parsed.bByApp && parsed.nTop > 0) {
        strError = "--top ranks days by their devices' bytes: not with --by app";
        return false;
    }
    if (parsed.bByApp && parsed.bCsv && parsed.bCycle) {
        // The cycle stays by device, and one CSV table has one header.
        strError = "--csv --by app has no columns for --cycle's devices: run them apart";
        return false;
    }
    options = parsed;
    return true;
}

const char* ReportUsage() {
    // Made once from the options themselves, so that it lists every one.
    static const std::string strUsage = [] {
        ReportOptions options;
        COptionParser parser(kUsage, kFooter);
        AddReportOptions(parser, options);
        return parser.Help();
    }();
    return strUsage.c_str();
}
