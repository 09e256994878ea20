#pragma once

#include <compare>
#include <cstdint>
#include <string>

// Time in the store is UTC seconds since the epoch; buckets, days, months and plan cycles begin at
// local boundaries, in the process's time zone (TZ). A bucket is named by the UTC second its local
// start falls on, so that an hour repeated when clocks go back is two buckets, and the hour that
// is skipped when they go forward is none.

enum class ETier : int {
    FiveMinutes = 0, // kept 48 hours
    Hour = 1,        // kept 14 days
    Day = 2,         // kept 2 years
    Month = 3        // kept forever
};
inline constexpr int kTierCount = 4;

struct CivilDate {
    int nYear = 1970, nMonth = 1, nDay = 1;
    auto operator<=>(const CivilDate&) const = default;
};

// Pure calendar arithmetic.
int DaysInMonth(int nYear, int nMonth);
CivilDate AddDays(CivilDate date, int nDays);
CivilDate AddMonths(CivilDate date, int nMonths); // the day kept, clamped to the month's length
// 2026-03-29
std::string FormatDate(CivilDate date);

// The local date of a UTC second.
CivilDate LocalDateOf(int64_t nUtc);
// The first UTC second of a local date (its midnight, or the first instant that exists).
int64_t LocalDayStart(CivilDate date);
// The local wall-clock time of a UTC second: "2026-03-29 03:05" (with seconds when bSeconds).
std::string FormatLocal(int64_t nUtc, bool bSeconds = false);
// ISO 8601 with the UTC offset: "2026-03-29T03:05:00+02:00".
std::string FormatLocalIso(int64_t nUtc);

// The bucket of a tier that holds a UTC second, and the start of the bucket after it.
int64_t BucketStart(ETier eTier, int64_t nUtc);
int64_t BucketEnd(ETier eTier, int64_t nStart);
// How long a tier's buckets are kept, in seconds; 0: forever.
int64_t TierRetention(ETier eTier);
const char* TierName(ETier eTier);
