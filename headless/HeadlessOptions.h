#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// What `orvek --headless` was asked to do.
struct HeadlessOptions {
    std::string strFilter = "tcp or udp";
    bool bPromiscuous = false;
    std::vector<std::string> vecExclude;
    // --tunnel DEVICE=CARRIER: DEVICE's traffic counts inside CARRIER's; DEVICE is captured apart.
    std::map<std::string, std::string> tunnels;
    // --not-tunnel DEVICE: DEVICE counts as any device, whatever its holder's sockets say.
    std::set<std::string> notTunnels;
    double dInterval = 1.0; // seconds between printed lines; 0 prints only at the end
    bool bJson = false;
    bool bTimestamps = false; // text lines start with their time
    bool bMetrics = false;
    std::string strMetricsAddress = "127.0.0.1"; // numeric, without brackets for IPv6
    uint16_t nMetricsPort = 0;
    // With --per-app: the applications shown by name in metrics and JSON lines, the rest as
    // "other"; 0: no applications.
    size_t nPerApp = 0;
    std::string strSocket; // --socket: the service's socket; "" to look where it usually is
    bool bHelp = false;
    bool bVersion = false;
};

// The accepted --interval besides 0: the longest converts to milliseconds in an int, the
// shortest keeps printing from becoming a busy loop.
inline constexpr double kMaxHeadlessInterval = 86400.0;
inline constexpr double kMinHeadlessInterval = 0.1;
// --per-app without a number, and the most it takes: each application is a few series.
inline constexpr size_t kDefaultPerApp = 10;
inline constexpr size_t kMaxPerApp = 1000;

struct UsageOptions;

// Pure: reads the arguments that follow --headless, the usage file's and the plan's options among
// them. On success fills options and usage and returns true; on failure leaves them as they were,
// sets strError to one line naming the option and returns false. Value options also take the
// --option=VALUE form.
bool ParseHeadlessOptions(const std::vector<std::string>& args, HeadlessOptions& options,
                          UsageOptions& usage, std::string& strError);

// The --help text, every option with its default; ends with a newline.
const char* HeadlessUsage();
