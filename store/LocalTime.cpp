#include "LocalTime.h"

#include <cstdio>
#include <ctime>

namespace {

constexpr int64_t kDaySeconds = 86400;

std::tm LocalTm(int64_t nUtc) {
    const auto t = static_cast<time_t>(nUtc);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back (Howard Hinnant's algorithms).
int64_t DaysFromCivil(CivilDate date) {
    const int64_t nYear = date.nYear - (date.nMonth <= 2 ? 1 : 0);
    const int64_t nEra = (nYear >= 0 ? nYear : nYear - 399) / 400;
    const int64_t nYoe = nYear - nEra * 400;
    const int64_t nDoy = (153 * (date.nMonth + (date.nMonth > 2 ? -3 : 9)) + 2) / 5 + date.nDay - 1;
    const int64_t nDoe = nYoe * 365 + nYoe / 4 - nYoe / 100 + nDoy;
    return nEra * 146097 + nDoe - 719468;
}

CivilDate CivilFromDays(int64_t nDays) {
    nDays += 719468;
    const int64_t nEra = (nDays >= 0 ? nDays : nDays - 146096) / 146097;
    const int64_t nDoe = nDays - nEra * 146097;
    const int64_t nYoe = (nDoe - nDoe / 1460 + nDoe / 36524 - nDoe / 146096) / 365;
    const int64_t nDoy = nDoe - (365 * nYoe + nYoe / 4 - nYoe / 100);
    const int64_t nMp = (5 * nDoy + 2) / 153;
    const int nDay = static_cast<int>(nDoy - (153 * nMp + 2) / 5 + 1);
    const int nMonth = static_cast<int>(nMp < 10 ? nMp + 3 : nMp - 9);
    return {static_cast<int>(nYoe + nEra * 400 + (nMonth <= 2 ? 1 : 0)), nMonth, nDay};
}

// The start of the local bucket of nLength seconds (a divisor of an hour) that holds nUtc.
int64_t WallBucketStart(int64_t nUtc, int64_t nLength) {
    const int64_t nLocal = nUtc + LocalTm(nUtc).tm_gmtoff;
    const int64_t nInto = ((nLocal % nLength) + nLength) % nLength;
    return nUtc - nInto;
}

} // namespace

int DaysInMonth(int nYear, int nMonth) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool bLeap = (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
    return nMonth == 2 && bLeap ? 29 : kDays[nMonth - 1];
}

CivilDate AddDays(CivilDate date, int nDays) {
    return CivilFromDays(DaysFromCivil(date) + nDays);
}

CivilDate AddMonths(CivilDate date, int nMonths) {
    const int nIndex = date.nYear * 12 + (date.nMonth - 1) + nMonths;
    CivilDate result{nIndex / 12, nIndex % 12 + 1, date.nDay};
    if (result.nDay > DaysInMonth(result.nYear, result.nMonth)) {
        result.nDay = DaysInMonth(result.nYear, result.nMonth);
    }
    return result;
}

std::string FormatDate(CivilDate date) {
    char szDate[32];
    std::snprintf(szDate, sizeof szDate, "%04d-%02d-%02d", date.nYear, date.nMonth, date.nDay);
    return szDate;
}

CivilDate LocalDateOf(int64_t nUtc) {
    const std::tm tm = LocalTm(nUtc);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

int64_t LocalDayStart(CivilDate date) {
    // Local midnight as if no offset changed near it, then corrected by the offset in force there:
    // mktime's guess for a midnight that does not exist differs between C libraries.
    const int64_t nWall = DaysFromCivil(date) * kDaySeconds;
    int64_t nUtc = nWall - LocalTm(nWall).tm_gmtoff;
    nUtc = nWall - LocalTm(nUtc).tm_gmtoff;
    // Where midnight was skipped, the day starts at the first instant that belongs to it.
    while (LocalDateOf(nUtc) < date) {
        nUtc += 900;
    }
    while (LocalDateOf(nUtc - 1) >= date) {
        nUtc -= 900;
    }
    return nUtc;
}

std::string FormatLocal(int64_t nUtc, bool bSeconds) {
    const std::tm tm = LocalTm(nUtc);
    char szText[48];
    std::strftime(szText, sizeof szText, bSeconds ? "%Y-%m-%d %H:%M:%S" : "%Y-%m-%d %H:%M", &tm);
    return szText;
}

std::string FormatLocalIso(int64_t nUtc) {
    const std::tm tm = LocalTm(nUtc);
    char szText[48];
    std::strftime(szText, sizeof szText, "%Y-%m-%dT%H:%M:%S", &tm);
    const long nOffset = tm.tm_gmtoff;
    const long nAbs = nOffset < 0 ? -nOffset : nOffset;
    char szOffset[48];
    std::snprintf(szOffset, sizeof szOffset, "%c%02ld:%02ld", nOffset < 0 ? '-' : '+', nAbs / 3600,
                  nAbs / 60 % 60);
    return std::string(szText) + szOffset;
}

int64_t BucketStart(ETier eTier, int64_t nUtc) {
    switch (eTier) {
    case ETier::FiveMinutes:
        return WallBucketStart(nUtc, 300);
    case ETier::Hour:
        return WallBucketStart(nUtc, 3600);
    case ETier::Day:
        return LocalDayStart(LocalDateOf(nUtc));
    case ETier::Month: {
        const CivilDate date = LocalDateOf(nUtc);
        return LocalDayStart({date.nYear, date.nMonth, 1});
    }
    }
    return nUtc;
}

int64_t BucketEnd(ETier eTier, int64_t nStart) {
    switch (eTier) {
    case ETier::FiveMinutes:
        return nStart + 300;
    case ETier::Hour:
        return nStart + 3600;
    case ETier::Day:
        return LocalDayStart(AddDays(LocalDateOf(nStart), 1));
    case ETier::Month: {
        const CivilDate date = LocalDateOf(nStart);
        return LocalDayStart(AddMonths({date.nYear, date.nMonth, 1}, 1));
    }
    }
    return nStart;
}

int64_t TierRetention(ETier eTier) {
    switch (eTier) {
    case ETier::FiveMinutes:
        return 48 * 3600;
    case ETier::Hour:
        return 14 * kDaySeconds;
    case ETier::Day:
        return 731 * kDaySeconds;
    case ETier::Month:
        break;
    }
    return 0;
}

const char* TierName(ETier eTier) {
    switch (eTier) {
    case ETier::FiveMinutes:
        return "5 minutes";
    case ETier::Hour:
        return "hour";
    case ETier::Day:
        return "day";
    case ETier::Month:
        return "month";
    }
    return "";
}
