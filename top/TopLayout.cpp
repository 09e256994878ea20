#include "TopLayout.h"

#include "Units.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <numeric>

namespace {

// One column of a view: its name, its least width, whether it takes what is left (names and
// states) and when it drops, 0 never, else the larger the sooner.
struct Column {
    const char* szName;
    size_t nWidth;
    bool bFlex = false;
    bool bRight = true;
    int nDropRank = 0;
};

// Sizes and rates fit these: "1023.99 KiB", "1023.9 KiB/s", "999.9 Mbit/s".
constexpr size_t kSizeWidth = 11;
constexpr size_t kRateWidth = 12;

const Column kDeviceColumns[] = {{"DEVICE", 8, true, false, 0},
                                 {"KIND", 8, false, false, 2},
                                 {"STATE", 8, true, false, 0},
                                 {"SENT", kSizeWidth},
                                 {"RECEIVED", kSizeWidth},
                                 {"SENT/S", kRateWidth},
                                 {"RECV/S", kRateWidth},
                                 {"DROPS", 7, false, true, 3},
                                 {"OVERHEAD", kSizeWidth, false, true, 1}};
const Column kAppColumns[] = {{"APPLICATION", 12, true, false, 0},
                              {"SENT", kSizeWidth},
                              {"RECEIVED", kSizeWidth},
                              {"SENT/S", kRateWidth},
                              {"RECV/S", kRateWidth},
                              {"CONNS", 6, false, true, 1},
                              {"PIDS", 12, true, false, 2}};
const Column kCommandColumn = {"COMMAND", 7, true, false, 0};

// At most three process ids, then how many more: "812 1733 1734 +2".
std::string PidsText(const std::vector<pid_t>& pids) {
    std::string strText;
    for (size_t n = 0; n < pids.size() && n < 3; ++n) {
        // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) on "" + std::string.
        if (n > 0) {
            strText += ' ';
        }
        strText += std::to_string(pids[n]);
    }
    if (pids.size() > 3) {
        strText.append(" +").append(std::to_string(pids.size() - 3));
    }
    return strText;
}
const Column kConnectionColumns[] = {{"PROTO", 5, false, false, 1},
                                     {"LOCAL", 15, true, false, 0},
                                     {"REMOTE", 15, true, false, 0},
                                     {"APPLICATION", 11, true, false, 0},
                                     {"SENT", kSizeWidth, false, true, 3},
                                     {"RECEIVED", kSizeWidth, false, true, 2},
                                     {"SENT/S", kRateWidth},
                                     {"RECV/S", kRateWidth}};

// Characters of a UTF-8 text: bytes that start a sequence.
size_t TextColumns(const std::string& strText) {
    return static_cast<size_t>(std::ranges::count_if(
        strText, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string Pad(const std::string& strText, size_t nWidth, bool bRight) {
    std::string strCell = FitText(strText, nWidth);
    const std::string strFill(nWidth - TextColumns(strCell), ' ');
    return bRight ? strFill + strCell : strCell + strFill;
}

bool Holds(const std::string& strText, const std::string& strPart) {
    const auto lower = [](unsigned char c) { return static_cast<char>(std::tolower(c)); };
    std::string strA(strText.size(), ' '), strB(strPart.size(), ' ');
    std::ranges::transform(strText, strA.begin(), lower);
    std::ranges::transform(strPart, strB.begin(), lower);
    return strA.find(strB) != std::string::npos;
}

std::string Size(int64_t nBytes, ETopUnits eUnits) {
    return FormatBytes(nBytes,
                       eUnits == ETopUnits::Binary ? EByteUnits::Binary : EByteUnits::Decimal);
}

std::string Rate(double dRate, ETopUnits eUnits) {
    switch (eUnits) {
    case ETopUnits::Bits:
        return FormatBitRate(dRate);
    case ETopUnits::Decimal:
        return FormatRate(dRate, EByteUnits::Decimal);
    case ETopUnits::Binary:
        break;
    }
    return FormatRate(dRate, EByteUnits::Binary);
}

double SortKey(ETopSort eSort, int64_t nSent, int64_t nRecv, double dSentRate, double dRecvRate) {
    switch (eSort) {
    case ETopSort::Sent:
        return static_cast<double>(nSent);
    case ETopSort::Received:
        return static_cast<double>(nRecv);
    case ETopSort::Rate:
        return std::max(dSentRate, 0.0) + std::max(dRecvRate, 0.0);
    case ETopSort::Total:
        break;
    }
    return static_cast<double>(nSent) + static_cast<double>(nRecv);
}

// A row before it is laid out: its cells, one per column, and what it sorts by.
struct Row {
    std::vector<std::string> cells;
    double dKey = 0;
    bool bLast = false; // sorts after every other row (bytes not attributed)
};

std::vector<Row> DeviceRows(const TrafficSample& sample, const TopChoices& choices) {
    std::vector<Row> rows;
    for (const DeviceSample& row : sample.devices) {
        const DeviceSnapshot& device = row.device;
        if (!Holds(device.strName, choices.strFilter)) {
            continue;
        }
        const int64_t nSent = ShownSentBytes(device), nRecv = ShownRecvBytes(device);
        // A tunnel shows its inner traffic, as the Details window does, and what carrying it
        // cost: the outer bytes less the inner ones.
        std::string strOverhead;
        if (device.bCarried) {
            strOverhead = device.bOuterKnown
                              ? Size(device.nOuterSentBytes + device.nOuterRecvBytes -
                                         device.nInnerSentBytes - device.nInnerRecvBytes,
                                     choices.eUnits)
                              : "unknown";
        }
        rows.push_back({{device.strName, device.strKind, DescribeDeviceState(device),
                         Size(nSent, choices.eUnits), Size(nRecv, choices.eUnits),
                         Rate(row.dSentRate, choices.eUnits), Rate(row.dRecvRate, choices.eUnits),
                         FormatThousands(row.nDropsSinceCapture), strOverhead},
                        SortKey(choices.eSort, nSent, nRecv, row.dSentRate, row.dRecvRate)});
    }
    return rows;
}

std::vector<Row> AppRows(const TrafficSample& sample, const TopChoices& choices,
                         const std::map<std::string, TopProgram>& programs) {
    std::vector<Row> rows;
    for (const AppSample& row : sample.apps) {
        const AppUsage& app = row.app;
        if (!Holds(app.strName, choices.strFilter)) {
            continue;
        }
        const TopProgram* pProgram = nullptr;
        if (app.nKind == static_cast<uint32_t>(EAppKind::Executable)) {
            const auto it = programs.find(app.strName);
            pProgram = it != programs.end() ? &it->second : nullptr;
        }
        // The processes the meter saw hold its sockets, when the row has them; else the ones
        // that run its executable now.
        std::string strPids = pProgram ? PidsText(pProgram->pids) : "";
        std::string strCommand = pProgram ? pProgram->strCommand : "";
        if (!app.vecPids.empty()) {
            strPids = PidsText(std::vector<pid_t>(app.vecPids.begin(), app.vecPids.end()));
        }
        if (!app.strCommand.empty()) {
            strCommand = app.strCommand;
        }
        rows.push_back(
            {{app.strName, Size(app.nSentBytes, choices.eUnits),
              Size(app.nRecvBytes, choices.eUnits), Rate(row.dSentRate, choices.eUnits),
              Rate(row.dRecvRate, choices.eUnits),
              app.IsAttributed() ? FormatThousands(app.nConnections) : "", std::move(strPids),
              std::move(strCommand)},
             SortKey(choices.eSort, app.nSentBytes, app.nRecvBytes, row.dSentRate, row.dRecvRate),
             !app.IsAttributed()});
    }
    return rows;
}

std::vector<Row> ConnectionRows(const TrafficSample& sample, const TopChoices& choices,
                                const TopNameFn& fnName) {
    std::vector<Row> rows;
    rows.reserve(sample.connections.size());
    for (const ConnectionSample& row : sample.connections) {
        const ConnectionUsage& connection = row.connection;
        const std::string strName =
            choices.bNames && fnName ? fnName(connection.strRemote) : std::string();
        std::string strLocal = FormatEndpoint(connection.strLocal, connection.nLocalPort);
        std::string strRemote =
            FormatEndpoint(connection.strRemote, connection.nRemotePort, strName);
        if (!Holds(connection.strApp, choices.strFilter) && !Holds(strLocal, choices.strFilter) &&
            !Holds(strRemote, choices.strFilter)) {
            continue;
        }
        rows.push_back(
            {{ConnectionProtocolName(connection.nProtocol), std::move(strLocal),
              std::move(strRemote), connection.strApp, Size(connection.nSentBytes, choices.eUnits),
              Size(connection.nRecvBytes, choices.eUnits), Rate(row.dSentRate, choices.eUnits),
              Rate(row.dRecvRate, choices.eUnits)},
             SortKey(choices.eSort, connection.nSentBytes, connection.nRecvBytes, row.dSentRate,
                     row.dRecvRate)});
    }
    return rows;
}

// Which columns show at nWidth and how wide: the droppable ones go in their order until the rest
// fits, then the flexible ones share what is left.
std::vector<size_t> FitColumns(const std::vector<Column>& columns, const std::vector<Row>& rows,
                               size_t nWidth, std::vector<size_t>& widths) {
    std::vector<size_t> shown(columns.size());
    std::iota(shown.begin(), shown.end(), 0);
    const auto needed = [&] {
        size_t nSum = shown.empty() ? 0 : shown.size() - 1;
        for (const size_t n : shown) {
            nSum += columns[n].nWidth;
        }
        return nSum;
    };
    while (needed() > nWidth) {
        const auto itDrop =
            std::ranges::max_element(shown, {}, [&](size_t n) { return columns[n].nDropRank; });
        if (itDrop == shown.end() || columns[*itDrop].nDropRank == 0) {
            break;
        }
        shown.erase(itDrop);
    }
    widths.assign(columns.size(), 0);
    for (const size_t n : shown) {
        widths[n] = columns[n].nWidth;
    }
    // What is left goes to the flexible columns in turn, each up to its longest cell.
    size_t nLeft = nWidth > needed() ? nWidth - needed() : 0;
    for (const size_t n : shown) {
        if (!columns[n].bFlex) {
            continue;
        }
        size_t nLongest = 0;
        for (const Row& row : rows) {
            nLongest = std::max(nLongest, TextColumns(row.cells[n]));
        }
        const size_t nMore = std::min(nLeft, nLongest > widths[n] ? nLongest - widths[n] : 0);
        widths[n] += nMore;
        nLeft -= nMore;
    }
    return shown;
}

std::string JoinCells(const std::vector<Column>& columns, const std::vector<size_t>& shown,
                      const std::vector<size_t>& widths,
                      const std::function<std::string(size_t)>& fnCell) {
    std::string strLine;
    for (const size_t n : shown) {
        if (!strLine.empty()) {
            strLine += ' ';
        }
        strLine += Pad(fnCell(n), widths[n], columns[n].bRight);
    }
    return strLine;
}

const char* const kKeys =
    "d a c views  Tab  s sort  u units  n names  p pause  / filter  ? help  q quit";

const char* const kHelp[] = {
    "Keys",
    "  d, a, c, Tab   the devices, the applications, the connections, the next view",
    "  s              sort by total, sent, received or rate (largest first)",
    "  u              units: binary bytes, decimal bytes, bits a second",
    "  n              connections: remote names (reverse DNS) or addresses",
    "  l              applications: your programs' command lines",
    "  p              pause the display (counting goes on)",
    "  /              filter rows by name: Enter applies, Esc clears",
    "  Up, Down       scroll a row; PgUp, PgDn a screen; Home, End",
    "  ?              this help; any key closes it",
    "  q              quit (so do Ctrl-C and SIGTERM)",
    "",
    "A tunnel's row shows its inner traffic, which is in no total, and its",
    "overhead: the outer bytes that carried it less the inner ones.",
    "Your own programs show their process ids. On a narrow screen columns",
    "drop: drops, kind, overhead; process ids, connections; a connection's",
    "totals, then its protocol."};

} // namespace

const char* TopViewName(ETopView eView) {
    switch (eView) {
    case ETopView::Applications:
        return "applications";
    case ETopView::Connections:
        return "connections";
    case ETopView::Devices:
        break;
    }
    return "devices";
}

const char* TopSortName(ETopSort eSort) {
    switch (eSort) {
    case ETopSort::Sent:
        return "sent";
    case ETopSort::Received:
        return "received";
    case ETopSort::Rate:
        return "rate";
    case ETopSort::Total:
        break;
    }
    return "total";
}

const char* TopUnitsName(ETopUnits eUnits) {
    switch (eUnits) {
    case ETopUnits::Decimal:
        return "decimal";
    case ETopUnits::Bits:
        return "bits";
    case ETopUnits::Binary:
        break;
    }
    return "binary";
}

std::string FitText(const std::string& strText, size_t nColumns) {
    if (TextColumns(strText) <= nColumns) {
        return strText;
    }
    if (nColumns == 0) {
        return {};
    }
    // Up to the start of the character after nColumns - 1, then the mark.
    size_t nKept = 0, nByte = 0;
    for (; nByte < strText.size(); ++nByte) {
        if ((static_cast<unsigned char>(strText[nByte]) & 0xC0) != 0x80 &&
            nKept++ == nColumns - 1) {
            break;
        }
    }
    return strText.substr(0, nByte) + "~";
}

TopScreen LayoutTop(const TrafficSample& sample, TopChoices& choices, int nWidth, int nHeight,
                    const std::string& strMessage, const TopExtras& extras) {
    TopScreen screen;
    const size_t nColumns = static_cast<size_t>(std::max(nWidth, 0));
    const size_t nLines = static_cast<size_t>(std::max(nHeight, 0));
    const auto add = [&](const std::string& strText, ELineStyle eStyle) {
        screen.lines.push_back({FitText(strText, nColumns), eStyle});
    };
    add("Sent " + Size(sample.nSentBytes, choices.eUnits) + "  Received " +
            Size(sample.nRecvBytes, choices.eUnits) + "  Sent/s " +
            Rate(sample.dSentRate, choices.eUnits) + "  Received/s " +
            Rate(sample.dRecvRate, choices.eUnits) +
            (extras.strPlan.empty() ? "" : "  " + extras.strPlan),
        ELineStyle::Header);
    add(std::string("View: ") + TopViewName(choices.eView) +
            "  Sort: " + TopSortName(choices.eSort) + "  Units: " + TopUnitsName(choices.eUnits) +
            (choices.strFilter.empty() ? "" : "  Filter: " + choices.strFilter) +
            (choices.eView == ETopView::Connections && sample.nOtherConnections > 0
                 ? "  (" + FormatThousands(sample.nOtherConnections) + " more connections)"
                 : "") +
            (choices.eView == ETopView::Connections && !choices.bNames ? "  Names: off" : "") +
            (choices.bPaused ? "  PAUSED" : ""),
        ELineStyle::Header);

    std::vector<TopLine> footer;
    size_t nStart = 0;
    while (nStart < strMessage.size()) {
        const size_t nEnd = std::min(strMessage.find('\n', nStart), strMessage.size());
        footer.push_back(
            {FitText(strMessage.substr(nStart, nEnd - nStart), nColumns), ELineStyle::Message});
        nStart = nEnd + 1;
    }
    footer.push_back({FitText(choices.bEditing ? "Filter: " + choices.strEditing +
                                                     "_   Enter applies, Esc clears"
                                               : kKeys,
                              nColumns),
                      ELineStyle::Keys});

    if (choices.bHelp) {
        for (const char* szLine : kHelp) {
            add(szLine, ELineStyle::Row);
        }
    } else {
        std::vector<Column> columns;
        std::vector<Row> rows;
        switch (choices.eView) {
        case ETopView::Devices:
            columns.assign(std::begin(kDeviceColumns), std::end(kDeviceColumns));
            rows = DeviceRows(sample, choices);
            break;
        case ETopView::Applications:
            columns.assign(std::begin(kAppColumns), std::end(kAppColumns));
            if (choices.bCommands) {
                columns.push_back(kCommandColumn);
            }
            rows = AppRows(sample, choices, extras.programs);
            break;
        case ETopView::Connections:
            columns.assign(std::begin(kConnectionColumns), std::end(kConnectionColumns));
            rows = ConnectionRows(sample, choices, extras.fnName);
            break;
        }
        std::ranges::stable_sort(rows, [](const Row& a, const Row& b) {
            if (a.bLast != b.bLast) {
                return b.bLast;
            }
            return a.dKey != b.dKey ? a.dKey > b.dKey : a.cells[0] < b.cells[0];
        });
        std::vector<size_t> widths;
        const std::vector<size_t> shown = FitColumns(columns, rows, nColumns, widths);
        add(JoinCells(columns, shown, widths, [&](size_t n) { return columns[n].szName; }),
            ELineStyle::ColumnNames);
        const size_t nUsed = screen.lines.size() + footer.size();
        screen.nRows = rows.size();
        screen.nRowsShown = nLines > nUsed ? std::min(nLines - nUsed, rows.size()) : 0;
        choices.nScroll = std::min(choices.nScroll, rows.size() - screen.nRowsShown);
        for (size_t n = choices.nScroll; n < choices.nScroll + screen.nRowsShown; ++n) {
            add(JoinCells(columns, shown, widths,
                          [&](size_t nCell) { return rows[n].cells[nCell]; }),
                ELineStyle::Row);
        }
    }
    // The footer sits at the bottom; the lines above it give way on a short screen.
    const size_t nAbove = nLines > footer.size() ? nLines - footer.size() : 0;
    screen.lines.resize(std::min(screen.lines.size(), nAbove));
    while (screen.lines.size() < nAbove) {
        screen.lines.push_back({"", ELineStyle::Row});
    }
    for (const TopLine& line : footer) {
        if (screen.lines.size() < nLines) {
            screen.lines.push_back(line);
        }
    }
    return screen;
}
