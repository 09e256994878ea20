#include "HeadlessNotes.h"

#include "CaptureAdvice.h"

#include <algorithm>
#include <string_view>

std::string DescribeHeadlessStart(const HeadlessOptions& options,
                                  const std::vector<DeviceState>& states) {
    std::string strNotes;
    const auto add = [&strNotes](std::string_view svLine) {
        strNotes.append(strNotes.empty() ? "" : "\n").append(svLine);
    };
    for (const std::string& strExcluded : options.vecExclude) {
        if (std::ranges::find(states, strExcluded, &DeviceState::strName) == states.end()) {
            add("warning: --exclude " + strExcluded +
                ": no device has this name; it stays excluded if one appears");
        }
    }
    for (const auto& [strDevice, strCarrier] : options.tunnels) {
        if (std::ranges::find(states, strDevice, &DeviceState::strName) == states.end()) {
            add("warning: --tunnel " + strDevice +
                ": no device has this name; it is taken for a tunnel if one appears");
        }
    }
    if (const std::string strNothing = DescribeNothingCaptured(
            states, "To count a device, leave out its --exclude (or --tunnel) option.");
        !strNothing.empty()) {
        add(strNothing);
    }
    return strNotes;
}

std::string DescribeQuietRun(const HeadlessOptions& options) {
    std::string strLine = "capturing; the totals are printed when SIGINT or SIGTERM ends it";
    if (options.bMetrics) {
        const bool bIPv6 = options.strMetricsAddress.find(':') != std::string::npos;
        strLine += "; metrics at http://" +
                   (bIPv6 ? "[" + options.strMetricsAddress + "]" : options.strMetricsAddress) +
                   ":" + std::to_string(options.nMetricsPort) + "/metrics";
    }
    return strLine;
}
