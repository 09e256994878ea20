#include "Adapter.h"
#include "AddressTable.h"
#include "NetNs.h"
#include "ZarnException.h"
#include "ZarnThread.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Runs until stopped, counting the runs that returned and the stop requests.
struct CCountingExecutable : IExecutable {
    void Run() override {
        while (m_nStops.load() == 0) {
            std::this_thread::sleep_for(1ms);
        }
        m_nReturned.fetch_add(1);
    }
    void Stop() override { m_nStops.fetch_add(1); }
    std::atomic<int> m_nReturned{0}, m_nStops{0};
    CZarnThread m_thread; // stopped before destruction
};

TEST(ZarnThread, StopJoinsOnceAndFailedStartHoldsNothing) {
    CCountingExecutable executable;
    executable.m_thread.Stop();
    executable.m_thread.Start(&executable);
    executable.m_thread.Stop(); // asks, then joins
    executable.m_thread.Stop();
    EXPECT_EQ(executable.m_nReturned.load(), 1);
    EXPECT_EQ(executable.m_nStops.load(), 1); // none for an empty holder
    EXPECT_FALSE(executable.m_thread.IsHeld());

    // Thread creation fails in a child whose address space has no room for another stack: the OS
    // error form (EAGAIN, or ENOMEM), nothing held.
    const auto startStarved = [] {
        CCountingExecutable failing;
        orvektest::StarveThreadCreation(64, 512 << 10);
        try {
            failing.m_thread.Start(&failing);
        } catch (const CZarnException& e) {
            const bool bWrong = failing.m_thread.IsHeld() || e.HasDescription();
            _exit(bWrong ? 1 : e.GetCode() == ENOMEM ? EAGAIN : e.GetCode());
        }
        _exit(1);
    };
    EXPECT_EXIT(startStarved(), testing::ExitedWithCode(EAGAIN), "");
}

// The table's index answers as a search of its addresses would, for tables of every size (slots
// shared by several addresses, and then by nearly all, included), for the all-zero address and
// for the keys that fill free slots; Find never claims what the addresses do not say.
TEST(CAddressTable, IndexAnswersAsTheAddressesDo) {
    std::mt19937 random(11);
    for (const size_t nSize : {0, 1, 5, 40, 400}) {
        SCOPED_TRACE(nSize);
        CAddressTable table;
        std::vector<uint32_t> ipv4 = {0};
        std::vector<uint32_t> broadcast4;
        std::vector<CAddressTable::Address6> ipv6(1);
        table.AddIPv4(0);
        table.AddIPv6(ipv6[0]);
        for (size_t n = 0; n < nSize; ++n) {
            ipv4.push_back(random());
            ipv6.emplace_back();
            std::generate(ipv6.back().begin(), ipv6.back().end(), std::ref(random));
            table.AddIPv4(ipv4.back());
            broadcast4.push_back(ipv4.back() ^ 0xFF000000);
            table.AddBroadcastIPv4(broadcast4.back());
            table.AddIPv6(ipv6.back());
        }
        table.Seal();
        std::vector<uint32_t> probes4 = ipv4;
        for (uint32_t n = 1; n < 300; ++n) {
            probes4.push_back(n);
            probes4.push_back(n ^ 0xFF000000);
            probes4.push_back(static_cast<uint32_t>(random()));
        }
        for (const uint32_t nProbe : probes4) {
            const bool bOwn = std::find(ipv4.begin(), ipv4.end(), nProbe) != ipv4.end();
            ASSERT_EQ(table.ContainsIPv4(nProbe), bOwn) << nProbe;
            ASSERT_NE(table.FindIPv4(nProbe), bOwn ? EMembership::Absent : EMembership::Present);
            ASSERT_EQ(table.ContainsBroadcastIPv4(nProbe),
                      std::find(broadcast4.begin(), broadcast4.end(), nProbe) != broadcast4.end());
        }
        std::vector<CAddressTable::Address6> probes6 = ipv6;
        for (uint8_t n = 1; n < 255; ++n) {
            probes6.emplace_back().fill(0);
            probes6.back()[0] = n;
            probes6.back()[15] = n;
        }
        for (const CAddressTable::Address6& probe : probes6) {
            const bool bOwn = std::find(ipv6.begin(), ipv6.end(), probe) != ipv6.end();
            ASSERT_EQ(table.ContainsIPv6(probe.data()), bOwn);
            ASSERT_NE(table.FindIPv6(probe.data()),
                      bOwn ? EMembership::Absent : EMembership::Present);
        }
    }
}

// A replaced table is kept exactly while a reader that was inside a batch when it was replaced is
// still in that batch; one replaced between batches goes at once; a shared table outlives the map's
// hold; an unchanged table replaces nothing.
TEST(CAddressMap, KeepsReplacedTablesOnlyForBatchesThatMayReadThem) {
    CAddressMap map;
    CBatchMark busy, idle;
    const auto table = [](uint32_t nAddress) {
        CAddressTable result;
        result.AddIPv4(nAddress);
        return result;
    };
    const std::shared_ptr<const CAddressTable> pFirst = map.Share();
    busy.Enter();
    map.Publish(table(1), {&busy, &idle});
    map.Publish(table(2), {&busy, &idle});
    const CAddressTable* pHeld = &map.GetCurrent();
    EXPECT_EQ(map.GetKeptCount(), 2u); // both may be read by the busy batch
    map.Publish(table(2), {&busy, &idle});
    EXPECT_EQ(&map.GetCurrent(), pHeld);
    busy.Leave();
    busy.Enter();
    map.Publish(table(3), {&busy, &idle});
    EXPECT_EQ(map.GetKeptCount(), 1u); // only 2, read by the new batch
    busy.Leave();
    for (uint32_t n = 4; n < 1000; ++n) {
        map.Publish(table(n), {&busy, &idle});
    }
    EXPECT_EQ(map.GetKeptCount(), 0u);
    EXPECT_TRUE(map.GetCurrent().ContainsIPv4(999));
    EXPECT_FALSE(pFirst->ContainsIPv4(1));
    busy.Enter();
    map.Publish(table(1), {&busy});
    map.Trim();
    EXPECT_EQ(map.GetKeptCount(), 0u);
}

// A capture thread rests only while blocks come faster than a rest, never so long that the ring
// fills more than half at the batch's pace, and never past the bound.
TEST(CAdapter, RestsOnlyWhileBlocksComeFasterWithinHalfTheRing) {
    constexpr int kRing = 10'000;
    constexpr int64_t kMax = CAdapter::kMaxRestNs;
    // 400 000 packets a second, 1 500 in 3.75 ms: half the ring would take 12.5 ms, more than the
    // bound. Begun after a wait of 3.7 ms; kept while a block was ready when a rest ended.
    EXPECT_EQ(CAdapter::ChooseRestNs(1'500, 3'750'000, 3'700'000, false, kRing), kMax);
    EXPECT_EQ(CAdapter::ChooseRestNs(4'000, 10'000'000, 20'000, true, kRing), kMax);
    // Not begun when a block takes nearly as long as a rest (170 000 a second); ended when the
    // thread had to wait 1 ms for one after a rest.
    EXPECT_EQ(CAdapter::ChooseRestNs(1'500, 8'800'000, 8'750'000, false, kRing), 0);
    EXPECT_EQ(CAdapter::ChooseRestNs(1'500, 11'000'000, 1'000'000, true, kRing), 0);
    // 1.6 million a second: half the ring in 3.125 ms.
    EXPECT_EQ(CAdapter::ChooseRestNs(1'500, 937'500, 500'000, false, kRing), 3'125'000);
    // A ring that fills faster than the shortest rest (whole packets), nothing read, a batch cut
    // at its bound: no rest.
    EXPECT_EQ(CAdapter::ChooseRestNs(1'500, 3'750'000, 0, true, 127), 0);
    EXPECT_EQ(CAdapter::ChooseRestNs(0, 3'750'000, 0, true, kRing), 0);
    EXPECT_EQ(CAdapter::ChooseRestNs(CAdapter::kBatchPackets, 3'750'000, 0, true, kRing), 0);
}

} // namespace
