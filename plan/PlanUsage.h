#pragma once

#include "Plan.h"
#include "UsageRecorder.h"
#include "UsageStore.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

// A plan against the usage file: where it is kept, how much of it the current cycle used, and the
// alerts due. Called on the thread that owns the store.

inline constexpr const char* kPlanSetting = "plan";

// The plan kept in the file, if any (a value this version cannot read counts as none).
std::optional<Plan> LoadPlan(CUsageStore& store);
// Keeps the plan, or removes it (nullopt). Throws CSqliteError.
void SavePlan(CUsageStore& store, const std::optional<Plan>& plan);

struct PlanStatus {
    Plan plan;
    Cycle cycle;
    int64_t nUsed = 0;            // counted bytes in the cycle so far
    int64_t nProjected = -1;      // at the pace so far, by the cycle's end; -1 too early to tell
    std::vector<int64_t> vecDays; // counted bytes per day of the cycle, the first day first
    std::set<int> fired;          // alerts already given this cycle
};

// The cycle that holds nNowUtc, from the file's days (pStore may be null) and the bytes not yet
// written. Throws CSqliteError when the file cannot be read.
PlanStatus ComputePlanStatus(const Plan& plan, CUsageStore* pStore,
                             const CUsageRecorder::PendingMap& pending, int64_t nNowUtc);
// Marks the alerts that are due and returns those this call marked: each fires once per cycle,
// across restarts and processes. Throws CSqliteError.
std::vector<int> TakeDueAlerts(CUsageStore& store, PlanStatus& status, int64_t nNowUtc);

// "12.34 GB of 50.00 GB used (24.7 %) since 2026-12-01"
std::string DescribeUsed(const PlanStatus& status);
// "at this pace 40.12 GB by 2026-12-31" ("" when too early to tell).
std::string DescribeProjection(const PlanStatus& status);
// An alert's title and text.
std::string AlertTitle(int nPercent);
std::string AlertText(const PlanStatus& status);
