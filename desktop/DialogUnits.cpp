#include "DialogUnits.h"

#include <QFont>
#include <QFontMetrics>
#include <QString>

namespace {

// a * b / c rounded to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c) {
    const long long nProduct = static_cast<long long>(a) * b;
    const long long nHalf = c / 2;
    return static_cast<int>(nProduct >= 0 ? (nProduct + nHalf) / c : (nProduct - nHalf) / c);
}

} // namespace

DialogBaseUnits GetDialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int nWidth = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(nWidth + 26) / 52, metrics.height()};
}

QRect MapDialogRect(const QRect& rcUnits, DialogBaseUnits base) {
    return {MulDiv(rcUnits.x(), base.nX, 4), MulDiv(rcUnits.y(), base.nY, 8),
            MulDiv(rcUnits.width(), base.nX, 4), MulDiv(rcUnits.height(), base.nY, 8)};
}

int ScaleCounterFontHeight(int nDialogFontHeight) {
    return static_cast<int>(static_cast<double>(nDialogFontHeight) * 2.5);
}
