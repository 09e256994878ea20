#include "Units.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>

namespace {

constexpr double kKibi = 1024.0;

// The fixed form of dValue with nDecimals, a decimal point in any locale.
std::string Fixed(double dValue, int nDecimals) {
    char szNumber[64];
    const auto result = std::to_chars(szNumber, szNumber + sizeof szNumber, dValue,
                                      std::chars_format::fixed, nDecimals);
    return std::string(szNumber, result.ptr);
}

std::string FormatCounter(const char* szLabel, int64_t nBytes) {
    return std::string(" ") + szLabel + "  " + FormatMebibytes(nBytes) + " Mb";
}

} // namespace

std::string FormatMebibytes(int64_t nBytes) {
    return Fixed(static_cast<double>(nBytes) / (kKibi * kKibi), 3);
}

std::string FormatRecvCounter(int64_t nBytes) {
    return FormatCounter("Recv", nBytes);
}

std::string FormatSentCounter(int64_t nBytes) {
    return FormatCounter("Sent", nBytes);
}

std::string FormatThousands(int64_t nValue) {
    // Through the unsigned magnitude, which holds INT64_MIN's too.
    const uint64_t nMagnitude =
        nValue < 0 ? ~static_cast<uint64_t>(nValue) + 1 : static_cast<uint64_t>(nValue);
    const std::string strDigits = std::to_string(nMagnitude);
    std::string strOut = nValue < 0 ? "-" : "";
    for (size_t n = 0; n < strDigits.size(); ++n) {
        if (n > 0 && (strDigits.size() - n) % 3 == 0) {
            strOut += ',';
        }
        strOut += strDigits[n];
    }
    return strOut;
}

namespace {

// nBytes as a number and its unit's index in a family, chosen after rounding to nDecimals so that
// 1,023.999 KiB reads "1.00 MiB". -1: below the family's first unit, plain bytes.
int ScaleBytes(int64_t nBytes, EByteUnits eUnits, int nDecimals, double& dValue) {
    const double dBase = eUnits == EByteUnits::Binary ? kKibi : 1000.0;
    if (static_cast<double>(nBytes) < dBase) {
        dValue = static_cast<double>(nBytes);
        return -1;
    }
    const double dLimit = dBase - 0.5 * std::pow(10.0, -nDecimals);
    dValue = static_cast<double>(nBytes) / dBase;
    int nUnit = 0;
    while (dValue >= dLimit && nUnit + 1 < 5) {
        dValue /= dBase;
        ++nUnit;
    }
    return nUnit;
}

const char* UnitOf(EByteUnits eUnits, int nUnit) {
    static constexpr const char* kBinary[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    static constexpr const char* kDecimal[] = {"kB", "MB", "GB", "TB", "PB"};
    return (eUnits == EByteUnits::Binary ? kBinary : kDecimal)[nUnit];
}

} // namespace

std::string FormatBytes(int64_t nBytes, EByteUnits eUnits) {
    double dValue = 0;
    const int nUnit = ScaleBytes(nBytes, eUnits, 2, dValue);
    if (nUnit < 0) {
        return std::to_string(nBytes) + " B";
    }
    return Fixed(dValue, 2) + " " + UnitOf(eUnits, nUnit);
}

std::string FormatBytesShort(int64_t nBytes, EByteUnits eUnits) {
    // The decimals for three digits are chosen from the number rounded to two, so that 99.996
    // reads "100", not "100.0".
    double dValue = 0;
    const int nUnit = ScaleBytes(nBytes, eUnits, 2, dValue);
    if (nUnit < 0) {
        return std::to_string(nBytes) + " B";
    }
    const int nDecimals = dValue >= 99.95 ? 0 : dValue >= 9.995 ? 1 : 2;
    return Fixed(dValue, nDecimals) + " " + UnitOf(eUnits, nUnit);
}

double ByteUnitBase(EByteUnits eUnits) {
    return eUnits == EByteUnits::Binary ? kKibi : 1000.0;
}

const char* MegaUnitName(EByteUnits eUnits) {
    return UnitOf(eUnits, 1);
}

std::string FormatInMegaUnit(int64_t nBytes, EByteUnits eUnits) {
    const double dBase = ByteUnitBase(eUnits);
    return Fixed(static_cast<double>(nBytes) / (dBase * dBase), 3);
}

std::string FormatRate(double dBytesPerSecond, EByteUnits eUnits) {
    if (dBytesPerSecond < 0 || !std::isfinite(dBytesPerSecond)) {
        return {};
    }
    const double dBase = ByteUnitBase(eUnits);
    if (std::round(dBytesPerSecond) < dBase) {
        return std::to_string(std::llround(dBytesPerSecond)) + " B/s";
    }
    // The unit is chosen after rounding, so that 1,023.97 KiB/s reads "1.0 MiB/s".
    const double dKilo = dBytesPerSecond / dBase;
    if (std::round(dKilo * 10) / 10 < dBase) {
        return Fixed(dKilo, 1) + " " + UnitOf(eUnits, 0) + "/s";
    }
    return Fixed(dKilo / dBase, 1) + " " + UnitOf(eUnits, 1) + "/s";
}

std::string FormatBitRate(double dBytesPerSecond) {
    if (dBytesPerSecond < 0 || !std::isfinite(dBytesPerSecond)) {
        return {};
    }
    static const char* const kUnits[] = {"kbit/s", "Mbit/s", "Gbit/s", "Tbit/s"};
    double dValue = dBytesPerSecond * 8;
    if (std::round(dValue) < 1000) {
        return std::to_string(std::llround(dValue)) + " bit/s";
    }
    // As FormatRate: the unit is chosen after rounding.
    size_t nUnit = 0;
    dValue /= 1000;
    while (std::round(dValue * 10) / 10 >= 1000 && nUnit + 1 < std::size(kUnits)) {
        dValue /= 1000;
        ++nUnit;
    }
    return Fixed(dValue, 1) + " " + kUnits[nUnit];
}

std::string FormatRateLabel(double dBytesPerSecond, EByteUnits eUnits) {
    const double dBase = ByteUnitBase(eUnits);
    double dValue = std::max(dBytesPerSecond, 0.0);
    int nUnit = -1;
    while (dValue >= dBase && nUnit + 1 < 3) {
        dValue /= dBase;
        ++nUnit;
    }
    // Four significant digits, then the zeros after the point dropped: "1.5", "100", "1000".
    const int nWhole = dValue >= 1000 ? 4 : dValue >= 100 ? 3 : dValue >= 10 ? 2 : 1;
    std::string strValue = Fixed(dValue, 4 - nWhole);
    if (strValue.find('.') != std::string::npos) {
        strValue.erase(strValue.find_last_not_of('0') + 1);
        if (strValue.back() == '.') {
            strValue.pop_back();
        }
    }
    return strValue + " " + (nUnit < 0 ? "B" : UnitOf(eUnits, nUnit)) + "/s";
}

double BytesPerSecond(int64_t nNow, int64_t nBefore, double dSeconds) {
    return dSeconds > 0 ? static_cast<double>(std::max<int64_t>(nNow - nBefore, 0)) / dSeconds : 0;
}
