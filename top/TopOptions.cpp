#include "TopOptions.h"

#include "OptionParser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace {

const char* const kUsage = "Usage: orvek-top [OPTIONS], or orvek top [OPTIONS]\n"
                           "A live view of this computer's traffic in the terminal, by device and "
                           "by application.\n";
const char* const kFooter = "Keys: d a Tab views, s sort, u units, p pause, / filter, arrows and "
                            "PgUp/PgDn scroll, ? help, q quit.\n"
                            "It needs a terminal; orvek-headless --json prints lines for scripts. "
                            "More in man orvek.\n";

// A choice among named values: the option's check and how it sets the value.
template <class T>
void AddChoice(CLI::App& app, const char* szName, const char* szHelp,
               const std::vector<std::pair<std::string, T>>& names, T& value) {
    std::string strNames;
    for (const auto& [strName, eValue] : names) {
        strNames += (strNames.empty() ? "" : "|") + strName;
    }
    app.add_option(std::string(szName))
        ->description(szHelp)
        ->option_text(strNames)
        ->check(OptionCheck([names, strNames](const std::string& strValue) {
            return std::ranges::any_of(names,
                                       [&](const auto& name) { return name.first == strValue; })
                       ? ""
                       : QuoteValue(strValue) + " is not " + strNames;
        }))
        ->each([names, &value](const std::string& strValue) {
            for (const auto& [strName, eValue] : names) {
                value = strName == strValue ? eValue : value;
            }
        });
}

bool ParseSeconds(const std::string& strText, double& dSeconds) {
    if (strText.empty() || strText.find_first_not_of("0123456789.") != std::string::npos) {
        return false;
    }
    double dValue = 0;
    const auto [pEnd, ec] =
        std::from_chars(strText.data(), strText.data() + strText.size(), dValue);
    if (ec != std::errc() || pEnd != strText.data() + strText.size() || !std::isfinite(dValue) ||
        dValue < kMinTopInterval || dValue > kMaxTopInterval) {
        return false;
    }
    dSeconds = dValue;
    return true;
}

void AddTopOptions(COptionParser& parser, TopOptions& options) {
    CLI::App& app = parser.App();
    AddChoice(
        app, "--view", "the view shown first (default: devices)",
        std::vector<std::pair<std::string, ETopView>>{{"devices", ETopView::Devices},
                                                      {"applications", ETopView::Applications},
                                                      {"connections", ETopView::Connections}},
        options.choices.eView);
    AddChoice(app, "--sort", "the rows' order, largest first (default: total)",
              std::vector<std::pair<std::string, ETopSort>>{{"total", ETopSort::Total},
                                                            {"sent", ETopSort::Sent},
                                                            {"received", ETopSort::Received},
                                                            {"rate", ETopSort::Rate}},
              options.choices.eSort);
    AddChoice(app, "--units",
              "sizes and rates in binary bytes (KiB of 1,024), decimal bytes (kB of 1,000), or "
              "rates in bits a second (default: binary)",
              std::vector<std::pair<std::string, ETopUnits>>{{"binary", ETopUnits::Binary},
                                                             {"decimal", ETopUnits::Decimal},
                                                             {"bits", ETopUnits::Bits}},
              options.choices.eUnits);
    app.add_option("--interval", "sample and redraw every SECONDS, 0.1 to 3600 (default: 1)")
        ->option_text("SECONDS")
        ->check(OptionCheck([](const std::string& strValue) {
            double dSeconds = 0;
            return ParseSeconds(strValue, dSeconds)
                       ? ""
                       : QuoteValue(strValue) + " is not a number of seconds from 0.1 to 3600";
        }))
        ->each(
            [&options](const std::string& strValue) { ParseSeconds(strValue, options.dInterval); });
    app.add_flag_callback(
        "--no-names", [&options] { options.choices.bNames = false; },
        "show connections' remote addresses, not their names by reverse DNS (n toggles; default: "
        "names)");
    AddCaptureOptions(app, options.strFilter, options.bPromiscuous, options.vecExclude);
    AddSocketOption(app, options.strSocket);
    app.add_flag("--help", options.bHelp, "print this help and exit (default: off)");
    app.add_flag("--version", options.bVersion, "print the version and exit (default: off)");
}

} // namespace

bool ParseTopOptions(const std::vector<std::string>& args, TopOptions& options,
                     std::string& strError) {
    TopOptions parsed;
    COptionParser parser(kUsage, kFooter);
    AddTopOptions(parser, parsed);
    if (!parser.Parse(args, strError)) {
        return false;
    }
    options = parsed;
    return true;
}

const char* TopUsage() {
    static const std::string strUsage = [] {
        TopOptions options;
        COptionParser parser(kUsage, kFooter);
        AddTopOptions(parser, options);
        return parser.Help();
    }();
    return strUsage.c_str();
}
