#include "SnapshotFormat.h"

#include "OrvekMeter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string_view>
#include <system_error>

namespace {

// Both formats must be valid UTF-8, while device names and libpcap texts are arbitrary bytes, and
// two devices must never read as one (Prometheus refuses a scrape with a label set twice): every
// byte that does not start a well-formed sequence becomes the four characters \xHH, and a
// backslash becomes two, so that no text reads as another.
std::string ToUtf8Text(std::string_view svText) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string strOut;
    strOut.reserve(svText.size());
    size_t nPos = 0;
    while (nPos < svText.size()) {
        const auto nLead = static_cast<unsigned char>(svText[nPos]);
        size_t nLength = 0;
        char32_t cCode = 0;
        char32_t cMin = 0;
        if (nLead < 0x80) {
            nLength = 1;
            cCode = nLead;
        } else if (nLead >= 0xC2 && nLead <= 0xDF) {
            nLength = 2;
            cCode = nLead & 0x1F;
            cMin = 0x80;
        } else if (nLead >= 0xE0 && nLead <= 0xEF) {
            nLength = 3;
            cCode = nLead & 0x0F;
            cMin = 0x800;
        } else if (nLead >= 0xF0 && nLead <= 0xF4) {
            nLength = 4;
            cCode = nLead & 0x07;
            cMin = 0x10000;
        }
        bool bValid = nLength > 0 && nPos + nLength <= svText.size();
        for (size_t nNext = 1; bValid && nNext < nLength; ++nNext) {
            const auto nByte = static_cast<unsigned char>(svText[nPos + nNext]);
            bValid = (nByte & 0xC0) == 0x80;
            cCode = (cCode << 6) | (nByte & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not UTF-8.
        bValid = bValid && cCode >= cMin && cCode <= 0x10FFFF && (cCode < 0xD800 || cCode > 0xDFFF);
        if (!bValid) {
            strOut.append("\\x").append(1, kHex[nLead >> 4]).append(1, kHex[nLead & 0xF]);
            ++nPos;
        } else {
            strOut.append(nLead == '\\' ? "\\\\" : svText.substr(nPos, nLength));
            nPos += nLength;
        }
    }
    return strOut;
}

void AppendInteger(std::string& strOut, int64_t nValue) {
    char szDigits[24];
    const auto [pEnd, ec] = std::to_chars(szDigits, szDigits + sizeof szDigits, nValue);
    strOut.append(szDigits, pEnd);
}

// Whole bytes a second from nBefore to nNow over dSeconds; counters never go back.
int64_t RateOf(int64_t nNow, int64_t nBefore, double dSeconds) {
    return dSeconds > 0
               ? std::llround(static_cast<double>(std::max<int64_t>(nNow - nBefore, 0)) / dSeconds)
               : 0;
}

// ,"sent_bytes":N,"received_bytes":N,"sent_rate":N,"received_rate":N
void AppendBytesAndRates(std::string& strOut, int64_t nSent, int64_t nRecv, int64_t nSentBefore,
                         int64_t nRecvBefore, double dSeconds) {
    strOut += ",\"sent_bytes\":";
    AppendInteger(strOut, nSent);
    strOut += ",\"received_bytes\":";
    AppendInteger(strOut, nRecv);
    strOut += ",\"sent_rate\":";
    AppendInteger(strOut, RateOf(nSent, nSentBefore, dSeconds));
    strOut += ",\"received_rate\":";
    AppendInteger(strOut, RateOf(nRecv, nRecvBefore, dSeconds));
}

void AppendJsonString(std::string& strOut, std::string_view svText) {
    static constexpr char kHex[] = "0123456789abcdef";
    strOut += '"';
    for (const char ch : ToUtf8Text(svText)) {
        const auto nByte = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            strOut.append(1, '\\').append(1, ch);
        } else if (nByte < 0x20) {
            strOut.append("\\u00").append(1, kHex[nByte >> 4]).append(1, kHex[nByte & 0xF]);
        } else {
            strOut += ch;
        }
    }
    strOut += '"';
}

// Label values escape only backslash, double quote and line feed; other bytes go as they are.
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
void AppendTunnel(std::string& strOut, const DeviceSnapshot& device) {
    strOut += ",\"tunnel\":{\"carried_by\":";
    if (device.strCarriedBy.empty()) {
        strOut += "null";
    } else {
        AppendJsonString(strOut, device.strCarriedBy);
    }
    const auto field = [&](const char* szName, const std::optional<int64_t>& nValue) {
        strOut.append(",\"").append(szName).append("\":");
        if (nValue) {
            AppendInteger(strOut, *nValue);
        } else {
            strOut += "null";
        }
    };
    field("inner_sent_bytes", device.nInnerSentBytes);
    field("inner_received_bytes", device.nInnerRecvBytes);
    const auto outer = [&](int64_t nValue) {
        return device.bOuterKnown ? std::optional<int64_t>(nValue) : std::nullopt;
    };
    field("outer_sent_bytes", outer(device.nOuterSentBytes));
    field("outer_received_bytes", outer(device.nOuterRecvBytes));
    field("overhead_sent_bytes", outer(device.nOuterSentBytes - device.nInnerSentBytes));
    field("overhead_received_bytes", outer(device.nOuterRecvBytes - device.nInnerRecvBytes));
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
    return COrvekMeter::FormatRecv(snapshot.nRecvBytes) + "\t" +
           COrvekMeter::FormatSent(snapshot.nSentBytes);
}

std::string FormatUtcTime(std::chrono::system_clock::time_point tWall) {
    const auto tSeconds = std::chrono::floor<std::chrono::seconds>(tWall);
    const auto nMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(tWall - tSeconds).count();
    const time_t nSeconds = std::chrono::system_clock::to_time_t(tSeconds);
    tm utc{};
    gmtime_r(&nSeconds, &utc);
    char szTime[48];
    const size_t nLength = std::strftime(szTime, sizeof szTime, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(szTime + nLength, sizeof szTime - nLength, ".%03dZ", static_cast<int>(nMs));
    return szTime;
}

std::string FormatJsonLine(const MeterSnapshot& snapshot, const MeterSnapshot& before,
                           double dSeconds, std::chrono::system_clock::time_point tWall,
                           size_t nPerApp) {
    std::string strOut = "{\"time\":\"" + FormatUtcTime(tWall) + "\"";
    AppendBytesAndRates(strOut, snapshot.nSentBytes, snapshot.nRecvBytes, before.nSentBytes,
                        before.nRecvBytes, dSeconds);
    strOut += ",\"devices\":[";
    for (size_t nIndex = 0; nIndex < snapshot.devices.size(); ++nIndex) {
        const DeviceSnapshot& device = snapshot.devices[nIndex];
        // A few dozen devices: a search costs less than an index.
        const auto itBefore =
            std::ranges::find(before.devices, device.strName, &DeviceSnapshot::strName);
        const bool bBefore = itBefore != before.devices.end();
        strOut += nIndex == 0 ? "{\"name\":" : ",{\"name\":";
        AppendJsonString(strOut, device.strName);
        strOut += ",\"state\":";
        AppendJsonString(strOut, DescribeDeviceState(device));
        AppendBytesAndRates(strOut, device.nSentBytes, device.nRecvBytes,
                            bBefore ? itBefore->nSentBytes : 0, bBefore ? itBefore->nRecvBytes : 0,
                            dSeconds);
        strOut += ",\"packets\":";
        AppendInteger(strOut, device.nSentPackets + device.nRecvPackets);
        strOut += ",\"drops\":";
        AppendInteger(strOut, device.nDrops);
        if (IsShownAsTunnel(device)) {
            AppendTunnel(strOut, device);
        }
        strOut += '}';
    }
    strOut += ']';
    if (nPerApp > 0) {
        const std::vector<AppUsage> beforeRows = TopAppRows(before.apps, nPerApp);
        strOut += ",\"apps\":[";
        bool bFirst = true;
        for (const AppUsage& row : TopAppRows(snapshot.apps, nPerApp)) {
            const auto itBefore = std::ranges::find_if(beforeRows, [&](const AppUsage& earlier) {
                return earlier.nReason == row.nReason && earlier.strName == row.strName;
            });
            const bool bBefore = itBefore != beforeRows.end();
            strOut += bFirst ? "{\"name\":" : ",{\"name\":";
            bFirst = false;
            AppendJsonString(strOut, row.strName);
            if (!row.IsAttributed()) {
                strOut += ",\"reason\":";
                AppendJsonString(strOut,
                                 LabelUnattributed(static_cast<EUnattributed>(row.nReason)));
            }
            AppendBytesAndRates(strOut, row.nSentBytes, row.nRecvBytes,
                                bBefore ? itBefore->nSentBytes : 0,
                                bBefore ? itBefore->nRecvBytes : 0, dSeconds);
            strOut += ",\"connections\":";
            AppendInteger(strOut, row.nConnections);
            strOut += '}';
        }
        strOut += ']';
    }
    strOut += '}';
    return strOut;
}

CLineFormatter::CLineFormatter(bool bJson, bool bTimestamps,
                               std::chrono::steady_clock::time_point tStart, size_t nPerApp)
    : m_bJson(bJson), m_bTimestamps(bTimestamps), m_nPerApp(nPerApp), m_tBefore(tStart) {}

std::string CLineFormatter::Next(const MeterSnapshot& snapshot,
                                 std::chrono::system_clock::time_point tWall,
                                 std::chrono::steady_clock::time_point tNow) {
    std::string strLine;
    if (m_bJson) {
        const double dSeconds = std::chrono::duration<double>(tNow - m_tBefore).count();
        strLine = FormatJsonLine(snapshot, m_before, dSeconds, tWall, m_nPerApp);
        m_before = snapshot;
        m_tBefore = tNow;
    } else {
        strLine = m_bTimestamps ? FormatUtcTime(tWall) + "\t" + FormatTextLine(snapshot)
                                : FormatTextLine(snapshot);
    }
    return strLine;
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
        for (const AppUsage& row : TopAppRows(snapshot.apps, nPerApp)) {
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
