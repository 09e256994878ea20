#include "SnapshotFormat.h"

#include "JsonText.h"
#include "TrafficSampler.h"
#include "Units.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <system_error>

namespace {

void AppendInteger(std::string& strOut, int64_t nValue) {
    char szDigits[24];
    const auto [pEnd, ec] = std::to_chars(szDigits, szDigits + sizeof szDigits, nValue);
    strOut.append(szDigits, pEnd);
}

// "sent_bytes":N,"received_bytes":N,"sent_rate":N,"received_rate":N, the rates in whole bytes a
// second, as the window's sampler rates.
void AppendBytesAndRates(std::string& strOut, int64_t nSent, int64_t nRecv, int64_t nSentBefore,
                         int64_t nRecvBefore, double dSeconds) {
    const RowRates rates = RatesSince(nSent, nRecv, nSentBefore, nRecvBefore, dSeconds);
    strOut += "\"sent_bytes\":";
    AppendInteger(strOut, nSent);
    strOut += ",\"received_bytes\":";
    AppendInteger(strOut, nRecv);
    strOut += ",\"sent_rate\":";
    AppendInteger(strOut, std::llround(rates.dSent));
    strOut += ",\"received_rate\":";
    AppendInteger(strOut, std::llround(rates.dRecv));
}

// A moment as FormatUtcTime writes it, into szTime; returns its length.
size_t WriteUtcTime(char (&szTime)[48], std::chrono::system_clock::time_point tWall) {
    const auto tSeconds = std::chrono::floor<std::chrono::seconds>(tWall);
    const auto nMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(tWall - tSeconds).count();
    const time_t nSeconds = std::chrono::system_clock::to_time_t(tSeconds);
    tm utc{};
    gmtime_r(&nSeconds, &utc);
    const size_t nLength = std::strftime(szTime, sizeof szTime, "%Y-%m-%dT%H:%M:%S", &utc);
    const int nMore =
        std::snprintf(szTime + nLength, sizeof szTime - nLength, ".%03dZ", static_cast<int>(nMs));
    return nLength + static_cast<size_t>(std::max(nMore, 0));
}

// Label values escape only backslash, double quote and line feed, after ToUtf8Text: the exposition
// must be UTF-8, and two devices must never read as one (Prometheus refuses a scrape with a label
// set twice).
void AppendLabelValue(std::string& strOut, std::string_view svText) {
    strOut += '"';
    for (const char ch : ToUtf8Text(svText)) {
        if (ch == '"' || ch == '\\') {
            strOut.append(1, '\\').append(1, ch);
        } else if (ch == '\n') {
            strOut += "\\n";
        } else {
            strOut += ch;
        }
    }
    strOut += '"';
}

void AppendFamilyHeader(std::string& strOut, const char* szName, const char* szType,
                        const char* szHelp) {
    strOut.append("# HELP ").append(szName).append(" ").append(szHelp).append("\n");
    strOut.append("# TYPE ").append(szName).append(" ").append(szType).append("\n");
}

// One sample: name{device="..."[,extra label]} value.
void AppendSample(std::string& strOut, const char* szName, const std::string& strDevice,
                  const char* szDirection, int64_t nValue) {
    strOut.append(szName).append("{device=");
    AppendLabelValue(strOut, strDevice);
    if (szDirection != nullptr) {
        strOut.append(",direction=\"").append(szDirection).append("\"");
    }
    strOut += "} ";
    AppendInteger(strOut, nValue);
    strOut += '\n';
}

// A tunnel, or a device that counted as one: its inner traffic, beside the totals.
bool IsShownAsTunnel(const DeviceSnapshot& device) {
    return device.bCarried || device.nInnerSentBytes != 0 || device.nInnerRecvBytes != 0;
}

// ,"tunnel":{"carried_by":...,"inner_sent_bytes":...,...}: the inner bytes, and the outer bytes and
// overhead (outer minus inner) or null where the outer packets cannot be told.
void AppendTunnelJson(std::string& strOut, const DeviceSnapshot& device) {
    strOut += ",\"tunnel\":{\"carried_by\":";
    if (device.strCarriedBy.empty()) {
        strOut += "null";
    } else {
        AppendJsonText(strOut, device.strCarriedBy);
    }
    strOut += ",\"inner_sent_bytes\":";
    AppendInteger(strOut, device.nInnerSentBytes);
    strOut += ",\"inner_received_bytes\":";
    AppendInteger(strOut, device.nInnerRecvBytes);
    const auto outer = [&](const char* szKey, int64_t nValue) {
        strOut += szKey;
        if (device.bOuterKnown) {
            AppendInteger(strOut, nValue);
        } else {
            strOut += "null";
        }
    };
    outer(",\"outer_sent_bytes\":", device.nOuterSentBytes);
    outer(",\"outer_received_bytes\":", device.nOuterRecvBytes);
    outer(",\"overhead_sent_bytes\":", device.nOuterSentBytes - device.nInnerSentBytes);
    outer(",\"overhead_received_bytes\":", device.nOuterRecvBytes - device.nInnerRecvBytes);
    strOut += '}';
}

// One sample of a tunnel's family: {device=...,carried_by=...,direction=...} value.
void AppendTunnelSample(std::string& strOut, const char* szName, const DeviceSnapshot& device,
                        bool bSent, int64_t nValue) {
    strOut.append(szName).append("{device=");
    AppendLabelValue(strOut, device.strName);
    strOut += ",carried_by=";
    AppendLabelValue(strOut, device.strCarriedBy);
    strOut += bSent ? ",direction=\"sent\"} " : ",direction=\"received\"} ";
    AppendInteger(strOut, nValue);
    strOut += '\n';
}

} // namespace

std::string FormatTextLine(const MeterSnapshot& snapshot) {
    return FormatRecvCounter(snapshot.nRecvBytes) + "\t" + FormatSentCounter(snapshot.nSentBytes);
}

std::string FormatUtcTime(std::chrono::system_clock::time_point tWall) {
    char szTime[48];
    return std::string(szTime, WriteUtcTime(szTime, tWall));
}

void WriteJsonLine(std::string& strOut, const MeterSnapshot& snapshot, const MeterSnapshot& before,
                   double dSeconds, std::chrono::system_clock::time_point tWall, size_t nPerApp) {
    strOut.clear();
    char szTime[48];
    strOut += "{\"time\":\"";
    strOut.append(szTime, WriteUtcTime(szTime, tWall));
    strOut += "\",";
    AppendBytesAndRates(strOut, snapshot.nSentBytes, snapshot.nRecvBytes, before.nSentBytes,
                        before.nRecvBytes, dSeconds);
    strOut += ",\"devices\":[";
    for (const DeviceSnapshot& device : snapshot.devices) {
        // A few dozen devices: a search costs less than an index.
        const auto itBefore =
            std::ranges::find(before.devices, device.strName, &DeviceSnapshot::strName);
        const bool bBefore = itBefore != before.devices.end();
        strOut += &device == snapshot.devices.data() ? "{\"name\":" : ",{\"name\":";
        AppendJsonText(strOut, device.strName);
        strOut += ",\"state\":";
        // Short states fit in the string itself; only those that carry a text allocate.
        AppendJsonText(strOut, DescribeDeviceState(device));
        strOut += ',';
        AppendBytesAndRates(strOut, device.nSentBytes, device.nRecvBytes,
                            bBefore ? itBefore->nSentBytes : 0, bBefore ? itBefore->nRecvBytes : 0,
                            dSeconds);
        strOut += ",\"packets\":";
        AppendInteger(strOut, device.nSentPackets + device.nRecvPackets);
        strOut += ",\"drops\":";
        AppendInteger(strOut, device.nDrops);
        if (IsShownAsTunnel(device)) {
            AppendTunnelJson(strOut, device);
        }
        strOut += '}';
    }
    strOut += ']';
    if (nPerApp > 0) {
        const std::vector<AppUsage> beforeRows = TopAppRows(MergeAppOwners(before.apps), nPerApp);
        strOut += ",\"apps\":[";
        bool bFirst = true;
        for (const AppUsage& row : TopAppRows(MergeAppOwners(snapshot.apps), nPerApp)) {
            const auto itBefore = std::ranges::find_if(
                beforeRows, [&](const AppUsage& earlier) { return IsSameAppRow(earlier, row); });
            const bool bBefore = itBefore != beforeRows.end();
            strOut += bFirst ? "{\"name\":" : ",{\"name\":";
            bFirst = false;
            AppendJsonText(strOut, row.strName);
            if (!row.IsAttributed()) {
                // Labels are plain lower-case words: nothing to escape.
                strOut.append(",\"reason\":\"")
                    .append(LabelUnattributed(static_cast<EUnattributed>(row.nReason)))
                    .append("\"");
            }
            strOut += ',';
            AppendBytesAndRates(strOut, row.nSentBytes, row.nRecvBytes,
                                bBefore ? itBefore->nSentBytes : 0,
                                bBefore ? itBefore->nRecvBytes : 0, dSeconds);
            strOut += ",\"connections\":";
            AppendInteger(strOut, row.nConnections);
            if (!row.vecPids.empty()) {
                strOut += ",\"pids\":[";
                for (size_t i = 0; i < row.vecPids.size(); ++i) {
                    if (i != 0) {
                        strOut += ',';
                    }
                    AppendInteger(strOut, row.vecPids[i]);
                }
                strOut += ']';
            }
            if (!row.strCommand.empty()) {
                strOut += ",\"command\":";
                AppendJsonText(strOut, row.strCommand);
            }
            strOut += '}';
        }
        strOut += ']';
    }
    strOut += '}';
}

std::string FormatJsonLine(const MeterSnapshot& snapshot, const MeterSnapshot& before,
                           double dSeconds, std::chrono::system_clock::time_point tWall,
                           size_t nPerApp) {
    std::string strLine;
    WriteJsonLine(strLine, snapshot, before, dSeconds, tWall, nPerApp);
    return strLine;
}

CLineFormatter::CLineFormatter(bool bJson, bool bTimestamps,
                               std::chrono::steady_clock::time_point tStart, size_t nPerApp)
    : m_bJson(bJson), m_bTimestamps(bTimestamps), m_nPerApp(nPerApp), m_interval(tStart) {}

const std::string& CLineFormatter::Next(const MeterSnapshot& snapshot,
                                        std::chrono::system_clock::time_point tWall,
                                        std::chrono::steady_clock::time_point tNow) {
    if (m_bJson) {
        const double dSeconds = m_interval.Next(snapshot, tNow);
        WriteJsonLine(m_strLine, snapshot, m_before, dSeconds, tWall, m_nPerApp);
        // Assigned, not built: the devices' strings keep their room from line to line.
        m_before = snapshot;
    } else {
        m_strLine = m_bTimestamps ? FormatUtcTime(tWall) + "\t" + FormatTextLine(snapshot)
                                  : FormatTextLine(snapshot);
    }
    return m_strLine;
}

std::string FormatPrometheus(const MeterSnapshot& snapshot, const std::string& strVersion,
                             size_t nPerApp) {
    std::string strOut;
    AppendFamilyHeader(strOut, "orvek_bytes_total", "counter",
                       "Bytes counted on the device since capture started, by direction; their "
                       "sum over devices is the host's totals (a tunnel's inner bytes are in "
                       "orvek_tunnel_bytes_total).");
    for (const DeviceSnapshot& device : snapshot.devices) {
        AppendSample(strOut, "orvek_bytes_total", device.strName, "sent", device.nSentBytes);
        AppendSample(strOut, "orvek_bytes_total", device.strName, "received", device.nRecvBytes);
    }
    AppendFamilyHeader(strOut, "orvek_packets_total", "counter",
                       "Packets counted on the device since capture started, by direction.");
    for (const DeviceSnapshot& device : snapshot.devices) {
        AppendSample(strOut, "orvek_packets_total", device.strName, "sent", device.nSentPackets);
        AppendSample(strOut, "orvek_packets_total", device.strName, "received",
                     device.nRecvPackets);
    }
    AppendFamilyHeader(strOut, "orvek_dropped_packets_total", "counter",
                       "Packets the kernel dropped on the device before the meter read them.");
    for (const DeviceSnapshot& device : snapshot.devices) {
        AppendSample(strOut, "orvek_dropped_packets_total", device.strName, nullptr, device.nDrops);
    }
    AppendFamilyHeader(strOut, "orvek_capturing", "gauge",
                       "1 while the device is captured, 0 when it is not.");
    for (const DeviceSnapshot& device : snapshot.devices) {
        AppendSample(strOut, "orvek_capturing", device.strName, nullptr, device.bCapturing ? 1 : 0);
    }
    AppendFamilyHeader(strOut, "orvek_carried", "gauge",
                       "1 for a tunnel whose traffic counts inside the outer packets of "
                       "carried_by (when known), not on its own.");
    for (const DeviceSnapshot& device : snapshot.devices) {
        if (device.bCarried) {
            strOut += "orvek_carried{device=";
            AppendLabelValue(strOut, device.strName);
            if (!device.strCarriedBy.empty()) {
                strOut += ",carried_by=";
                AppendLabelValue(strOut, device.strCarriedBy);
            }
            strOut += "} 1\n";
        }
    }
    AppendFamilyHeader(strOut, "orvek_tunnel_bytes_total", "counter",
                       "A tunnel's inner bytes, by direction: carried inside carried_by's packets, "
                       "which count in orvek_bytes_total; never add the two.");
    for (const DeviceSnapshot& device : snapshot.devices) {
        if (IsShownAsTunnel(device)) {
            AppendTunnelSample(strOut, "orvek_tunnel_bytes_total", device, true,
                               device.nInnerSentBytes);
            AppendTunnelSample(strOut, "orvek_tunnel_bytes_total", device, false,
                               device.nInnerRecvBytes);
        }
    }
    AppendFamilyHeader(strOut, "orvek_tunnel_outer_bytes_total", "counter",
                       "The outer bytes that carried a tunnel's inner bytes, by direction, where "
                       "they can be told; minus orvek_tunnel_bytes_total, the tunnel's overhead.");
    for (const DeviceSnapshot& device : snapshot.devices) {
        if (IsShownAsTunnel(device) && device.bOuterKnown) {
            AppendTunnelSample(strOut, "orvek_tunnel_outer_bytes_total", device, true,
                               device.nOuterSentBytes);
            AppendTunnelSample(strOut, "orvek_tunnel_outer_bytes_total", device, false,
                               device.nOuterRecvBytes);
        }
    }
    AppendFamilyHeader(
        strOut, "orvek_monitor_up", "gauge",
        "1 while devices and addresses are followed, 0 while that waits to restart.");
    strOut.append("orvek_monitor_up ").append(snapshot.bMonitorUp ? "1" : "0").append("\n");
    if (nPerApp > 0) {
        AppendFamilyHeader(strOut, "orvek_app_bytes_total", "counter",
                           "Bytes counted since capture started, by application and direction "
                           "(the largest applications by name, the rest as other).");
        // One series per name: two users' rows of one application are one label.
        for (const AppUsage& row : TopAppRows(MergeAppOwners(snapshot.apps), nPerApp)) {
            for (const bool bSent : {true, false}) {
                strOut += "orvek_app_bytes_total{app=";
                AppendLabelValue(strOut, row.strName);
                strOut += bSent ? ",direction=\"sent\"} " : ",direction=\"received\"} ";
                AppendInteger(strOut, bSent ? row.nSentBytes : row.nRecvBytes);
                strOut += '\n';
            }
        }
    }
    AppendFamilyHeader(strOut, "orvek_build_info", "gauge", "The running Orvek version; always 1.");
    strOut += "orvek_build_info{version=";
    AppendLabelValue(strOut, strVersion);
    strOut += "} 1\n";
    return strOut;
}
