#include "DeviceState.h"

#include <algorithm>

std::string DescribeDeviceFailures(const std::vector<DeviceFailure>& failures) {
    const auto named = [](const std::string& strDevices, const std::string& strText) {
        // libpcap's open errors already start with the device's name.
        return strText.rfind(strDevices + ":", 0) == 0 ? strText : strDevices + ": " + strText;
    };
    const bool bAlike = std::ranges::all_of(failures, [&](const DeviceFailure& failure) {
        return DescribeError(failure.error) == DescribeError(failures.front().error);
    });
    std::string strMessage;
    if (bAlike && !failures.empty()) {
        // One problem on several devices (a filter that tunnels refuse) is said once.
        std::string strDevices;
        for (const DeviceFailure& failure : failures) {
            strDevices.append(strDevices.empty() ? "" : ", ").append(failure.strDevice);
        }
        return named(strDevices, DescribeError(failures.front().error));
    }
    for (const DeviceFailure& failure : failures) {
        strMessage.append(strMessage.empty() ? "" : "\n")
            .append(named(failure.strDevice, DescribeError(failure.error)));
    }
    return strMessage;
}

bool IsPermissionFailure(const CZarnException& e) {
    return e.HasDescription() &&
           (e.GetCode() == kCapturePermissionDenied || e.GetCode() == kPromiscuousPermissionDenied);
}
