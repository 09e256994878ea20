#include "AppUsage.h"

#include <algorithm>

const char* DescribeUnattributed(EUnattributed eReason) {
    switch (eReason) {
    case EUnattributed::None:
        return "";
    case EUnattributed::NotTcpUdp:
        return "not attributed: not TCP or UDP";
    case EUnattributed::Fragment:
        return "not attributed: IP fragments";
    case EUnattributed::HeadersCut:
        return "not attributed: ports beyond the captured headers";
    case EUnattributed::Closed:
        return "not attributed: socket closed before it was seen";
    case EUnattributed::NoSocket:
        return "not attributed: no socket here (forwarded, or another namespace)";
    case EUnattributed::TableFull:
        return "not attributed: flow table full";
    case EUnattributed::Pending:
        return "not attributed yet";
    case EUnattributed::Unavailable:
        return "not attributed: socket diagnostics unavailable";
    case EUnattributed::Count:
        break;
    }
    return "not attributed";
}

const char* LabelUnattributed(EUnattributed eReason) {
    switch (eReason) {
    case EUnattributed::None:
        return "";
    case EUnattributed::NotTcpUdp:
        return "not_tcp_udp";
    case EUnattributed::Fragment:
        return "fragment";
    case EUnattributed::HeadersCut:
        return "headers_cut";
    case EUnattributed::Closed:
        return "closed";
    case EUnattributed::NoSocket:
        return "no_socket";
    case EUnattributed::TableFull:
        return "table_full";
    case EUnattributed::Pending:
        return "pending";
    case EUnattributed::Unavailable:
        return "unavailable";
    case EUnattributed::Count:
        break;
    }
    return "unknown";
}

void HideOthersProcesses(std::vector<AppUsage>& rows, uint32_t nViewerUid) {
    for (AppUsage& row : rows) {
        if (row.nOwnerUid != nViewerUid) {
            row.vecPids.clear();
            row.strCommand.clear();
        }
    }
}

std::string CommandOfCmdline(std::string_view bytes) {
    while (!bytes.empty() && bytes.back() == '\0') {
        bytes.remove_suffix(1);
    }
    std::string strCommand(bytes.substr(0, AppUsage::kMaxCommandBytes));
    for (char& ch : strCommand) {
        if (ch == '\0') {
            ch = ' ';
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            ch = '?';
        }
    }
    return strCommand;
}

bool IsSameAppRow(const AppUsage& a, const AppUsage& b) {
    return a.nReason == b.nReason && a.nOwnerUid == b.nOwnerUid && a.strName == b.strName;
}

void MergeAppRows(std::vector<AppUsage>& rows, const std::vector<AppUsage>& more,
                  bool bConnections) {
    for (const AppUsage& row : more) {
        const auto it = std::ranges::find_if(
            rows, [&](const AppUsage& mine) { return IsSameAppRow(mine, row); });
        AppUsage& mine =
            it != rows.end()
                ? *it
                : rows.emplace_back(AppUsage{row.strName, row.nReason, 0, 0, 0, row.nKind,
                                             row.nOwnerUid, row.vecPids, row.strCommand});
        mine.nSentBytes += row.nSentBytes;
        mine.nRecvBytes += row.nRecvBytes;
        mine.nConnections += bConnections ? row.nConnections : 0;
    }
}

std::vector<AppUsage> MergeAppOwners(const std::vector<AppUsage>& rows) {
    std::vector<AppUsage> merged;
    merged.reserve(rows.size());
    for (const AppUsage& row : rows) {
        const auto it = std::ranges::find_if(merged, [&](const AppUsage& mine) {
            return mine.nReason == row.nReason && mine.strName == row.strName;
        });
        if (it == merged.end()) {
            merged.push_back(row);
            continue;
        }
        it->nSentBytes += row.nSentBytes;
        it->nRecvBytes += row.nRecvBytes;
        it->nConnections += row.nConnections;
        if (it->nOwnerUid != row.nOwnerUid) {
            // Many users' processes: none of them is the row's.
            it->nOwnerUid = AppUsage::kNoOwner;
            it->vecPids.clear();
            it->strCommand.clear();
        }
    }
    return merged;
}

void BalanceAppRows(std::vector<AppUsage>& rows, int64_t nSentBytes, int64_t nRecvBytes) {
    const auto nPending = static_cast<uint32_t>(EUnattributed::Pending);
    std::erase_if(rows, [&](const AppUsage& row) { return row.nReason == nPending; });
    for (const AppUsage& row : rows) {
        nSentBytes -= row.nSentBytes;
        nRecvBytes -= row.nRecvBytes;
    }
    if (nSentBytes > 0 || nRecvBytes > 0) {
        rows.push_back(AppUsage{DescribeUnattributed(EUnattributed::Pending), nPending,
                                std::max<int64_t>(nSentBytes, 0), std::max<int64_t>(nRecvBytes, 0),
                                0});
    }
}

std::vector<AppUsage> TopAppRows(std::vector<AppUsage> rows, size_t nTop) {
    // Applications first, largest first; reasons after them in their order.
    std::ranges::stable_sort(rows, [](const AppUsage& a, const AppUsage& b) {
        if (a.IsAttributed() != b.IsAttributed()) {
            return a.IsAttributed();
        }
        return a.IsAttributed() ? a.nSentBytes + a.nRecvBytes > b.nSentBytes + b.nRecvBytes
                                : a.nReason < b.nReason;
    });
    const auto itReasons =
        std::ranges::find_if(rows, [](const AppUsage& row) { return !row.IsAttributed(); });
    const auto nApps = static_cast<size_t>(itReasons - rows.begin());
    if (nApps <= nTop) {
        return rows;
    }
    AppUsage other{"other", 0, 0, 0, 0};
    for (size_t n = nTop; n < nApps; ++n) {
        other.nSentBytes += rows[n].nSentBytes;
        other.nRecvBytes += rows[n].nRecvBytes;
        other.nConnections += rows[n].nConnections;
    }
    std::vector<AppUsage> top(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(nTop));
    top.push_back(other);
    top.insert(top.end(), rows.begin() + static_cast<std::ptrdiff_t>(nApps), rows.end());
    return top;
}
