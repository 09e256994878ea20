#include "TrafficText.h"

#include "Units.h"

QString MebibytesText(int64_t nBytes) {
    return QString::fromStdString(FormatMebibytes(nBytes));
}

QString FormatCount(int64_t nCount) {
    return QString::fromStdString(FormatThousands(nCount));
}

QString RateText(double dBytesPerSecond) {
    return QString::fromStdString(FormatRate(dBytesPerSecond));
}
