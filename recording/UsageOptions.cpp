#include "UsageOptions.h"

#include "OptionParser.h"

#include <charconv>

void AddUsageOptions(COptionParser& parser, UsageOptions& options) {
    CLI::App& app = parser.App();
    const char* const szGroup = "Usage file and data plan";
    // Each plan option makes the plan; FinishUsageOptions then asks for its cap and its file.
    const auto plan = [&options]() -> Plan& {
        if (!options.plan) {
            options.plan.emplace();
        }
        return *options.plan;
    };
    app.add_option("--database", options.strDatabase,
                   "keep this host's usage in FILE, by 5 minutes, hour, day and month; read it "
                   "with `orvek report --database FILE` (default: none)")
        ->option_text("FILE")
        ->group(szGroup)
        ->check(OptionCheck([](const std::string& strValue) {
            return strValue.empty() ? std::string("an empty file name") : "";
        }));
    app.add_option("--plan-cap", "set a data plan in FILE: its cap, 50GB (10^9 bytes) or 50GiB "
                                 "(2^30 bytes); metrics add orvek_plan_used_bytes, "
                                 "orvek_plan_limit_bytes")
        ->option_text("SIZE")
        ->group(szGroup)
        ->check(OptionCheck([](const std::string& strValue) {
            int64_t nBytes = 0;
            ECapUnit eUnit{};
            std::string strWhy;
            return ParseCap(strValue, nBytes, eUnit, strWhy) ? "" : strWhy;
        }))
        ->each([plan](const std::string& strValue) {
            std::string strWhy;
            ParseCap(strValue, plan().nCapBytes, plan().eUnit, strWhy);
        });
    app.add_option("--plan-day", "the day of the month the plan's cycle starts (default: 1)")
        ->option_text("DAY")
        ->group(szGroup)
        ->check(OptionCheck([](const std::string& strValue) {
            int nDay = 0;
            const auto [pEnd, ec] =
                std::from_chars(strValue.data(), strValue.data() + strValue.size(), nDay);
            return ec != std::errc() || pEnd != strValue.data() + strValue.size() || nDay < 1 ||
                           nDay > 31
                       ? QuoteValue(strValue) + " is not a day of the month from 1 to 31"
                       : "";
        }))
        ->each([plan](const std::string& strValue) {
            std::from_chars(strValue.data(), strValue.data() + strValue.size(), plan().nCycleDay);
        });
    app.add_option("--plan-counts",
                   "what counts: both (sent and received) or received (default: both)")
        ->option_text("WHAT")
        ->group(szGroup)
        ->check(OptionCheck([](const std::string& strValue) {
            return strValue == "both" || strValue == "received"
                       ? ""
                       : QuoteValue(strValue) + " is not both (sent and received) or received";
        }))
        ->each([plan](const std::string& strValue) {
            plan().eCounting =
                strValue == "received" ? ECounting::ReceivedOnly : ECounting::SentAndReceived;
        });
    app.add_option("--plan-device",
                   "only DEVICE counts against the plan; repeatable (default: all)")
        ->option_text("DEVICE")
        ->group(szGroup)
        ->check(OptionCheck([](const std::string& strValue) {
            return strValue.empty() ? std::string("an empty device name") : "";
        }))
        ->each([plan](const std::string& strValue) { plan().devices.insert(strValue); });
}

bool FinishUsageOptions(COptionParser& parser, const UsageOptions& options, std::string& strError) {
    if (options.plan && parser.App().count("--plan-cap") == 0) {
        strError = "a plan needs its cap: --plan-cap, as in 50GB or 50GiB";
        return false;
    }
    if (options.plan && options.strDatabase.empty()) {
        strError = "a plan is kept in the usage file: give --database too";
        return false;
    }
    return true;
}
