#pragma once

// The units every front end writes numbers in: bytes, the counters' megabytes, rates and
// thousands. Numbers carry a decimal point and comma thousands separators whatever the locale:
// the texts are read by programs too, and the window's counters must not switch to a decimal
// comma either.

#include <cstdint>
#include <string>

// Mebibytes with three decimals, the counters' number: 1048576 -> "1.000".
std::string FormatMebibytes(int64_t nBytes);
// The counters' texts, " Recv  %.3f Mb" and " Sent  %.3f Mb" in mebibytes.
std::string FormatRecvCounter(int64_t nBytes);
std::string FormatSentCounter(int64_t nBytes);
// A count with thousands separators: 1234567 -> "1,234,567".
std::string FormatThousands(int64_t nValue);
// The two families of byte units. A view speaks one of them, never both: binary (KiB, MiB, GiB,
// TiB, PiB of 1,024) or decimal (kB, MB, GB, TB, PB of 1,000).
enum class EByteUnits { Binary, Decimal };
// "0 B", "512 B", "1.50 KiB", "12.34 MiB", "1.23 GiB" (decimal: "1.50 kB", "12.34 MB"): two
// decimals, in the largest unit of the family that keeps the number at least 1.
std::string FormatBytes(int64_t nBytes, EByteUnits eUnits = EByteUnits::Binary);
// Three significant digits, for a single line: "1.23 GiB", "48.2 GiB", "100 GB", "512 B".
std::string FormatBytesShort(int64_t nBytes, EByteUnits eUnits = EByteUnits::Binary);
// The family's step between units: 1,024 or 1,000.
double ByteUnitBase(EByteUnits eUnits);
// The family's unit of a million bytes or so, for a column whose header names it: "MiB", "MB".
const char* MegaUnitName(EByteUnits eUnits);
// Bytes in MegaUnitName's unit with three decimals: 1048576 -> "1.000" binary, "1.049" decimal.
std::string FormatInMegaUnit(int64_t nBytes, EByteUnits eUnits);
// A rate in the family's unit that keeps the number under the family's step: "512 B/s",
// "12.5 KiB/s", "3.2 MiB/s" (decimal: "999 B/s", "12.5 kB/s", "3.2 MB/s"). A negative rate is
// unknown: "".
std::string FormatRate(double dBytesPerSecond, EByteUnits eUnits = EByteUnits::Binary);
// A rate in bits a second, in decimal steps of 1,000 as line speeds are: "800 bit/s",
// "12.5 kbit/s", "3.2 Mbit/s", "1.0 Gbit/s". A negative rate is unknown: "".
std::string FormatBitRate(double dBytesPerSecond);
// A graph axis's label: the rate in the family's unit that keeps it under the step, up to four
// digits without trailing zeros: "0 B/s", "100 KiB/s", "1.5 MB/s".
std::string FormatRateLabel(double dBytesPerSecond, EByteUnits eUnits = EByteUnits::Binary);

// Bytes a second from a counter's nBefore to its nNow over dSeconds; counters never go back (a
// counter that did, or one seen for the first time against 0, counts from nothing). 0 without
// time between.
double BytesPerSecond(int64_t nNow, int64_t nBefore, double dSeconds);
