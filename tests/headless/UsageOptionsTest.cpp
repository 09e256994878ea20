// The headless program's usage options, read with its other options, and the plan's metrics.

#include "UsageOptions.h"
#include "HeadlessOptions.h"
#include "PlanMetrics.h"

#include <gtest/gtest.h>

namespace {

TEST(UsageOptions, ReadWithTheOtherOptionsOrRefusedWithAReason) {
    const std::vector<std::string> args = {"--json",
                                           "--database=/var/lib/o/usage.sqlite",
                                           "--plan-cap",
                                           "50GiB",
                                           "--plan-day=31",
                                           "--plan-counts",
                                           "received",
                                           "--plan-device",
                                           "eth0",
                                           "--interval",
                                           "0"};
    HeadlessOptions headless;
    UsageOptions options;
    std::string strError;
    ASSERT_TRUE(ParseHeadlessOptions(args, headless, options, strError)) << strError;
    EXPECT_TRUE(headless.bJson);
    EXPECT_EQ(headless.dInterval, 0);
    EXPECT_EQ(options.strDatabase, "/var/lib/o/usage.sqlite");
    ASSERT_TRUE(options.plan);
    EXPECT_EQ(options.plan->nCapBytes, 50LL << 30);
    EXPECT_EQ(options.plan->eUnit, ECapUnit::GiB);
    EXPECT_EQ(options.plan->nCycleDay, 31);
    EXPECT_EQ(options.plan->eCounting, ECounting::ReceivedOnly);
    EXPECT_EQ(options.plan->devices, std::set<std::string>{"eth0"});

    for (const auto& [bad, strWhy] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--plan-cap", "5GB"}, "a plan is kept in the usage file: give --database too"},
             {{"--database", "f", "--plan-day", "3"},
              "a plan needs its cap: --plan-cap, as in 50GB or 50GiB"},
             {{"--database", "f", "--plan-cap", "50"},
              "--plan-cap: say the cap's unit: GB (1,000,000,000 bytes) or GiB (1,073,741,824 "
              "bytes), MB, MiB, TB or TiB"},
             {{"--database", "f", "--plan-cap", "1GB", "--plan-day", "32"},
              "--plan-day: '32' is not a day of the month from 1 to 31"},
             {{"--database", "f", "--plan-cap", "1GB", "--plan-counts", "sent"},
              "--plan-counts: 'sent' is not both (sent and received) or received"},
             {{"--database"}, "--database needs a value"},
             {{"--plan-speed", "1"}, "unknown option '--plan-speed'"}}) {
        UsageOptions untouched;
        EXPECT_FALSE(ParseHeadlessOptions(bad, headless, untouched, strError));
        EXPECT_EQ(strError, strWhy);
        EXPECT_FALSE(untouched.plan);
    }
    EXPECT_EQ(
        FormatPlanPrometheus(1542000, 2000000),
        "# HELP orvek_plan_used_bytes Bytes counted against the data plan in its current cycle.\n"
        "# TYPE orvek_plan_used_bytes gauge\norvek_plan_used_bytes 1542000\n"
        "# HELP orvek_plan_limit_bytes The data plan's cap.\n"
        "# TYPE orvek_plan_limit_bytes gauge\norvek_plan_limit_bytes 2000000\n");
}

} // namespace
