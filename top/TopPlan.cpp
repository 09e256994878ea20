#include "TopPlan.h"

#include "PlanUsage.h"
#include "Report.h"

#include <filesystem>

std::string ReadPlanLine(const std::string& strPath, int64_t nNowUtc) {
    std::error_code error;
    if (strPath.empty() || !std::filesystem::exists(strPath, error)) {
        return {};
    }
    try {
        CUsageStore store(strPath, CUsageStore::EAccess::Read, nNowUtc);
        const std::optional<Plan> plan = LoadPlan(store);
        if (!plan) {
            return {};
        }
        return "Plan: " + DescribeUsed(ComputePlanStatus(*plan, &store, {}, nNowUtc));
    } catch (const std::exception&) {
        return {}; // a file being replaced or damaged: no plan shown this time
    }
}

std::string TopUsagePath(bool bService) {
    try {
        return ChooseReportFile(bService, ServiceUsagePath(), DefaultUsagePath());
    } catch (const std::filesystem::filesystem_error&) {
        return {}; // a home folder this user may not look into: no plan
    }
}
