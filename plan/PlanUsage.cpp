#include "PlanUsage.h"

#include <algorithm>
#include <charconv>
#include <map>

std::optional<Plan> LoadPlan(CUsageStore& store) {
    const std::optional<std::string> strText = store.GetSetting(kPlanSetting);
    return strText ? ParsePlan(*strText) : std::nullopt;
}

void SavePlan(CUsageStore& store, const std::optional<Plan>& plan) {
    if (plan) {
        store.SetSetting(kPlanSetting, SerializePlan(*plan));
    } else {
        store.RemoveSetting(kPlanSetting);
    }
}

namespace {

// The first UTC second of each day of the cycle.
std::vector<int64_t> DayStarts(const Cycle& cycle) {
    std::vector<int64_t> vecStarts;
    for (CivilDate date = cycle.first; date < cycle.next; date = AddDays(date, 1)) {
        vecStarts.push_back(LocalDayStart(date));
    }
    return vecStarts;
}

// Counts bytes of a second in the cycle to its day and to the used bytes.
void AddBytes(PlanStatus& status, const std::vector<int64_t>& vecDayStarts, int64_t nUtc,
              const std::string& strDevice, int64_t nSent, int64_t nRecv) {
    const auto it = std::ranges::upper_bound(vecDayStarts, nUtc);
    if (it == vecDayStarts.begin() || nUtc >= status.cycle.nEnd) {
        return;
    }
    const int64_t nCounted = CountedBytes(status.plan, strDevice, nSent, nRecv);
    status.vecDays[static_cast<size_t>(it - vecDayStarts.begin() - 1)] += nCounted;
    status.nUsed += nCounted;
}

} // namespace

PlanStatus ReadPlanStatus(const Plan& plan, CUsageStore* pStore, int64_t nNowUtc) {
    PlanStatus status;
    status.plan = plan;
    status.cycle = CycleAt(plan.nCycleDay, nNowUtc);
    const std::vector<int64_t> vecDayStarts = DayStarts(status.cycle);
    status.vecDays.assign(vecDayStarts.size(), 0);
    if (pStore != nullptr) {
        for (const UsageRow& row :
             pStore->ReadUsage(ETier::Day, status.cycle.nStart, status.cycle.nEnd)) {
            AddBytes(status, vecDayStarts, row.nStart, row.strDevice, row.nSent, row.nRecv);
        }
        status.vecSpans = pStore->ReadRecorded(status.cycle.nStart, status.cycle.nEnd);
        status.fired = pStore->ReadAlerts(status.cycle.nStart);
    }
    return AddPending(std::move(status), {}, {}, nNowUtc);
}

PlanStatus AddPending(PlanStatus status, const CUsageRecorder::PendingMap& pending,
                      const std::vector<RecordedSpan>& pendingSpans, int64_t nNowUtc) {
    status.nAt = nNowUtc;
    if (!pending.empty()) {
        const std::vector<int64_t> vecDayStarts = DayStarts(status.cycle);
        for (const auto& [key, bytes] : pending) {
            AddBytes(status, vecDayStarts, key.first, key.second, bytes.first, bytes.second);
        }
    }
    std::vector<RecordedSpan> spans = status.vecSpans;
    spans.insert(spans.end(), pendingSpans.begin(), pendingSpans.end());
    status.nRecorded =
        CoveredSeconds(std::move(spans), status.cycle.nStart, std::min(nNowUtc, status.cycle.nEnd));
    status.nProjected = ProjectToEnd(status.nUsed, status.nRecorded, status.cycle, nNowUtc);
    return status;
}

PlanStatus ComputePlanStatus(const Plan& plan, CUsageStore* pStore,
                             const CUsageRecorder::PendingMap& pending, int64_t nNowUtc,
                             const std::vector<RecordedSpan>& pendingSpans) {
    return AddPending(ReadPlanStatus(plan, pStore, nNowUtc), pending, pendingSpans, nNowUtc);
}

std::vector<int> TakeDueAlerts(CUsageStore& store, PlanStatus& status, int64_t nNowUtc) {
    std::vector<int> vecTaken;
    for (const int nPercent : DueAlerts(status.plan, status.nUsed, status.fired)) {
        if (store.MarkAlert(status.cycle.nStart, nPercent, nNowUtc)) {
            vecTaken.push_back(nPercent);
        }
        status.fired.insert(nPercent);
    }
    return vecTaken;
}

namespace {

std::string Fixed(long double dValue, int nDecimals) {
    char szNumber[48];
    const auto result =
        std::to_chars(szNumber, szNumber + sizeof szNumber, static_cast<double>(dValue),
                      std::chars_format::fixed, nDecimals);
    return std::string(szNumber, result.ptr);
}

std::string Count(int64_t nCount, const char* szOne, const char* szMany) {
    return std::to_string(nCount) + " " + (nCount == 1 ? szOne : szMany);
}

// "12 days left, through 2026-12-31": the cycle's days from today's on, today's included.
std::string DescribeDaysLeft(const PlanStatus& status) {
    const CivilDate last = AddDays(status.cycle.next, -1);
    int64_t nDays = 0;
    for (CivilDate date = LocalDateOf(status.nAt); date < status.cycle.next;
         date = AddDays(date, 1)) {
        ++nDays;
    }
    if (nDays <= 1) {
        return "today, " + FormatDate(last) + ", is the cycle's last day";
    }
    return std::to_string(nDays) + " days left, through " + FormatDate(last);
}

} // namespace

std::string DescribeUsed(const PlanStatus& status) {
    const long double dShare = static_cast<long double>(status.nUsed) * 100 /
                               static_cast<long double>(status.plan.nCapBytes);
    return FormatAmount(status.nUsed, status.plan.eUnit) + " of " +
           FormatAmount(status.plan.nCapBytes, status.plan.eUnit) + " used (" + Fixed(dShare, 1) +
           " %) since " + FormatDate(status.cycle.first);
}

std::string DescribeProjection(const PlanStatus& status) {
    const EProjectionBasis eBasis = ProjectionBasis(status.nRecorded);
    if (status.nProjected < 0 || eBasis == EProjectionBasis::None) {
        return "";
    }
    const std::string strAmount = FormatAmount(status.nProjected, status.plan.eUnit) + " by " +
                                  FormatDate(AddDays(status.cycle.next, -1));
    const int64_t nDays = status.nRecorded / 86400;
    switch (eBasis) {
    case EProjectionBasis::Rough:
        return "at this pace roughly " + strAmount + " (a rough guess from " +
               Count(status.nRecorded / 3600, "hour", "hours") + " recorded)";
    case EProjectionBasis::Day:
        return "at this pace " + strAmount + " (from " + Count(nDays, "day", "days") +
               " recorded; surer after a week)";
    default:
        return "at this pace " + strAmount + " (from " + Count(nDays, "day", "days") + " recorded)";
    }
}

std::string AlertTitle(int nPercent) {
    if (nPercent == 100) {
        return "Data plan used up";
    }
    return (nPercent > 100 ? "Data plan exceeded: " : "Data plan ") + std::to_string(nPercent) +
           " % used";
}

std::string AlertText(const PlanStatus& status, int nPercent) {
    const std::string strAmounts = FormatAmount(status.nUsed, status.plan.eUnit) + " of " +
                                   FormatAmount(status.plan.nCapBytes, status.plan.eUnit);
    std::string strText;
    if (nPercent == 100) {
        strText = "Your data plan is used up: " + strAmounts;
    } else if (nPercent > 100) {
        strText = std::to_string(nPercent) + " % of your data plan used, " +
                  std::to_string(nPercent - 100) + " % past its cap: " + strAmounts;
    } else {
        strText = std::to_string(nPercent) + " % of your data plan used: " + strAmounts;
    }
    return strText + "; " + DescribeDaysLeft(status) + ".";
}
