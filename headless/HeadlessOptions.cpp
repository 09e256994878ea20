#include "HeadlessOptions.h"

#include "MetricsServer.h"

#include "OptionParser.h"
#include "UsageOptions.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace {

bool IsDigits(std::string_view svText) {
    return !svText.empty() && svText.find_first_not_of("0123456789") == std::string_view::npos;
}

// Plain decimal only: from_chars alone would also take "inf", "1e3" and a minus sign.
bool ParseSeconds(std::string_view svText, double& dSeconds) {
    const size_t nDot = svText.find('.');
    const std::string_view svWhole = svText.substr(0, nDot);
    const std::string_view svFraction =
        nDot == std::string_view::npos ? std::string_view() : svText.substr(nDot + 1);
    if ((svWhole.empty() && svFraction.empty()) || (!svWhole.empty() && !IsDigits(svWhole)) ||
        (!svFraction.empty() && !IsDigits(svFraction))) {
        return false;
    }
    double dValue = 0;
    const auto [pEnd, ec] = std::from_chars(svText.data(), svText.data() + svText.size(), dValue);
    // 0 prints only at the end; a shorter interval than the least would only spin.
    if (ec != std::errc() || pEnd != svText.data() + svText.size() || !std::isfinite(dValue) ||
        dValue > kMaxHeadlessInterval || (dValue != 0 && dValue < kMinHeadlessInterval)) {
        return false;
    }
    dSeconds = dValue;
    return true;
}

const char* const kUsage =
    "Usage: orvek-headless [OPTIONS], or orvek --headless [OPTIONS]\n"
    "Counts this computer's traffic without a window and prints the totals.\n";
const char* const kFooter =
    "SIGINT or SIGTERM prints the final line and ends it. More in man orvek.\n";

void AddHeadlessOptions(COptionParser& parser, HeadlessOptions& options, UsageOptions& usage) {
    CLI::App& app = parser.App();
    // Checks first, then the value is taken (each() sees every use of the option, in order).
    const auto device = OptionCheck([](const std::string& strValue) {
        return strValue.empty() ? std::string("an empty device name") : "";
    });
    AddCaptureOptions(app, options.strFilter, options.bPromiscuous, options.vecExclude);
    AddSocketOption(app, options.strSocket);
    app.add_option("--tunnel", "DEVICE is a tunnel whose packets travel inside CARRIER's (a VPN's "
                               "tun device over the uplink): captured apart, in no total, counted "
                               "in CARRIER's outer packets; repeatable (default: none)")
        ->option_text("DEVICE=CARRIER")
        ->check(OptionCheck([](const std::string& strValue) {
            const size_t nSplit = strValue.find('=');
            const std::string strDevice = strValue.substr(0, nSplit);
            const std::string strCarrier =
                nSplit == std::string::npos ? "" : strValue.substr(nSplit + 1);
            return strDevice.empty() || strCarrier.empty() || strDevice == strCarrier
                       ? QuoteValue(strValue) + " is not DEVICE=CARRIER, two devices"
                       : "";
        }))
        ->each([&options](const std::string& strValue) {
            const size_t nSplit = strValue.find('=');
            options.tunnels[strValue.substr(0, nSplit)] = strValue.substr(nSplit + 1);
        });
    app.add_option("--not-tunnel",
                   "DEVICE is no tunnel, whatever the program that holds it does: counted as any "
                   "device; repeatable (default: a tun device whose program sends its packets over "
                   "a connection of its own is a tunnel)")
        ->option_text("DEVICE")
        ->check(device)
        ->each([&options](const std::string& strDevice) { options.notTunnels.insert(strDevice); });
    app.add_option("--interval",
                   "print every SECONDS (0.1 to 86400), 0 = only at exit (default: 1)")
        ->option_text("SECONDS")
        ->check(OptionCheck([](const std::string& strValue) {
            double dSeconds = 0;
            return ParseSeconds(strValue, dSeconds)
                       ? ""
                       : QuoteValue(strValue) +
                             " is not 0 or a decimal number of seconds from 0.1 to 86400";
        }))
        ->each(
            [&options](const std::string& strValue) { ParseSeconds(strValue, options.dInterval); });
    app.add_flag("--json", options.bJson,
                 "print JSON lines, with time and rates, instead of text (default: off)");
    app.add_flag("--timestamps", options.bTimestamps,
                 "start each text line with its time, UTC (default: off)");
    // A number only in the --per-app=N form, so that an argument after it is never taken for one.
    app.add_flag("--per-app{" + std::to_string(kDefaultPerApp) + "}")
        ->description(
            "by application: JSON lines gain \"apps\", metrics orvek_app_bytes_total; the N "
            "largest (" +
            std::to_string(kDefaultPerApp) + ") by name, the rest as other (default: off)")
        ->option_text("[=N]")
        ->check(OptionCheck([](const std::string& strValue) {
            size_t nTop = 0;
            const auto [pEnd, ec] =
                std::from_chars(strValue.data(), strValue.data() + strValue.size(), nTop);
            return ec != std::errc() || pEnd != strValue.data() + strValue.size() || nTop < 1 ||
                           nTop > kMaxPerApp
                       ? QuoteValue(strValue) + " is not a number from 1 to " +
                             std::to_string(kMaxPerApp)
                       : "";
        }))
        ->each([&options](const std::string& strValue) {
            std::from_chars(strValue.data(), strValue.data() + strValue.size(), options.nPerApp);
        });
    AddMetricsOption(parser,
                     "serve Prometheus metrics on /metrics; ADDRESS is IPv4 or [IPv6] (default: "
                     "off, ADDRESS 127.0.0.1)",
                     options.bMetrics, options.strMetricsAddress, options.nMetricsPort);
    app.add_flag("--help", options.bHelp, "print this help and exit (default: off)");
    app.add_flag("--version", options.bVersion, "print the version and exit (default: off)");
    AddUsageOptions(parser, usage);
}

} // namespace

bool ParseHeadlessOptions(const std::vector<std::string>& args, HeadlessOptions& options,
                          UsageOptions& usage, std::string& strError) {
    // Parsed into copies so that a failure changes nothing.
    HeadlessOptions parsed = options;
    UsageOptions parsedUsage;
    COptionParser parser(kUsage, kFooter);
    AddHeadlessOptions(parser, parsed, parsedUsage);
    if (!parser.Parse(args, strError) || !FinishUsageOptions(parser, parsedUsage, strError)) {
        return false;
    }
    options = std::move(parsed);
    usage = std::move(parsedUsage);
    return true;
}

const char* HeadlessUsage() {
    // Made once from the options themselves, so that it lists every one.
    static const std::string strUsage = [] {
        HeadlessOptions options;
        UsageOptions usage;
        COptionParser parser(kUsage, kFooter);
        AddHeadlessOptions(parser, options, usage);
        return parser.Help();
    }();
    return strUsage.c_str();
}
