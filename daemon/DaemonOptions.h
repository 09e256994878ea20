#pragma once

#include <cstdint>
#include <string>
#include <vector>

// orvekd's command line.
struct DaemonOptions {
    std::string strStateDir = "/var/lib/orvek";
    std::string strSocket = "/run/orvek/orvekd.sock";
    // "": root alone sees every application and changes the plan. Without the option: the
    // installed capture helper's group (InstalledCaptureGroup).
    std::string strCaptureGroup;
    // --metrics: Prometheus's /metrics served there; off by default.
    bool bMetrics = false;
    std::string strMetricsAddress = "127.0.0.1"; // numeric, without brackets for IPv6
    uint16_t nMetricsPort = 0;
    bool bHelp = false;
    bool bVersion = false;
};

// Parses args (without the program's name); false with a one-line reason.
bool ParseDaemonOptions(const std::vector<std::string>& args, DaemonOptions& options,
                        std::string& strError);
// The --help text.
const char* DaemonUsage();
// The capture group as installed: the group of the capture helper where it is installed beside
// the service (libexec/orvek/orvek-capture), which the install (ORVEK_CAPTURE_GROUP) or the
// package gives it; "" when the helper is root's group or is not there.
std::string InstalledCaptureGroup();
