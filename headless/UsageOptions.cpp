#include "UsageOptions.h"

#include <charconv>

bool TakeUsageOptions(std::vector<std::string>& args, UsageOptions& options,
                      std::string& strError) {
    std::vector<std::string> rest;
    UsageOptions parsed;
    Plan plan;
    bool bPlan = false, bCap = false;
    for (size_t n = 0; n < args.size(); ++n) {
        const std::string& strArg = args[n];
        const size_t nEquals = strArg.find('=');
        const std::string strName = strArg.substr(0, nEquals);
        if (strName != "--database" && !strName.starts_with("--plan-")) {
            rest.push_back(strArg);
            continue;
        }
        std::string strValue;
        if (nEquals != std::string::npos) {
            strValue = strArg.substr(nEquals + 1);
        } else if (n + 1 < args.size()) {
            strValue = args[++n];
        } else {
            strError = strName + " needs a value";
            return false;
        }
        if (strName == "--database") {
            if (strValue.empty()) {
                strError = "--database needs a file";
                return false;
            }
            parsed.strDatabase = strValue;
            continue;
        }
        bPlan = true;
        if (strName == "--plan-cap") {
            if (!ParseCap(strValue, plan.nCapBytes, plan.eUnit, strError)) {
                strError = "--plan-cap: " + strError;
                return false;
            }
            bCap = true;
        } else if (strName == "--plan-day") {
            int nDay = 0;
            const auto [pEnd, ec] =
                std::from_chars(strValue.data(), strValue.data() + strValue.size(), nDay);
            if (ec != std::errc() || pEnd != strValue.data() + strValue.size() || nDay < 1 ||
                nDay > 31) {
                strError = "--plan-day takes the day of the month a cycle starts on, 1 to 31";
                return false;
            }
            plan.nCycleDay = nDay;
        } else if (strName == "--plan-counts") {
            if (strValue != "both" && strValue != "received") {
                strError = "--plan-counts takes 'both' (sent and received) or 'received'";
                return false;
            }
            plan.eCounting =
                strValue == "received" ? ECounting::ReceivedOnly : ECounting::SentAndReceived;
        } else if (strName == "--plan-device") {
            if (strValue.empty()) {
                strError = "--plan-device needs a device name";
                return false;
            }
            plan.devices.insert(strValue);
        } else {
            strError = "unknown option '" + strName + "'";
            return false;
        }
    }
    if (bPlan && !bCap) {
        strError = "a plan needs its cap: --plan-cap, as in 50GB or 50GiB";
        return false;
    }
    if (bPlan && parsed.strDatabase.empty()) {
        strError = "a plan is kept in the usage file: give --database too";
        return false;
    }
    if (bPlan) {
        parsed.plan = plan;
    }
    options = parsed;
    args = rest;
    return true;
}
