#include "HeadlessOptions.h"

#include <arpa/inet.h>

#include <charconv>
#include <cmath>
#include <string_view>

namespace {

// Values are quoted back in errors; control characters would break the one-line promise.
std::string Quote(std::string_view svValue) {
    std::string strQuoted = "'";
    for (const char ch : svValue) {
        strQuoted += static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F ? '?' : ch;
    }
    return strQuoted + "'";
}

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

bool ParsePort(std::string_view svText, uint16_t& nPort) {
    unsigned nValue = 0;
    if (!IsDigits(svText) || svText.size() > 5) {
        return false;
    }
    std::from_chars(svText.data(), svText.data() + svText.size(), nValue);
    if (nValue < 1 || nValue > 65535) {
        return false;
    }
    nPort = static_cast<uint16_t>(nValue);
    return true;
}

// [ADDRESS:]PORT with ADDRESS an IPv4 literal or a bracketed IPv6 one. Names are refused: the
// exporter must not depend on name resolution to know where it listens.
bool ParseListenAddress(std::string_view svText, std::string& strAddress, uint16_t& nPort,
                        std::string& strWhy) {
    std::string strHost;
    std::string_view svPort = svText;
    bool bHost = false;
    int nFamily = AF_INET;
    if (!svText.empty() && svText.front() == '[') {
        const size_t nClose = svText.find(']');
        if (nClose == std::string_view::npos || nClose + 1 >= svText.size() ||
            svText[nClose + 1] != ':') {
            strWhy = "an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        strHost = svText.substr(1, nClose - 1);
        svPort = svText.substr(nClose + 2);
        bHost = true;
        nFamily = AF_INET6;
    } else if (const size_t nColon = svText.rfind(':'); nColon != std::string_view::npos) {
        strHost = svText.substr(0, nColon);
        svPort = svText.substr(nColon + 1);
        bHost = true;
        if (strHost.find(':') != std::string::npos) {
            strWhy = "an IPv6 address goes in brackets, as in [::1]:9100";
            return false;
        }
    }
    if (!ParsePort(svPort, nPort)) {
        strWhy = "the port must be a number from 1 to 65535";
        return false;
    }
    if (bHost) {
        unsigned char abAddress[16];
        // inet_pton reads a C string: an embedded NUL would hide what follows it.
        if (strHost.find('\0') != std::string::npos ||
            inet_pton(nFamily, strHost.c_str(), abAddress) != 1) {
            strWhy = nFamily == AF_INET6 ? "not an IPv6 address" : "not an IPv4 address";
            return false;
        }
        strAddress = strHost;
    }
    return true;
}

} // namespace

bool ParseHeadlessOptions(const std::vector<std::string>& args, HeadlessOptions& options,
                          std::string& strError) {
    // Parsed into a copy so that a failure changes nothing.
    HeadlessOptions parsed = options;
    for (size_t nIndex = 0; nIndex < args.size(); ++nIndex) {
        const std::string& strArg = args[nIndex];
        const size_t nEquals = strArg.find('=');
        const bool bInline = strArg.rfind("--", 0) == 0 && nEquals != std::string::npos;
        const std::string strName = bInline ? strArg.substr(0, nEquals) : strArg;

        if (strName == "--promiscuous" || strName == "--json" || strName == "--timestamps" ||
            strName == "--help" || strName == "--version") {
            if (bInline) {
                strError = strName + " takes no value";
                return false;
            }
            bool& bFlag = strName == "--promiscuous"  ? parsed.bPromiscuous
                          : strName == "--json"       ? parsed.bJson
                          : strName == "--timestamps" ? parsed.bTimestamps
                          : strName == "--help"       ? parsed.bHelp
                                                      : parsed.bVersion;
            bFlag = true;
            continue;
        }
        if (strName == "--per-app") {
            // A number only in the --per-app=N form, so that a device or filter after it is
            // never taken for one.
            size_t nTop = kDefaultPerApp;
            if (bInline) {
                const std::string strValue = strArg.substr(nEquals + 1);
                const auto [pEnd, ec] =
                    std::from_chars(strValue.data(), strValue.data() + strValue.size(), nTop);
                if (ec != std::errc() || pEnd != strValue.data() + strValue.size() || nTop < 1 ||
                    nTop > kMaxPerApp) {
                    strError = "--per-app " + Quote(strValue) + ": not a number from 1 to " +
                               std::to_string(kMaxPerApp);
                    return false;
                }
            }
            parsed.nPerApp = nTop;
            continue;
        }
        if (strName != "--filter" && strName != "--exclude" && strName != "--tunnel" &&
            strName != "--not-tunnel" && strName != "--interval" && strName != "--metrics") {
            strError = strArg.rfind("--", 0) == 0 ? "unknown option " + Quote(strName)
                                                  : "unexpected argument " + Quote(strArg);
            return false;
        }

        std::string strValue;
        if (bInline) {
            strValue = strArg.substr(nEquals + 1);
        } else if (nIndex + 1 < args.size()) {
            strValue = args[++nIndex];
        } else {
            strError = strName + " needs a value";
            return false;
        }

        if (strName == "--filter") {
            parsed.strFilter = strValue;
        } else if (strName == "--exclude") {
            if (strValue.empty()) {
                strError = "--exclude needs a device name";
                return false;
            }
            parsed.vecExclude.push_back(strValue);
        } else if (strName == "--tunnel") {
            const size_t nSplit = strValue.find('=');
            const std::string strDevice = strValue.substr(0, nSplit);
            const std::string strCarrier =
                nSplit == std::string::npos ? "" : strValue.substr(nSplit + 1);
            if (strDevice.empty() || strCarrier.empty() || strDevice == strCarrier) {
                strError = "--tunnel " + Quote(strValue) + ": not DEVICE=CARRIER, two devices";
                return false;
            }
            parsed.tunnels[strDevice] = strCarrier;
        } else if (strName == "--not-tunnel") {
            if (strValue.empty()) {
                strError = "--not-tunnel needs a device name";
                return false;
            }
            parsed.notTunnels.insert(strValue);
        } else if (strName == "--interval") {
            if (!ParseSeconds(strValue, parsed.dInterval)) {
                strError = "--interval " + Quote(strValue) + ": not 0 or a decimal number of " +
                           "seconds from 0.1 to 86400";
                return false;
            }
        } else {
            std::string strWhy;
            if (!ParseListenAddress(strValue, parsed.strMetricsAddress, parsed.nMetricsPort,
                                    strWhy)) {
                strError = "--metrics " + Quote(strValue) + ": " + strWhy;
                return false;
            }
            parsed.bMetrics = true;
        }
    }
    options = std::move(parsed);
    return true;
}

const char* HeadlessUsage() {
    return "Usage: orvek-headless [OPTIONS], or orvek --headless [OPTIONS]\n"
           "Counts this computer's traffic without a window and prints the totals.\n"
           "  --filter EXPR            capture filter, libpcap syntax (default: \"tcp or udp\")\n"
           "  --promiscuous            capture in promiscuous mode (default: off)\n"
           "  --exclude DEVICE         leave DEVICE alone; repeatable (default: none)\n"
           "  --tunnel DEVICE=CARRIER  DEVICE is a tunnel whose packets travel inside CARRIER's "
           "(a VPN's tun device over the uplink): captured apart, in no total, counted in "
           "CARRIER's outer packets; repeatable (default: none)\n"
           "  --not-tunnel DEVICE      DEVICE is no tunnel, whatever the program that holds it "
           "does: counted as any device; repeatable (default: a tun device whose program sends "
           "its packets over a connection of its own is a tunnel)\n"
           "  --interval SECONDS       print every SECONDS (0.1 to 86400), 0 = only at exit "
           "(default: 1)\n"
           "  --json                   print JSON lines, with time and rates, instead of text "
           "(default: off)\n"
           "  --timestamps             start each text line with its time, UTC (default: off)\n"
           "  --per-app[=N]            by application: JSON lines gain \"apps\", metrics "
           "orvek_app_bytes_total; the N largest (10) by name, the rest as other "
           "(default: off)\n"
           "  --metrics [ADDRESS:]PORT serve Prometheus metrics on /metrics; ADDRESS is IPv4 or "
           "[IPv6] (default: off, ADDRESS 127.0.0.1)\n"
           "  --database FILE          keep this host's usage in FILE, by 5 minutes, hour, day and "
           "month; read it with `orvek report --database FILE` (default: none)\n"
           "  --plan-cap SIZE          set a data plan in FILE: its cap, 50GB (10^9 bytes) or "
           "50GiB "
           "(2^30 bytes); metrics add orvek_plan_used_bytes, orvek_plan_limit_bytes\n"
           "  --plan-day DAY           the day of the month the plan's cycle starts (default: 1)\n"
           "  --plan-counts WHAT       what counts: both (sent and received) or received "
           "(default: both)\n"
           "  --plan-device DEVICE     only DEVICE counts against the plan; repeatable "
           "(default: all)\n"
           "  --help                   print this help and exit (default: off)\n"
           "  --version                print the version and exit (default: off)\n"
           "SIGINT or SIGTERM prints the final line and ends it. More in man orvek.\n";
}
