#include "TrafficText.h"

QString MegaUnitText(int64_t nBytes, EByteUnits eUnits) {
    return QString::fromStdString(FormatInMegaUnit(nBytes, eUnits));
}

QString WithMegaUnit(const char* szText, EByteUnits eUnits, bool bDescribe) {
    QString strUnit = QLatin1String(MegaUnitName(eUnits));
    if (bDescribe) {
        const auto nBase = static_cast<int64_t>(ByteUnitBase(eUnits));
        strUnit += QStringLiteral(" of %1 bytes").arg(FormatCount(nBase * nBase));
    }
    // Not QString::arg, which warns of a text without "%1".
    return QString::fromLatin1(szText).replace(QLatin1String("%1"), strUnit);
}

QString BytesText(int64_t nBytes, EByteUnits eUnits) {
    return QString::fromStdString(FormatBytes(nBytes, eUnits));
}

QString FormatCount(int64_t nCount) {
    return QString::fromStdString(FormatThousands(nCount));
}

QString RateText(double dBytesPerSecond, EByteUnits eUnits) {
    return QString::fromStdString(FormatRate(dBytesPerSecond, eUnits));
}
