#pragma once

// What the store's tests share: a clock they move, snapshots in one line, sums read back, the
// time zone of the daylight-saving cases, and a folder of their own.

#include "LocalTime.h"
#include "UsageClock.h"
#include "UsageStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace orvektest {

// The wall clock and the steady clock, moved together (time passing) or apart (a jump).
struct CFakeClock final : IUsageClock {
    int64_t NowUtcMs() const override { return nWallMs; }
    int64_t NowSteadyMs() const override { return nSteadyMs; }
    void Pass(int64_t nSeconds) {
        nWallMs += nSeconds * 1000;
        nSteadyMs += nSeconds * 1000;
    }
    int64_t nWallMs = 0, nSteadyMs = 1'000'000;
};

// UTC seconds of a UTC wall time.
inline int64_t Utc(int nYear, int nMonth, int nDay, int nHour = 0, int nMinute = 0) {
    std::tm tm{};
    tm.tm_year = nYear - 1900;
    tm.tm_mon = nMonth - 1;
    tm.tm_mday = nDay;
    tm.tm_hour = nHour;
    tm.tm_min = nMinute;
    return timegm(&tm);
}

// Sent and received over a tier's buckets that start in [nFrom, nTo), all devices or one.
inline std::pair<int64_t, int64_t> Sum(CUsageStore& store, ETier eTier, int64_t nFrom, int64_t nTo,
                                       const std::string& strDevice = "") {
    std::pair<int64_t, int64_t> sum;
    for (const UsageRow& row : store.ReadUsage(eTier, nFrom, nTo)) {
        if (strDevice.empty() || row.strDevice == strDevice) {
            sum.first += row.nSent;
            sum.second += row.nRecv;
        }
    }
    return sum;
}

// Tests run in Europe/Berlin, whose clocks change on the last Sundays of March and October;
// each test gets a folder of its own, removed afterwards.
class CStoreTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
        m_dir = std::filesystem::temp_directory_path() /
                ("orvek-store-" + std::to_string(getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        m_strPath = (m_dir / "usage.sqlite").string();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    std::filesystem::path m_dir;
    std::string m_strPath;
};

} // namespace orvektest
