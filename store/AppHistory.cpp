#include "AppHistory.h"

#include <algorithm>
#include <map>

std::vector<AppHistoryRow> SummarizeApplications(const std::vector<AppUsageRow>& rows,
                                                 int64_t nDeviceSent, int64_t nDeviceRecv,
                                                 size_t nTop) {
    std::map<std::string, AppHistoryRow> byKey;
    for (const AppUsageRow& row : rows) {
        AppHistoryRow& sum = byKey[row.strKey];
        if (sum.strName.empty()) {
            const bool bReserved = row.strKey.starts_with('/');
            sum.eKind = row.strKey == kOtherApplications ? AppHistoryRow::EKind::Other
                        : bReserved                      ? AppHistoryRow::EKind::NotAttributed
                                                         : AppHistoryRow::EKind::Application;
            sum.strName = sum.eKind == AppHistoryRow::EKind::Other ? "other"
                          : bReserved                              ? row.strKey.substr(1)
                                                                   : row.strKey;
        }
        sum.nSent += row.nSent;
        sum.nRecv += row.nRecv;
        nDeviceSent -= row.nSent;
        nDeviceRecv -= row.nRecv;
    }
    std::vector<AppHistoryRow> apps, reasons;
    AppHistoryRow other{"other", AppHistoryRow::EKind::Other, 0, 0};
    for (auto& [strKey, row] : byKey) {
        if (row.eKind == AppHistoryRow::EKind::Other) {
            other.nSent += row.nSent;
            other.nRecv += row.nRecv;
        } else {
            (row.eKind == AppHistoryRow::EKind::Application ? apps : reasons).push_back(row);
        }
    }
    std::ranges::stable_sort(apps, [](const AppHistoryRow& a, const AppHistoryRow& b) {
        return a.nSent + a.nRecv > b.nSent + b.nRecv;
    });
    while (apps.size() > nTop) {
        other.nSent += apps.back().nSent;
        other.nRecv += apps.back().nRecv;
        apps.pop_back();
    }
    if (other.nSent > 0 || other.nRecv > 0) {
        apps.push_back(other);
    }
    apps.insert(apps.end(), reasons.begin(), reasons.end());
    // Applications' bytes resolved just after midnight count on the new day: clamped, never
    // negative.
    if (nDeviceSent > 0 || nDeviceRecv > 0) {
        apps.push_back({"", AppHistoryRow::EKind::NotRecorded, std::max<int64_t>(nDeviceSent, 0),
                        std::max<int64_t>(nDeviceRecv, 0)});
    }
    return apps;
}

std::string DescribeAppHistoryRow(const AppHistoryRow& row) {
    return row.eKind == AppHistoryRow::EKind::NotRecorded ? "not attributed when written"
                                                          : row.strName;
}
