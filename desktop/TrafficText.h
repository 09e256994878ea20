#pragma once

#include "Units.h"

#include <QString>

#include <cstdint>

// The model's units (Units.h) as QString texts of the Details window, the counters' tooltips and
// the tray: a decimal point and comma thousands separators, whatever the locale. Named apart from
// the model's std::string functions they wrap.

// Bytes in the family's unit of a million or so (MegaUnitName) with three decimals, for a column
// whose header names the unit (the counters' own text is FormatRecvCounter's): 1048576 -> "1.000"
// binary, "1.049" decimal.
QString MegaUnitText(int64_t nBytes, EByteUnits eUnits);
// szText with each "%1" replaced by the family's MegaUnitName ("Sent (%1)" -> "Sent (MiB)"), or
// with bDescribe by the unit and its bytes ("MiB of 1,048,576 bytes").
QString WithMegaUnit(const char* szText, EByteUnits eUnits, bool bDescribe = false);
// Bytes in the family's unit that keeps the number at least 1: "12.34 MiB", "12.94 MB".
QString BytesText(int64_t nBytes, EByteUnits eUnits);
// A count with thousands separators: 1234567 -> "1,234,567".
QString FormatCount(int64_t nCount);
// A rate in the family's unit that keeps the number under its step: "512 B/s", "12.5 KiB/s",
// "3.2 MB/s". A negative rate is unknown: "".
QString RateText(double dBytesPerSecond, EByteUnits eUnits);
