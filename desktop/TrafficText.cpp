#include "TrafficText.h"

#include "OrvekMeter.h"

#include <cmath>

namespace {

constexpr double kKibi = 1024.0;

} // namespace

QString FormatMebibytes(int64_t nBytes) {
    return QString::fromStdString(COrvekMeter::FormatMebibytes(nBytes));
}

QString FormatCount(int64_t nCount) {
    QString strDigits = QString::number(nCount < 0 ? -nCount : nCount);
    for (qsizetype nAt = strDigits.size() - 3; nAt > 0; nAt -= 3) {
        strDigits.insert(nAt, QLatin1Char(','));
    }
    return nCount < 0 ? QLatin1Char('-') + strDigits : strDigits;
}

QString FormatRate(double dBytesPerSecond) {
    if (dBytesPerSecond < 0 || !std::isfinite(dBytesPerSecond)) {
        return {};
    }
    if (std::round(dBytesPerSecond) < kKibi) {
        return QString::number(std::llround(dBytesPerSecond)) + QStringLiteral(" B/s");
    }
    // The unit is chosen after rounding, so that 1,023.97 KiB/s reads "1.0 MiB/s".
    const double dKibi = dBytesPerSecond / kKibi;
    if (std::round(dKibi * 10) / 10 < kKibi) {
        return QString::number(dKibi, 'f', 1) + QStringLiteral(" KiB/s");
    }
    return QString::number(dKibi / kKibi, 'f', 1) + QStringLiteral(" MiB/s");
}
