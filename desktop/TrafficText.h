#pragma once

#include <QString>

#include <cstdint>

// The model's units (Units.h) as QString texts of the Details window, the counters' tooltips and
// the tray: a decimal point and comma thousands separators, whatever the locale. Named apart from
// the model's std::string functions they wrap.

// Mebibytes with three decimals, the counters' number: 1048576 -> "1.000".
QString MebibytesText(int64_t nBytes);
// A count with thousands separators: 1234567 -> "1,234,567".
QString FormatCount(int64_t nCount);
// A rate in the unit (of 1,024) that keeps the number under 1,024: "512 B/s", "12.5 KiB/s",
// "3.2 MiB/s". A negative rate is unknown: "".
QString RateText(double dBytesPerSecond);
