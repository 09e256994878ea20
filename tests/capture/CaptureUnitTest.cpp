#include "Adapter.h"
#include "AddressTable.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>

namespace {

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
