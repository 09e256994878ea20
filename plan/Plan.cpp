#include "Plan.h"

#include "Units.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

struct UnitInfo {
    ECapUnit eUnit;
    const char* szName;
    int64_t nBytes;
};
constexpr UnitInfo kUnits[] = {
    {ECapUnit::MB, "MB", 1'000'000},         {ECapUnit::GB, "GB", 1'000'000'000},
    {ECapUnit::TB, "TB", 1'000'000'000'000}, {ECapUnit::MiB, "MiB", 1LL << 20},
    {ECapUnit::GiB, "GiB", 1LL << 30},       {ECapUnit::TiB, "TiB", 1LL << 40},
};
// Caps above this many bytes are surely typing errors (and stay far from overflow).
constexpr int64_t kMaxCap = 1'000'000'000'000'000'000;

bool EqualNoCase(std::string_view svA, std::string_view svB) {
    return svA.size() == svB.size() &&
           std::equal(svA.begin(), svA.end(), svB.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

bool ParseInt(std::string_view svText, int64_t& nValue) {
    if (svText.empty() || svText.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    const auto [pEnd, ec] = std::from_chars(svText.data(), svText.data() + svText.size(), nValue);
    return ec == std::errc() && pEnd == svText.data() + svText.size();
}

std::vector<std::string_view> Split(std::string_view svText, char chSeparator) {
    std::vector<std::string_view> parts;
    if (svText.empty()) {
        return parts;
    }
    size_t nStart = 0;
    for (;;) {
        const size_t nEnd = svText.find(chSeparator, nStart);
        parts.push_back(svText.substr(nStart, nEnd - nStart));
        if (nEnd == std::string_view::npos) {
            return parts;
        }
        nStart = nEnd + 1;
    }
}

} // namespace

int64_t UnitBytes(ECapUnit eUnit) {
    return kUnits[static_cast<int>(eUnit)].nBytes;
}

const char* UnitName(ECapUnit eUnit) {
    return kUnits[static_cast<int>(eUnit)].szName;
}

std::string DescribeUnit(ECapUnit eUnit) {
    return std::string(UnitName(eUnit)) + " = " + FormatThousands(UnitBytes(eUnit)) + " bytes";
}

std::string FormatAmount(int64_t nBytes, ECapUnit eUnit) {
    char szNumber[64];
    const double dValue = static_cast<double>(nBytes) / static_cast<double>(UnitBytes(eUnit));
    const auto result =
        std::to_chars(szNumber, szNumber + sizeof szNumber, dValue, std::chars_format::fixed, 2);
    return std::string(szNumber, result.ptr) + " " + UnitName(eUnit);
}

std::string FormatAmountAuto(int64_t nBytes, ECapUnit eKind) {
    const bool bBinary = eKind == ECapUnit::MiB || eKind == ECapUnit::GiB || eKind == ECapUnit::TiB;
    const ECapUnit aKind[] = {bBinary ? ECapUnit::MiB : ECapUnit::MB,
                              bBinary ? ECapUnit::GiB : ECapUnit::GB,
                              bBinary ? ECapUnit::TiB : ECapUnit::TB};
    ECapUnit eUnit = aKind[0];
    for (const ECapUnit eLarger : aKind) {
        if (nBytes >= UnitBytes(eLarger)) {
            eUnit = eLarger;
        }
    }
    return FormatAmount(nBytes, eUnit);
}

bool ParseCap(std::string_view svText, int64_t& nBytes, ECapUnit& eUnit, std::string& strError) {
    while (!svText.empty() && svText.front() == ' ') {
        svText.remove_prefix(1);
    }
    while (!svText.empty() && svText.back() == ' ') {
        svText.remove_suffix(1);
    }
    const size_t nUnitAt = svText.find_first_not_of("0123456789.");
    const std::string_view svNumber = svText.substr(0, nUnitAt);
    std::string_view svUnit =
        nUnitAt == std::string_view::npos ? std::string_view() : svText.substr(nUnitAt);
    while (!svUnit.empty() && svUnit.front() == ' ') {
        svUnit.remove_prefix(1);
    }
    const size_t nDot = svNumber.find('.');
    const std::string_view svWhole = svNumber.substr(0, nDot);
    const std::string_view svFraction =
        nDot == std::string_view::npos ? std::string_view() : svNumber.substr(nDot + 1);
    int64_t nWhole = 0, nFraction = 0;
    if (svWhole.size() > 15 || svFraction.size() > 6 || !ParseInt(svWhole, nWhole) ||
        (!svFraction.empty() && !ParseInt(svFraction, nFraction)) ||
        (nDot != std::string_view::npos && svFraction.empty())) {
        strError = "the cap must be a number and a unit, as in 50GB or 1.5GiB";
        return false;
    }
    const auto* pUnit = std::find_if(std::begin(kUnits), std::end(kUnits), [&](const UnitInfo& u) {
        return EqualNoCase(svUnit, u.szName);
    });
    if (pUnit == std::end(kUnits)) {
        strError = svUnit.empty() ? "say the cap's unit: GB (1,000,000,000 bytes) or GiB "
                                    "(1,073,741,824 bytes), MB, MiB, TB or TiB"
                                  : "unknown unit '" + std::string(svUnit) +
                                        "': use MB, GB, TB (powers of 1,000) or MiB, GiB, TiB "
                                        "(powers of 1,024)";
        return false;
    }
    int64_t nScale = 1;
    for (size_t n = 0; n < svFraction.size(); ++n) {
        nScale *= 10;
    }
    // Exact for every cap a plan has: whole units times bytes, plus the fraction's bytes.
    const long double dBytes =
        static_cast<long double>(nWhole) * pUnit->nBytes +
        static_cast<long double>(nFraction) * pUnit->nBytes / static_cast<long double>(nScale);
    if (dBytes < 1 || dBytes > static_cast<long double>(kMaxCap)) {
        strError = "the cap must be more than 0 bytes and less than 1,000 PB";
        return false;
    }
    nBytes = static_cast<int64_t>(std::llround(dBytes));
    eUnit = pUnit->eUnit;
    return true;
}

bool ParseAlerts(std::string_view svText, std::vector<int>& vecAlerts) {
    std::set<int> alerts;
    for (std::string_view svPart : Split(svText, ',')) {
        while (!svPart.empty() && svPart.front() == ' ') {
            svPart.remove_prefix(1);
        }
        while (!svPart.empty() && (svPart.back() == ' ' || svPart.back() == '%')) {
            svPart.remove_suffix(1);
        }
        int64_t nPercent = 0;
        if (!ParseInt(svPart, nPercent) || nPercent < 1 || nPercent > 1000) {
            return false;
        }
        alerts.insert(static_cast<int>(nPercent));
    }
    vecAlerts.assign(alerts.begin(), alerts.end());
    return true;
}

std::string SerializePlan(const Plan& plan) {
    std::string strText =
        "day=" + std::to_string(plan.nCycleDay) + ";cap=" + std::to_string(plan.nCapBytes) +
        ";unit=" + UnitName(plan.eUnit) +
        ";counts=" + (plan.eCounting == ECounting::ReceivedOnly ? "received" : "both") +
        ";devices=";
    bool bFirst = true;
    for (const std::string& strDevice : plan.devices) {
        if (!bFirst) {
            strText += ',';
        }
        strText += strDevice;
        bFirst = false;
    }
    strText += ";alerts=";
    for (size_t n = 0; n < plan.vecAlerts.size(); ++n) {
        if (n > 0) {
            strText += ',';
        }
        strText += std::to_string(plan.vecAlerts[n]);
    }
    return strText;
}

std::optional<Plan> ParsePlan(std::string_view svText) {
    Plan plan;
    int nSeen = 0;
    for (const std::string_view svField : Split(svText, ';')) {
        const size_t nEquals = svField.find('=');
        if (nEquals == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view svKey = svField.substr(0, nEquals);
        const std::string_view svValue = svField.substr(nEquals + 1);
        int64_t nValue = 0;
        if (svKey == "day") {
            if (!ParseInt(svValue, nValue) || nValue < 1 || nValue > 31) {
                return std::nullopt;
            }
            plan.nCycleDay = static_cast<int>(nValue);
        } else if (svKey == "cap") {
            if (!ParseInt(svValue, nValue) || nValue < 1 || nValue > kMaxCap) {
                return std::nullopt;
            }
            plan.nCapBytes = nValue;
        } else if (svKey == "unit") {
            const auto* pUnit =
                std::find_if(std::begin(kUnits), std::end(kUnits),
                             [&](const UnitInfo& u) { return svValue == u.szName; });
            if (pUnit == std::end(kUnits)) {
                return std::nullopt;
            }
            plan.eUnit = pUnit->eUnit;
        } else if (svKey == "counts") {
            if (svValue != "both" && svValue != "received") {
                return std::nullopt;
            }
            plan.eCounting =
                svValue == "received" ? ECounting::ReceivedOnly : ECounting::SentAndReceived;
        } else if (svKey == "devices") {
            plan.devices.clear();
            for (const std::string_view svDevice : Split(svValue, ',')) {
                if (!svDevice.empty()) {
                    plan.devices.emplace(svDevice);
                }
            }
        } else if (svKey == "alerts") {
            if (!ParseAlerts(svValue, plan.vecAlerts)) {
                return std::nullopt;
            }
        } else {
            continue; // a later version's field
        }
        ++nSeen;
    }
    if (plan.nCapBytes == 0) {
        return std::nullopt;
    }
    (void)nSeen;
    return plan;
}

int64_t CountedBytes(const Plan& plan, const std::string& strDevice, int64_t nSent, int64_t nRecv) {
    if (!plan.devices.empty() && !plan.devices.contains(strDevice)) {
        return 0;
    }
    return plan.eCounting == ECounting::ReceivedOnly ? nRecv : nSent + nRecv;
}

Cycle CycleOfDate(int nCycleDay, CivilDate date) {
    const auto startIn = [nCycleDay](int nYear, int nMonth) {
        return CivilDate{nYear, nMonth, std::min(nCycleDay, DaysInMonth(nYear, nMonth))};
    };
    Cycle cycle;
    cycle.first = startIn(date.nYear, date.nMonth);
    if (date < cycle.first) {
        const CivilDate previous = AddMonths({date.nYear, date.nMonth, 1}, -1);
        cycle.first = startIn(previous.nYear, previous.nMonth);
    }
    const CivilDate following = AddMonths({cycle.first.nYear, cycle.first.nMonth, 1}, 1);
    cycle.next = startIn(following.nYear, following.nMonth);
    return cycle;
}

Cycle CycleAt(int nCycleDay, int64_t nUtc) {
    Cycle cycle = CycleOfDate(nCycleDay, LocalDateOf(nUtc));
    cycle.nStart = LocalDayStart(cycle.first);
    cycle.nEnd = LocalDayStart(cycle.next);
    return cycle;
}

EProjectionBasis ProjectionBasis(int64_t nRecordedSeconds) {
    if (nRecordedSeconds >= 7 * 86400) {
        return EProjectionBasis::Week;
    }
    if (nRecordedSeconds >= 86400) {
        return EProjectionBasis::Day;
    }
    return nRecordedSeconds >= 3600 ? EProjectionBasis::Rough : EProjectionBasis::None;
}

int64_t ProjectToEnd(int64_t nUsed, int64_t nRecordedSeconds, const Cycle& cycle, int64_t nNowUtc) {
    if (ProjectionBasis(nRecordedSeconds) == EProjectionBasis::None) {
        return -1;
    }
    if (nNowUtc >= cycle.nEnd) {
        return nUsed;
    }
    const long double dPace =
        static_cast<long double>(nUsed) / static_cast<long double>(nRecordedSeconds);
    return nUsed +
           static_cast<int64_t>(std::llround(
               dPace * static_cast<long double>(cycle.nEnd - std::max(nNowUtc, cycle.nStart))));
}

std::vector<int> DueAlerts(const Plan& plan, int64_t nUsed, const std::set<int>& fired) {
    std::vector<int> vecDue;
    for (const int nPercent : plan.vecAlerts) {
        // nUsed / cap >= nPercent / 100, in integers.
        const long double dNeeded = static_cast<long double>(plan.nCapBytes) * nPercent / 100;
        if (static_cast<long double>(nUsed) >= dNeeded && !fired.contains(nPercent)) {
            vecDue.push_back(nPercent);
        }
    }
    return vecDue;
}
