#include "PlanUsage.h"

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

PlanStatus ComputePlanStatus(const Plan& plan, CUsageStore* pStore,
                             const CUsageRecorder::PendingMap& pending, int64_t nNowUtc) {
    PlanStatus status;
    status.plan = plan;
    status.cycle = CycleAt(plan.nCycleDay, nNowUtc);
    std::map<int64_t, size_t> dayIndex;
    for (CivilDate date = status.cycle.first; date < status.cycle.next; date = AddDays(date, 1)) {
        dayIndex[LocalDayStart(date)] = status.vecDays.size();
        status.vecDays.push_back(0);
    }
    const auto add = [&](int64_t nUtc, const std::string& strDevice, int64_t nSent, int64_t nRecv) {
        auto it = dayIndex.upper_bound(nUtc);
        if (it == dayIndex.begin() || nUtc >= status.cycle.nEnd) {
            return;
        }
        const int64_t nCounted = CountedBytes(plan, strDevice, nSent, nRecv);
        status.vecDays[std::prev(it)->second] += nCounted;
        status.nUsed += nCounted;
    };
    if (pStore != nullptr) {
        for (const UsageRow& row :
             pStore->ReadUsage(ETier::Day, status.cycle.nStart, status.cycle.nEnd)) {
            add(row.nStart, row.strDevice, row.nSent, row.nRecv);
        }
        status.fired = pStore->ReadAlerts(status.cycle.nStart);
    }
    for (const auto& [key, bytes] : pending) {
        add(key.first, key.second, bytes.first, bytes.second);
    }
    status.nProjected = ProjectToEnd(status.nUsed, status.cycle, nNowUtc);
    return status;
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

std::string DescribeUsed(const PlanStatus& status) {
    const long double dShare = static_cast<long double>(status.nUsed) * 100 /
                               static_cast<long double>(status.plan.nCapBytes);
    char szShare[32];
    const auto result = std::to_chars(szShare, szShare + sizeof szShare,
                                      static_cast<double>(dShare), std::chars_format::fixed, 1);
    return FormatAmount(status.nUsed, status.plan.eUnit) + " of " +
           FormatAmount(status.plan.nCapBytes, status.plan.eUnit) + " used (" +
           std::string(szShare, result.ptr) + " %) since " + FormatDate(status.cycle.first);
}

std::string DescribeProjection(const PlanStatus& status) {
    if (status.nProjected < 0) {
        return "";
    }
    return "at this pace " + FormatAmount(status.nProjected, status.plan.eUnit) + " by " +
           FormatDate(AddDays(status.cycle.next, -1));
}

std::string AlertTitle(int nPercent) {
    if (nPercent == 100) {
        return "Data plan used up";
    }
    return (nPercent > 100 ? "Data plan exceeded: " : "Data plan ") + std::to_string(nPercent) +
           " % used";
}

std::string AlertText(const PlanStatus& status) {
    const std::string strProjection = DescribeProjection(status);
    return DescribeUsed(status) + (strProjection.empty() ? std::string() : "; " + strProjection) +
           ".";
}
