#include "PlanMetrics.h"

std::string FormatPlanPrometheus(int64_t nUsedBytes, int64_t nLimitBytes) {
    return "# HELP orvek_plan_used_bytes Bytes counted against the data plan in its current "
           "cycle.\n"
           "# TYPE orvek_plan_used_bytes gauge\n"
           "orvek_plan_used_bytes " +
           std::to_string(nUsedBytes) +
           "\n"
           "# HELP orvek_plan_limit_bytes The data plan's cap.\n"
           "# TYPE orvek_plan_limit_bytes gauge\n"
           "orvek_plan_limit_bytes " +
           std::to_string(nLimitBytes) + "\n";
}
