#include "JsonText.h"

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Walks the bytes as UTF-8: fnValid gets each well-formed sequence (an ASCII byte alone), fnStray
// each byte that does not start one.
template <class FnValid, class FnStray>
void WalkUtf8(std::string_view svBytes, FnValid fnValid, FnStray fnStray) {
    size_t nPos = 0;
    while (nPos < svBytes.size()) {
        const auto nLead = static_cast<unsigned char>(svBytes[nPos]);
        if (nLead < 0x80) {
            fnValid(svBytes.substr(nPos, 1));
            ++nPos;
            continue;
        }
        size_t nLength = 0;
        char32_t cCode = 0;
        char32_t cMin = 0;
        if (nLead >= 0xC2 && nLead <= 0xDF) {
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
        bool bValid = nLength > 0 && nPos + nLength <= svBytes.size();
        for (size_t nNext = 1; bValid && nNext < nLength; ++nNext) {
            const auto nByte = static_cast<unsigned char>(svBytes[nPos + nNext]);
            bValid = (nByte & 0xC0) == 0x80;
            cCode = (cCode << 6) | (nByte & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not UTF-8.
        bValid = bValid && cCode >= cMin && cCode <= 0x10FFFF && (cCode < 0xD800 || cCode > 0xDFFF);
        if (!bValid) {
            fnStray(nLead);
            ++nPos;
        } else {
            fnValid(svBytes.substr(nPos, nLength));
            nPos += nLength;
        }
    }
}

} // namespace

std::string ToUtf8Text(std::string_view svBytes) {
    std::string strOut;
    strOut.reserve(svBytes.size());
    WalkUtf8(
        svBytes,
        [&](std::string_view svSequence) {
            strOut.append(svSequence == "\\" ? std::string_view("\\\\") : svSequence);
        },
        [&](unsigned char nByte) {
            strOut.append("\\x").append(1, kHex[nByte >> 4]).append(1, kHex[nByte & 0xF]);
        });
    return strOut;
}

nlohmann::ordered_json JsonText(std::string_view svBytes) {
    return ToUtf8Text(svBytes);
}

void AppendJsonText(std::string& strOut, std::string_view svBytes) {
    strOut += '"';
    WalkUtf8(
        svBytes,
        [&](std::string_view svSequence) {
            if (svSequence.size() > 1) {
                strOut.append(svSequence);
                return;
            }
            const char ch = svSequence[0];
            switch (ch) {
            case '"':
                strOut += "\\\"";
                break;
            case '\\': // doubled as text, each of the two escaped
                strOut += "\\\\\\\\";
                break;
            case '\b':
                strOut += "\\b";
                break;
            case '\f':
                strOut += "\\f";
                break;
            case '\n':
                strOut += "\\n";
                break;
            case '\r':
                strOut += "\\r";
                break;
            case '\t':
                strOut += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(ch) < 0x20) {
                    strOut.append("\\u00").append(1, kHex[ch >> 4]).append(1, kHex[ch & 0xF]);
                } else {
                    strOut += ch;
                }
            }
        },
        [&](unsigned char nByte) {
            // The text's \xHH, its backslash escaped.
            strOut.append("\\\\x").append(1, kHex[nByte >> 4]).append(1, kHex[nByte & 0xF]);
        });
    strOut += '"';
}

std::string DumpJson(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
