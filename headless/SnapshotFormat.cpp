#include "SnapshotFormat.h"

#include "OrvekMeter.h"

#include <charconv>
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

} // namespace

std::string FormatTextLine(const MeterSnapshot& snapshot) {
    return COrvekMeter::FormatRecv(snapshot.nRecvBytes) + "\t" +
           COrvekMeter::FormatSent(snapshot.nSentBytes);
}

std::string FormatJsonLine(const MeterSnapshot& snapshot) {
    std::string strOut = "{\"sent_bytes\":";
    AppendInteger(strOut, snapshot.nSentBytes);
    strOut += ",\"received_bytes\":";
    AppendInteger(strOut, snapshot.nRecvBytes);
    strOut += ",\"devices\":[";
    for (size_t nIndex = 0; nIndex < snapshot.devices.size(); ++nIndex) {
        const DeviceSnapshot& device = snapshot.devices[nIndex];
        strOut += nIndex == 0 ? "{\"name\":" : ",{\"name\":";
        AppendJsonString(strOut, device.strName);
        strOut += ",\"state\":";
        AppendJsonString(strOut, device.strState);
        strOut += ",\"sent_bytes\":";
        AppendInteger(strOut, device.nSentBytes);
        strOut += ",\"received_bytes\":";
        AppendInteger(strOut, device.nRecvBytes);
        strOut += ",\"packets\":";
        AppendInteger(strOut, device.nSentPackets + device.nRecvPackets);
        strOut += ",\"drops\":";
        AppendInteger(strOut, device.nDrops);
        strOut += '}';
    }
    strOut += "]}";
    return strOut;
}

std::string FormatPrometheus(const MeterSnapshot& snapshot, const std::string& strVersion) {
    std::string strOut;
    AppendFamilyHeader(strOut, "orvek_bytes_total", "counter",
                       "Bytes counted on the device since capture started, by direction.");
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
    AppendFamilyHeader(
        strOut, "orvek_monitor_up", "gauge",
        "1 while devices and addresses are followed, 0 while that waits to restart.");
    strOut.append("orvek_monitor_up ").append(snapshot.bMonitorUp ? "1" : "0").append("\n");
    AppendFamilyHeader(strOut, "orvek_build_info", "gauge", "The running Orvek version; always 1.");
    strOut += "orvek_build_info{version=";
    AppendLabelValue(strOut, strVersion);
    strOut += "} 1\n";
    return strOut;
}
