// The model's units and sampler, without Qt: texts at their units' boundaries and extremes, rates
// of counters that went back, the history ring past its capacity, rates over the times snapshots
// held rather than when they were read, and a sampler that allocates nothing once warm.

#include "CountedNew.h"
#include "TrafficSampler.h"
#include "Units.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

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
    // Rates, a column's mega unit and axis labels in either family, never the other's names.
    EXPECT_EQ(FormatRate(1023), "1023 B/s");
    EXPECT_EQ(FormatRate(1023.97 * 1024), "1.0 MiB/s");
    EXPECT_EQ(FormatRate(999.6, EByteUnits::Decimal), "1.0 kB/s");
    EXPECT_EQ(FormatRate(999, EByteUnits::Decimal), "999 B/s");
    EXPECT_EQ(FormatRate(2'500'000, EByteUnits::Decimal), "2.5 MB/s");
    EXPECT_EQ(FormatRate(-1, EByteUnits::Decimal), "");
    EXPECT_EQ(FormatInMegaUnit(1'048'576, EByteUnits::Binary), "1.000");
    EXPECT_EQ(FormatInMegaUnit(1'048'576, EByteUnits::Decimal), "1.049");
    EXPECT_STREQ(MegaUnitName(EByteUnits::Decimal), "MB");
    EXPECT_EQ(FormatRateLabel(0), "0 B/s");
    EXPECT_EQ(FormatRateLabel(100 * 1024), "100 KiB/s");
    EXPECT_EQ(FormatRateLabel(1536 * 1024), "1.5 MiB/s");
    EXPECT_EQ(FormatRateLabel(5'000'000, EByteUnits::Decimal), "5 MB/s");
    EXPECT_EQ(FormatRateLabel(2e12, EByteUnits::Decimal), "2000 GB/s");
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

// A pushed snapshot may be a display's pace old when read: rates run over the times the helper
// took them. The same one read again, fresh when read before, is a push still on its way: nothing
// changes. Read once more, it held its counts until shortly before (no spike when traffic stops);
// one without a time runs on the reader's.
TEST(TrafficSampler, RatesRunOverTheTimesSnapshotsHeld) {
    const Clock::time_point t0 = Clock::time_point{} + std::chrono::hours(1);
    CTrafficSampler sampler;
    MeterSnapshot snapshot;
    snapshot.devices = {{"eth0", EDeviceState::Capturing, true}};
    const auto sample = [&](int64_t nRecv, Clock::time_point tTaken, Clock::time_point tRead) {
        snapshot.devices[0].nRecvBytes = nRecv;
        snapshot.nTakenNs = tTaken == Clock::time_point{} ? 0 : SnapshotClockNs(tTaken);
        sampler.Sample(snapshot, tRead);
        return sampler.GetLatest().dRecvRate;
    };
    sample(0, t0, t0 + milliseconds(10));
    // Taken a second apart, read 1.1 s apart.
    EXPECT_EQ(sample(1000000, t0 + seconds(1), t0 + milliseconds(1110)), 1000000);
    // Not pushed again: the rate stands for one reading, then the snapshot held its counts until
    // kSnapshotHeld before the next.
    EXPECT_EQ(sample(1000000, t0 + seconds(1), t0 + milliseconds(2110)), 1000000);
    EXPECT_EQ(sample(1000000, t0 + seconds(1), t0 + milliseconds(3110)), 0);
    static_assert(kSnapshotHeld == milliseconds(200));
    EXPECT_DOUBLE_EQ(sample(1900000, t0 + seconds(4), t0 + milliseconds(4010)), 900000 / 1.09);
    // Pushes and readings 200 ms apart, the push late by 30 ms: no reading at 0.
    EXPECT_DOUBLE_EQ(sample(1900000, t0 + seconds(4), t0 + milliseconds(4210)), 900000 / 1.09);
    EXPECT_DOUBLE_EQ(sample(2300000, t0 + milliseconds(4430), t0 + milliseconds(4440)),
                     400000 / 0.43);
    // No time told: the reader's.
    sample(2900000, {}, t0 + milliseconds(5110));
    EXPECT_EQ(sample(3900000, {}, t0 + milliseconds(6110)), 1000000);
    // Each reading a point of the graph, the repeated ones at the rates they repeated.
    ASSERT_EQ(sampler.GetHistoryCount(), 8);
    EXPECT_EQ(sampler.GetHistoryRecv(1), 1000000);
    EXPECT_DOUBLE_EQ(sampler.GetHistoryRecv(4), 900000 / 1.09);
}

// A device the meter forgot leaves the list, not the totals: the total rate stays what moved.
TEST(TrafficSampler, AForgottenDeviceLeavesTheTotalsAndTheirRate) {
    const Clock::time_point t0 = Clock::time_point{} + std::chrono::hours(1);
    CTrafficSampler sampler;
    MeterSnapshot snapshot;
    snapshot.devices = {{"eth0", EDeviceState::Capturing, true, 100, 4000},
                        {"veth9", EDeviceState::Gone, false, 50, 9000}};
    snapshot.nSentBytes = 150;
    snapshot.nRecvBytes = 13000;
    sampler.Sample(snapshot, t0);
    snapshot.devices.pop_back(); // forgotten: its bytes stay in the meter's totals
    snapshot.devices[0].nRecvBytes += 1000;
    snapshot.nRecvBytes += 1000;
    sampler.Sample(snapshot, t0 + seconds(1));
    EXPECT_EQ(sampler.GetLatest().nRecvBytes, 14000);
    EXPECT_EQ(sampler.GetLatest().dRecvRate, 1000);
    EXPECT_EQ(sampler.GetLatest().dSentRate, 0);
}

// Once the sample's lists have their sizes, sampling allocates nothing: the window samples once a
// second for as long as it runs.
// Also the connections, found again by their ends to be rated.
TEST(TrafficSampler, AllocatesNothingOnceWarm) {
    std::vector<MeterSnapshot> snapshots(8);
    for (size_t n = 0; n < snapshots.size(); ++n) {
        MeterSnapshot& snapshot = snapshots[n];
        for (const char* szName : {"enp0s31f6-with-a-long-name", "wlp2s0", "lo"}) {
            snapshot.devices.push_back(
                {szName, EDeviceState::Capturing, true, static_cast<int64_t>(n * 1000), 5});
        }
        snapshot.apps = {{"org.example.AnApplicationWithALongName", 0, static_cast<int64_t>(n), 1},
                         {"b", 0, 2, 2},
                         {"not attributed yet", 7, 0, 5}};
        // Connections are found again by their ends, whatever their order.
        const std::string strHere("\x0a\0\0\x01", 4);
        snapshot.connections = {{17, strHere, strHere, 53, 53, "b", 0, 7, 7},
                                {6, strHere, std::string(16, '\x01'), 40000, 443, "b", 0,
                                 static_cast<int64_t>(n * 500), 0}};
        if (n % 2 == 1) {
            std::swap(snapshot.connections[0], snapshot.connections[1]);
        }
        snapshot.nOtherConnections = static_cast<int64_t>(n);
        snapshot.nTakenNs = SnapshotClockNs(Clock::time_point{} + seconds(n + 1));
    }
    CTrafficSampler sampler;
    sampler.MarkCapture(snapshots[0]);
    Clock::time_point t = Clock::time_point{} + seconds(1);
    int nWarming = 0;
    for (size_t n = 0; n < snapshots.size(); ++n) {
        orvektest::CountAllocations(true);
        sampler.Sample(std::move(snapshots[n]), t += seconds(1));
        orvektest::CountAllocations(false);
        if (n == 1) {
            nWarming = orvektest::TakeCountedAllocations();
        }
    }
    EXPECT_GT(nWarming, 0); // the count counts
    EXPECT_EQ(orvektest::TakeCountedAllocations(), 0);
    EXPECT_EQ(sampler.GetLatest().devices.front().dSentRate, 1000);
    EXPECT_EQ(sampler.GetLatest().apps.front().dSentRate, 1);
    const TrafficSample& latest = sampler.GetLatest();
    ASSERT_EQ(latest.connections.size(), 2u);
    EXPECT_EQ(latest.connections.front().connection.nRemotePort, 443u); // the largest first
    EXPECT_EQ(latest.connections.front().dSentRate, 500);
    EXPECT_EQ(latest.connections.back().dSentRate, 0);
    EXPECT_EQ(latest.nOtherConnections, 7);
}

} // namespace
