#pragma once

#include "Plan.h"
#include "RecordedTime.h"
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
    int64_t nAt = 0;              // the UTC second the figures are of
    int64_t nUsed = 0;            // counted bytes in the cycle so far
    int64_t nRecorded = 0;        // seconds of the cycle so far that a recorder ran
    int64_t nProjected = -1;      // at the recorded pace, by the cycle's end; -1 too early to tell
    std::vector<int64_t> vecDays; // counted bytes per day of the cycle, the first day first
    std::vector<RecordedSpan> vecSpans; // the recorded stretches that overlap the cycle
    std::set<int> fired;                // alerts already given this cycle
};

// The cycle that holds nNowUtc as the file holds it (pStore may be null): no bytes nor time that
// are not written yet. Throws CSqliteError when the file cannot be read.
PlanStatus ReadPlanStatus(const Plan& plan, CUsageStore* pStore, int64_t nNowUtc);
// Those figures with the bytes and the recorded time not written yet, and the projection, as of
// nNowUtc, which must lie in the same cycle. Reads no file: cheap enough for every sample.
PlanStatus AddPending(PlanStatus status, const CUsageRecorder::PendingMap& pending,
                      const std::vector<RecordedSpan>& pendingSpans, int64_t nNowUtc);
// Both: the cycle that holds nNowUtc. Throws CSqliteError when the file cannot be read.
PlanStatus ComputePlanStatus(const Plan& plan, CUsageStore* pStore,
                             const CUsageRecorder::PendingMap& pending, int64_t nNowUtc,
                             const std::vector<RecordedSpan>& pendingSpans = {});
// Marks the alerts that are due and returns those this call marked, ascending: each fires once
// per cycle, across restarts and processes. Of several marked at once only the highest is worth
// saying. Throws CSqliteError.
std::vector<int> TakeDueAlerts(CUsageStore& store, PlanStatus& status, int64_t nNowUtc);

// "12.34 GB of 50.00 GB used (24.7 %) since 2026-12-01"
std::string DescribeUsed(const PlanStatus& status);
// "at this pace 40.12 GB by 2026-12-31 (from 3 days recorded; surer after a week)", marked rough
// below a day of recorded time; "" below an hour.
std::string DescribeProjection(const PlanStatus& status);
// An alert's title and text, naming its threshold: "Data plan 90 % used", "90 % of your data plan
// used: 198.00 MB of 220.00 MB; 12 days left, through 2026-12-31."
std::string AlertTitle(int nPercent);
std::string AlertText(const PlanStatus& status, int nPercent);
