#pragma once

#include "UsageStore.h"

#include <cstdint>
#include <string>
#include <vector>

// The applications of a stretch of days or months as a person reads them: summed over its
// buckets, largest first, the rest in one row, then the bytes no application had.
struct AppHistoryRow {
    enum class EKind {
        Application,
        Other,         // the applications past the largest ones
        NotAttributed, // strName says why
        NotRecorded    // the devices' bytes no application row holds: not attributed yet when
                       // written, or written without applications (older versions, the
                       // resolver off)
    };
    std::string strName;
    EKind eKind = EKind::Application;
    int64_t nSent = 0, nRecv = 0;
    bool operator==(const AppHistoryRow&) const = default;
};

// Pure: the nTop applications with the most bytes over rows, one Other row for the rest (with the
// file's own rest), the reasons' rows by name, and a NotRecorded row for what the devices'
// nDeviceSent and nDeviceRecv hold beyond the rows (none when nothing is left).
std::vector<AppHistoryRow> SummarizeApplications(const std::vector<AppUsageRow>& rows,
                                                 int64_t nDeviceSent, int64_t nDeviceRecv,
                                                 size_t nTop);
// "not attributed when written", or the row's name.
std::string DescribeAppHistoryRow(const AppHistoryRow& row);
