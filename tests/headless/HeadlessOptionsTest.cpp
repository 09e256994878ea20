// The headless options on crafted argument lists: every option in both forms, the values each
// takes, and refusals that name the option, stay on one line and change nothing; --help lists
// every option the parser takes.

#include "HeadlessOptions.h"
#include "HeadlessMain.h"
#include "UsageOptions.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using Args = std::vector<std::string>;

// Every field, so that one comparison shows what a parse changed.
std::string Describe(const HeadlessOptions& options) {
    std::ostringstream text;
    text << options.strFilter << '|' << options.bPromiscuous << options.bJson << options.bTimestamps
         << options.bHelp << options.bVersion << '|';
    for (const std::string& strDevice : options.vecExclude) {
        text << strDevice << ',';
    }
    for (const auto& [strDevice, strCarrier] : options.tunnels) {
        text << strDevice << '>' << strCarrier << ',';
    }
    for (const std::string& strDevice : options.notTunnels) {
        text << '!' << strDevice << ',';
    }
    text << '|' << options.dInterval << '|' << options.bMetrics << ' ' << options.strMetricsAddress
         << ' ' << options.nMetricsPort << '|' << options.nPerApp;
    return text.str();
}

// What args parse to onto the defaults, or "error: " and the refusal, which must change nothing.
std::string Parse(const Args& args) {
    HeadlessOptions options;
    UsageOptions usage;
    std::string strError;
    if (ParseHeadlessOptions(args, options, usage, strError)) {
        return Describe(options);
    }
    EXPECT_EQ(Describe(options), Describe(HeadlessOptions{})) << strError;
    EXPECT_FALSE(usage.plan) << strError;
    return "error: " + strError;
}

TEST(HeadlessOptions, EveryOptionAndTheValuesItTakes) {
    EXPECT_EQ(Parse({}), "tcp or udp|00000||1|0 127.0.0.1 0|0");
    // A value that looks like an option is still a value; only the first '=' splits; a repeated
    // option's last value counts.
    for (const auto& [args, strOptions] : std::vector<std::pair<Args, std::string>>{
             {{"--filter", "--json", "--promiscuous", "--exclude", "eth0", "--exclude=wlan 0",
               "--interval", ".1", "--json", "--metrics", "9100", "--help", "--version",
               "--per-app"},
              "--json|11011|eth0,wlan 0,|0.1|1 127.0.0.1 9100|10"},
             {{"--filter=ip[0]=0x45", "--interval=0", "--metrics=[::1]:1", "--timestamps",
               "--per-app=1"},
              "ip[0]=0x45|00100||0|1 ::1 1|1"},
             {{"--exclude", "--json=1", "--filter", "--interval"},
              "--interval|00000|--json=1,|1|0 127.0.0.1 0|0"},
             // A device's last --tunnel counts.
             {{"--tunnel", "tun0=wlan0", "--tunnel=wg 0=eth0=1", "--tunnel", "tun0=eth0",
               "--not-tunnel", "tun1", "--not-tunnel=tap 0"},
              "tcp or udp|00000|tun0>eth0,wg 0>eth0=1,!tap 0,!tun1,|1|0 127.0.0.1 0|0"},
             {{"--interval", "86400.", "--metrics", "0.0.0.0:65535", "--per-app=1000", "--interval",
               "2", "--per-app"},
              "tcp or udp|00000||2|1 0.0.0.0 65535|10"}}) {
        EXPECT_EQ(Parse(args), strOptions);
    }
}

// The pushes the program asks for: a line's interval, a second when no line is printed (the
// metrics read what is there), within what the protocol allows.
TEST(HeadlessOptions, ThePaceFollowsTheInterval) {
    for (const auto& [dInterval, nPaceMs] : std::vector<std::pair<double, int64_t>>{
             {0.1, 100}, {0.25, 250}, {0.9996, 1000}, {0, 1000}, {2, 1000}, {86400, 1000}}) {
        HeadlessOptions options;
        options.dInterval = dInterval;
        EXPECT_EQ(HeadlessPace(options).count(), nPaceMs) << dInterval;
    }
}

TEST(HeadlessOptions, RefusalsNameTheOptionOnOneLine) {
    using namespace std::string_literals;
    for (const std::string& strBad : Args{"--bogus=1",
                                          "-x",
                                          "--",
                                          "eth0",
                                          "--filter",
                                          "--exclude=",
                                          "--tunnel",
                                          "--tunnel=tun0",
                                          "--tunnel==eth0",
                                          "--tunnel=tun0=",
                                          "--tunnel=eth0=eth0",
                                          "--not-tunnel",
                                          "--not-tunnel=",
                                          "--json=yes",
                                          "--help=",
                                          "--interval=",
                                          "--interval=-1",
                                          "--interval=1.2.3",
                                          "--interval=86400.5",
                                          "--interval=0.0004",
                                          "--interval=0.09",
                                          "--interval=1\n2",
                                          "--metrics=0",
                                          "--metrics=65536",
                                          "--metrics=9100x",
                                          "--metrics=localhost:9100",
                                          "--metrics=::1:9100",
                                          "--metrics=[::1]",
                                          "--metrics=[127.0.0.1]:80",
                                          "--metrics=256.1.1.1:80",
                                          "--metrics=127.0.0.1\0x:80"s,
                                          "--per-app=0",
                                          "--per-app=1001",
                                          "--per-app=",
                                          "--per-app=5x",
                                          "--database",
                                          "--database=",
                                          "--plan-day=1",
                                          "--plan-counts=sent",
                                          "--plan-device="}) {
        // Valid options before the bad one must not show in the result.
        const std::string strError = Parse({"--json", "--exclude", "lo", strBad});
        const std::string strNamed = strBad.starts_with("--plan-day")
                                         ? "--plan-cap" // the plan's missing option
                                         : strBad.substr(0, strBad.find('='));
        EXPECT_EQ(strError.rfind("error: ", 0), 0u) << strError;
        EXPECT_NE(strError.find(strNamed), std::string::npos) << strError;
        EXPECT_EQ(strError.find('\n'), std::string::npos) << strError;
    }
}

// The help is made from the options that the parser takes: each one shows, with its value's
// name; the man page's check relies on it.
TEST(HeadlessOptions, HelpListsEveryOption) {
    const std::string strHelp = HeadlessUsage();
    for (const char* szOption :
         {"--filter EXPR", "--promiscuous", "--exclude DEVICE", "--tunnel DEVICE=CARRIER",
          "--not-tunnel DEVICE", "--interval SECONDS", "--json", "--timestamps", "--per-app[=N]",
          "--metrics [ADDRESS:]PORT", "--socket PATH", "--help", "--version", "--database FILE",
          "--plan-cap SIZE", "--plan-day DAY", "--plan-counts WHAT", "--plan-device DEVICE"}) {
        EXPECT_NE(strHelp.find(std::string("\n  ") + szOption + " "), std::string::npos)
            << szOption << "\n"
            << strHelp;
        // Each one is taken, too.
        const std::string strName =
            std::string(szOption).substr(0, std::string(szOption).find_first_of(" ["));
        EXPECT_EQ(Parse({strName, "x"}).find("unknown option"), std::string::npos) << strName;
    }
    EXPECT_TRUE(strHelp.starts_with("Usage: orvek-headless [OPTIONS]")) << strHelp;
}

} // namespace
