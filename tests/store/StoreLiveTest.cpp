// The store against the live meter: real traffic on a veth pair in this process's namespace,
// snapshots recorded as the window and the headless program record them, and every tier's sums
// equal to the meter's totals, exactly.

#include "AdapterManager.h"
#include "FakeMeterView.h"
#include "NetNs.h"
#include "OrvekMeter.h"
#include "StoreSupport.h"
#include "UsageRecorder.h"

using namespace orvektest;

namespace {

using StoreLive = CStoreTest;

TEST_F(StoreLive, EveryTierEqualsTheMeterAfterALiveRun) {
    CPeerNs peer;
    MakeVethPair(peer, {"stl0", "10.71.0.1", ""}, {"stl1", "10.71.0.2", ""});
    CFakeView view;
    CAdapterManager manager;
    COrvekMeter meter(view, manager, manager);
    CSystemUsageClock clock;
    std::vector<std::string> vecNotices;
    CUsageRecorder recorder(m_strPath, clock,
                            [&](const std::string& str) { vecNotices.push_back(str); });
    recorder.Observe(meter.GetSnapshot());
    meter.StartCapture();
    CUdpSink sink("10.71.0.1", 7100);
    std::unique_ptr<CUdpSink> pSinkThere;
    peer.RunIn([&] { pSinkThere = std::make_unique<CUdpSink>("10.71.0.2", 7100); });
    for (int nRound = 0; nRound < 5; ++nRound) {
        peer.RunIn([&] { SendUdp("10.71.0.2", "10.71.0.1", 7100, 1000, 200); });
        SendUdp("10.71.0.1", "10.71.0.2", 7100, 500, 100);
        recorder.Observe(meter.GetSnapshot());
        recorder.Flush();
    }
    EXPECT_EQ(sink.WaitFor(1000), 1000u);
    EXPECT_EQ(pSinkThere->WaitFor(500), 500u);
    // Both directions settled: 1000 datagrams of 1028 bytes in, 500 of 528 out.
    ASSERT_TRUE(WaitUntil(
        [&] { return meter.GetRecvBytes() == 1'028'000 && meter.GetSentBytes() == 264'000; }));
    meter.StopCapture();
    recorder.Observe(meter.GetSnapshot());
    recorder.Flush(true);
    peer.RunIn([&] { pSinkThere.reset(); });
    EXPECT_EQ(vecNotices, std::vector<std::string>{});
    CUsageStore reader(m_strPath, CUsageStore::EAccess::Read, 0);
    for (int nTier = 0; nTier < kTierCount; ++nTier) {
        EXPECT_EQ(Sum(reader, static_cast<ETier>(nTier), 0, int64_t{1} << 40, "stl0"),
                  std::make_pair(int64_t{264'000}, int64_t{1'028'000}))
            << TierName(static_cast<ETier>(nTier));
    }
}

} // namespace
