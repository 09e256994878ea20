#pragma once

#include "LocalTime.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// A data plan: a monthly cycle that starts on a day of the month, a cap, what counts against it
// and at which shares of it the user is warned. Pure: no clock, no file.

// The unit a cap is entered and shown in; decimal units are powers of 1,000, binary of 1,024.
enum class ECapUnit { MB, GB, TB, MiB, GiB, TiB };
enum class ECounting { SentAndReceived, ReceivedOnly };

struct Plan {
    int nCycleDay = 1; // 1-31; in a month without that day the cycle starts on its last day
    int64_t nCapBytes = 0;
    ECapUnit eUnit = ECapUnit::GB;
    ECounting eCounting = ECounting::SentAndReceived;
    std::set<std::string> devices;              // empty: every device counted
    std::vector<int> vecAlerts = {75, 90, 100}; // percentages of the cap, ascending
    bool operator==(const Plan&) const = default;
};

// The settings text of a plan
// ("day=1;cap=50000000000;unit=GB;counts=both;devices=;alerts=75,90,100") and back; nullopt for
// anything that is not a valid plan.
std::string SerializePlan(const Plan& plan);
std::optional<Plan> ParsePlan(std::string_view svText);

int64_t UnitBytes(ECapUnit eUnit);
const char* UnitName(ECapUnit eUnit);
// "GB = 1,000,000,000 bytes"
std::string DescribeUnit(ECapUnit eUnit);
// A cap as typed: a number and a unit ("50GB", "1.5 GiB", "500 mb"). False with a one-line reason
// for anything else; a number without a unit is refused, as GB and GiB differ by 7 %.
bool ParseCap(std::string_view svText, int64_t& nBytes, ECapUnit& eUnit, std::string& strError);
// "37.52 GB" in the plan's unit, two decimals, a decimal point in any locale.
std::string FormatAmount(int64_t nBytes, ECapUnit eUnit);
// In the largest unit of the plan unit's kind (decimal or binary) that keeps the number at least
// 1 (MB at least): "976.56 KiB" is "0.95 MiB", 1,000,000 bytes of a GB plan "1.00 MB".
std::string FormatAmountAuto(int64_t nBytes, ECapUnit eKind);
// "75,90,100" -> {75, 90, 100}: 1-1000, sorted, without repeats; false for anything else.
bool ParseAlerts(std::string_view svText, std::vector<int>& vecAlerts);
// The bytes of one device's traffic that count against the plan.
int64_t CountedBytes(const Plan& plan, const std::string& strDevice, int64_t nSent, int64_t nRecv);

// One cycle: its first local date and the first date of the next, and the UTC seconds they begin.
struct Cycle {
    CivilDate first, next;
    int64_t nStart = 0, nEnd = 0;
    bool operator==(const Cycle&) const = default;
};
// The cycle that holds a local date (UTC times left 0) and the one that holds a UTC second.
Cycle CycleOfDate(int nCycleDay, CivilDate date);
Cycle CycleAt(int nCycleDay, int64_t nUtc);
// How much a projection can be trusted, by the recorded time it stands on: none below an hour,
// rough below a day, then at least a day, at least a week.
enum class EProjectionBasis { None, Rough, Day, Week };
EProjectionBasis ProjectionBasis(int64_t nRecordedSeconds);
// Used bytes carried on to the cycle's end at the pace of the recorded time only (time nobody
// recorded, as the days before the first run, tells nothing of the pace): the bytes per recorded
// second for every second left. -1 when the basis is None.
int64_t ProjectToEnd(int64_t nUsed, int64_t nRecordedSeconds, const Cycle& cycle, int64_t nNowUtc);
// The alert percentages reached by nUsed that have not fired yet, ascending.
std::vector<int> DueAlerts(const Plan& plan, int64_t nUsed, const std::set<int>& fired);
