#include "JsonText.h"

std::string ToUtf8Text(std::string_view svBytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string strOut;
    strOut.reserve(svBytes.size());
    size_t nPos = 0;
    while (nPos < svBytes.size()) {
        const auto nLead = static_cast<unsigned char>(svBytes[nPos]);
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
        bool bValid = nLength > 0 && nPos + nLength <= svBytes.size();
        for (size_t nNext = 1; bValid && nNext < nLength; ++nNext) {
            const auto nByte = static_cast<unsigned char>(svBytes[nPos + nNext]);
            bValid = (nByte & 0xC0) == 0x80;
            cCode = (cCode << 6) | (nByte & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not UTF-8.
        bValid = bValid && cCode >= cMin && cCode <= 0x10FFFF && (cCode < 0xD800 || cCode > 0xDFFF);
        if (!bValid) {
            strOut.append("\\x").append(1, kHex[nLead >> 4]).append(1, kHex[nLead & 0xF]);
            ++nPos;
        } else {
            strOut.append(nLead == '\\' ? "\\\\" : svBytes.substr(nPos, nLength));
            nPos += nLength;
        }
    }
    return strOut;
}

nlohmann::ordered_json JsonText(std::string_view svBytes) {
    return ToUtf8Text(svBytes);
}

std::string DumpJson(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
