// The model's units and sampler, without Qt: texts at their units' boundaries and extremes, rates
// of counters that went back, and the history ring past its capacity.

#include "TrafficSampler.h"
#include "Units.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

namespace {

// Each unit is chosen after rounding: a value just under a boundary reads in the larger unit,
// never as "1024.00" of the smaller. Thousands hold the most negative count too.
TEST(Units, BoundariesAfterRoundingAndExtremes) {
    EXPECT_EQ(FormatBytes(0), "0 B");
    EXPECT_EQ(FormatBytes(1023), "1023 B");
    EXPECT_EQ(FormatBytes(1024), "1.00 KiB");
    EXPECT_EQ(FormatBytes(1024 * 1024 - 1), "1.00 MiB");
    EXPECT_EQ(FormatBytes(1536 * 1024), "1.50 MiB");
    EXPECT_EQ(FormatBytes(std::numeric_limits<int64_t>::max()), "8192.00 PiB");
    // The decimal family: the same rule in powers of 1,000, never a binary unit's name.
    EXPECT_EQ(FormatBytes(999, EByteUnits::Decimal), "999 B");
    EXPECT_EQ(FormatBytes(999'995, EByteUnits::Decimal), "1.00 MB");
    EXPECT_EQ(FormatBytes(273'460'000, EByteUnits::Decimal), "273.46 MB");
    // Three digits for one line, the decimals chosen after rounding.
    EXPECT_EQ(FormatBytesShort(1'320'000'000), "1.23 GiB");
    EXPECT_EQ(FormatBytesShort(99'996'000'000, EByteUnits::Decimal), "100 GB");
    EXPECT_EQ(FormatBytesShort(48'200'000'000, EByteUnits::Decimal), "48.2 GB");
    EXPECT_EQ(FormatBytesShort(512), "512 B");
    EXPECT_EQ(FormatThousands(0), "0");
    EXPECT_EQ(FormatThousands(999), "999");
    EXPECT_EQ(FormatThousands(-1234567), "-1,234,567");
    EXPECT_EQ(FormatThousands(std::numeric_limits<int64_t>::min()), "-9,223,372,036,854,775,808");
    EXPECT_EQ(FormatRecvCounter(1572864), " Recv  1.500 Mb");
    EXPECT_EQ(FormatSentCounter(0), " Sent  0.000 Mb");
    // A counter that went back (counted anew) rates nothing, as no time between does.
    EXPECT_EQ(BytesPerSecond(100, 300, 2), 0);
    EXPECT_EQ(BytesPerSecond(300, 100, 0), 0);
    EXPECT_EQ(BytesPerSecond(300, 100, 0.5), 400);
}

// The first sample has no rate; past the ring's capacity the oldest points go and the rest stay
// oldest first; a device seen for the first time rates from zero.
TEST(TrafficSampler, HistoryKeepsTheLastPointsInOrder) {
    CTrafficSampler sampler;
    MeterSnapshot snapshot;
    snapshot.devices = {{"eth0", EDeviceState::Capturing, true}};
    auto t = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    sampler.Sample(snapshot, t);
    EXPECT_EQ(sampler.GetHistoryCount(), 0);
    EXPECT_LT(sampler.GetLatest().dRecvRate, 0);

    constexpr int kPoints = CTrafficSampler::kHistoryPoints + 25;
    for (int n = 1; n <= kPoints; ++n) {
        snapshot.devices[0].nRecvBytes += int64_t{n} * 1024; // n KiB in the n-th second
        if (n == kPoints) {
            snapshot.devices.push_back({"eth1", EDeviceState::Capturing, true, 2048, 0});
        }
        sampler.Sample(snapshot, t += std::chrono::seconds(1));
    }
    ASSERT_EQ(sampler.GetHistoryCount(), CTrafficSampler::kHistoryPoints);
    for (int n = 0; n < CTrafficSampler::kHistoryPoints; ++n) {
        const int nSecond = kPoints - CTrafficSampler::kHistoryPoints + 1 + n;
        ASSERT_EQ(sampler.GetHistoryRecv(n), nSecond * 1024.0) << n;
    }
    const TrafficSample& latest = sampler.GetLatest();
    ASSERT_EQ(latest.devices.size(), 2u);
    EXPECT_EQ(latest.devices[1].device.strName, "eth1");
    EXPECT_EQ(latest.devices[1].dSentRate, 2048);
    EXPECT_EQ(latest.dSentRate, 2048);
}

} // namespace
