#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What `orvek --headless` was asked to do.
struct HeadlessOptions {
    std::string strFilter = "tcp or udp";
    bool bPromiscuous = false;
    std::vector<std::string> vecExclude;
    double dInterval = 1.0; // seconds between printed lines; 0 prints only at the end
    bool bJson = false;
    bool bTimestamps = false; // text lines start with their time
    bool bMetrics = false;
    std::string strMetricsAddress = "127.0.0.1"; // numeric, without brackets for IPv6
    uint16_t nMetricsPort = 0;
    bool bHelp = false;
    bool bVersion = false;
};

// The longest accepted --interval, so that it converts to milliseconds in an int.
inline constexpr double kMaxHeadlessInterval = 86400.0;

// Pure: reads the arguments that follow --headless. On success fills options and returns true; on
// failure leaves options as they were, sets strError to one line naming the option and returns
// false. Value options also take the --option=VALUE form.
bool ParseHeadlessOptions(const std::vector<std::string>& args, HeadlessOptions& options,
                          std::string& strError);

// The --help text, one line per option with its default; ends with a newline.
const char* HeadlessUsage();
