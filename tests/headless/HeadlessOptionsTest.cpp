// The headless options on crafted argument lists: every option in both forms, the values each
// takes, and refusals that name the option, stay on one line and change nothing.

#include "HeadlessOptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

using Args = std::vector<std::string>;

// Parses args onto the defaults; returns the error, empty on success.
std::string Parse(const Args& args, HeadlessOptions& options) {
    options = HeadlessOptions{};
    std::string strError;
    return ParseHeadlessOptions(args, options, strError) ? "" : strError;
}

TEST(HeadlessOptions, EveryOptionInBothForms) {
    HeadlessOptions options;
    ASSERT_EQ(Parse({"--filter", "icmp", "--promiscuous", "--exclude", "eth0", "--exclude=wlan 0",
                     "--interval", "2.5", "--json", "--metrics", "9100", "--help", "--version"},
                    options),
              "");
    EXPECT_EQ(options.strFilter, "icmp");
    EXPECT_TRUE(options.bPromiscuous && options.bJson && options.bMetrics && options.bHelp &&
                options.bVersion);
    EXPECT_EQ(options.vecExclude, (Args{"eth0", "wlan 0"}));
    EXPECT_EQ(options.dInterval, 2.5);
    EXPECT_EQ(options.strMetricsAddress, "127.0.0.1");
    EXPECT_EQ(options.nMetricsPort, 9100);

    // Only the first '=' splits; a value that looks like an option is still a value.
    ASSERT_EQ(Parse({"--filter=ip[0]=0x45", "--interval=0", "--metrics=[::1]:1"}, options), "");
    EXPECT_EQ(options.strFilter, "ip[0]=0x45");
    EXPECT_EQ(options.dInterval, 0.0);
    EXPECT_EQ(options.strMetricsAddress, "::1");
    ASSERT_EQ(Parse({"--filter", "--json"}, options), "");
    EXPECT_EQ(options.strFilter, "--json");
    EXPECT_FALSE(options.bJson);
}

TEST(HeadlessOptions, IntervalAndMetricsValues) {
    HeadlessOptions options;
    for (const auto& [strText, dSeconds] : std::vector<std::pair<std::string, double>>{
             {"0", 0}, {"0.25", 0.25}, {".5", 0.5}, {"3.", 3}, {"007", 7}, {"86400", 86400}}) {
        EXPECT_EQ(Parse({"--interval", strText}, options), "");
        EXPECT_EQ(options.dInterval, dSeconds) << strText;
    }
    for (const char* szText : {"", ".", "-1", "+1", "-0", "1e3", "inf", "nan", "0x10", "1,5", " 1",
                               "1.2.3", "86400.5", "1000000000000000000000"}) {
        EXPECT_EQ(Parse({"--interval", szText}, options).rfind("--interval ", 0), 0u) << szText;
    }
    for (const auto& [strText, strAddress, nPort] :
         std::vector<std::tuple<std::string, std::string, uint16_t>>{
             {"1", "127.0.0.1", 1},
             {"65535", "127.0.0.1", 65535},
             {"0.0.0.0:80", "0.0.0.0", 80},
             {"[fe80::1:2]:8080", "fe80::1:2", 8080}}) {
        EXPECT_EQ(Parse({"--metrics", strText}, options), "");
        EXPECT_EQ(options.strMetricsAddress, strAddress);
        EXPECT_EQ(options.nMetricsPort, nPort);
    }
    for (const std::string& strText : Args{"",
                                           "0",
                                           "65536",
                                           "99999999",
                                           "+80",
                                           "9100x",
                                           ":9100",
                                           "127.0.0.1:",
                                           "localhost:9100",
                                           "::1:9100",
                                           "::1",
                                           "[::1]",
                                           "[::1]9100",
                                           "[::1]:",
                                           "[]:80",
                                           "[127.0.0.1]:80",
                                           "[::1:80",
                                           "1.2.3:80",
                                           "256.1.1.1:80",
                                           "01.2.3.4:80",
                                           std::string("127.0.0.1\0x:80", 13)}) {
        EXPECT_EQ(Parse({"--metrics", strText}, options).rfind("--metrics ", 0), 0u) << strText;
    }
}

TEST(HeadlessOptions, RefusalsNameTheOptionOnOneLineAndChangeNothing) {
    for (const char* szArg :
         {"--bogus", "--bogus=1", "-h", "eth0", "--filter", "--exclude", "--exclude=", "--interval",
          "--metrics", "--json=yes", "--interval=1\n2", "--bo\ngus"}) {
        // Valid options before the bad one must not show in the result.
        HeadlessOptions options;
        std::string strError;
        EXPECT_FALSE(ParseHeadlessOptions({"--json", "--exclude", "lo", szArg}, options, strError));
        std::string strNamed = std::string(szArg).substr(0, std::string(szArg).find('='));
        std::replace(strNamed.begin(), strNamed.end(), '\n', '?');
        EXPECT_NE(strError.find(strNamed), std::string::npos) << strError;
        EXPECT_EQ(strError.find('\n'), std::string::npos) << strError;
        EXPECT_FALSE(options.bJson);
        EXPECT_TRUE(options.vecExclude.empty());
    }
}

TEST(HeadlessOptions, UsageListsEveryOptionTheParserTakesWithItsDefault) {
    std::istringstream lines(HeadlessUsage());
    std::string strLine;
    std::getline(lines, strLine);
    EXPECT_EQ(strLine, "Usage: orvek --headless [OPTIONS]");
    int nOptions = 0;
    while (std::getline(lines, strLine)) {
        std::istringstream words(strLine);
        std::string strOption, strValue;
        if (words >> strOption >> strValue && strOption.rfind("--", 0) == 0) {
            ++nOptions;
            EXPECT_NE(strLine.find("(default: "), std::string::npos) << strLine;
            // Listed with a value in capitals: it must take one.
            Args args{strOption};
            if (std::isupper(static_cast<unsigned char>(strValue.back()))) {
                args.push_back("1");
            }
            HeadlessOptions options;
            EXPECT_EQ(Parse(args, options), "") << strLine;
        }
    }
    EXPECT_EQ(nOptions, 8);
}

} // namespace
