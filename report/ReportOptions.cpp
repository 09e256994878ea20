// `orvek report`'s command line, on the parser every Orvek program shares.

#include "OptionParser.h"
#include "Report.h"

#include <charconv>

namespace {

const char* const kUsage = "Usage: orvek report [OPTIONS], or orvek-report [OPTIONS]\n"
                           "The usage that Orvek kept, by hours, days, months or the data plan's "
                           "cycle, from the usage file.\n";
const char* const kFooter =
    "Times are local; sizes are in units of 1,024 bytes (KiB, MiB, GiB), the cycle's in\n"
    "the plan's unit. Hours, days or months that no Orvek recorded say so.\n";

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
    app.add_flag("--cycle", options.bCycle,
                 "the data plan's current cycle, day by day, against its cap");
    app.add_flag("--json", options.bJson, "one JSON object with exact bytes instead of tables");
    app.add_option("--by",
                   "app: the applications of the days or months shown, largest first (in JSON, "
                   "every bucket's); device (the default) leaves them out")
        ->option_text("app|device")
        ->check(OptionCheck([](const std::string& strValue) {
            return strValue == "app" || strValue == "device"
                       ? ""
                       : QuoteValue(strValue) + " is not app or device";
        }))
        ->each([&options](const std::string& strValue) { options.bByApp = strValue == "app"; });
    app.add_option("--database", options.strDatabase,
                   "the usage file (the window's: $XDG_DATA_HOME/Orvek/usage.sqlite)")
        ->option_text("FILE")
        ->check(OptionCheck([](const std::string& strValue) {
            return strValue.empty() ? std::string("an empty file name") : "";
        }));
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
    if (parsed.nHours == 0 && parsed.nDays == 0 && parsed.nMonths == 0 && !parsed.bCycle) {
        parsed.nDays = 31;
    }
    if (parsed.bByApp && parsed.nHours > 0) {
        strError = "applications are kept by day and month: --by app takes --days or --months";
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
