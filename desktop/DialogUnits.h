#pragma once

#include <QRect>

class QFont;

// Dialog templates are laid out in dialog units, which scale with the dialog font: a horizontal
// unit is a quarter of the font's average character width, a vertical unit an eighth of its height.
struct DialogBaseUnits {
    int nX; // average character width in pixels
    int nY; // font height in pixels
};

// Base units of a font: the average width of the 52 Latin letters, rounded, and the font height.
DialogBaseUnits GetDialogBaseUnits(const QFont& font);

// Pure: a rectangle in dialog units as pixels (each coordinate rounded to the nearest pixel).
QRect MapDialogRect(const QRect& rcUnits, DialogBaseUnits base);

// Pure: the counter font's height for a dialog font height, 2.5 times as large and truncated
// toward zero (-11 gives -27, not -28); the sign is kept.
int ScaleCounterFontHeight(int nDialogFontHeight);
