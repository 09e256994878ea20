// The capture library on real devices in this test's private namespace (its devices vanish with
// it): adapters opened under traffic, and the link table on the kernel's own dump. The table's
// kinds and ports on crafted messages are in CaptureUnitTest; the meter's live tests follow real
// ports joining and leaving a bridge.
#include "Adapter.h"
#include "LinkTable.h"
#include "NetNs.h"
#include "ZarnException.h"

#include <atomic>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <net/if.h>
#include <pcap/pcap.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <unistd.h>

using namespace orvektest;

namespace {

// A veth link "cap0" to a peer namespace; the fixture counts the packets captured by wire length.
// (What a capture delivers on veth and tun devices, and its end when a device vanishes, the
// meter's and the manager's live tests check against the kernel's counters.)
class AdapterLive : public testing::Test, public IPacketAnalyzer {
protected:
    AdapterLive() { MakeVethPair(m_peer, {"cap0", "10.90.0.1", ""}, {"cap1", "10.90.0.2", ""}); }
    ~AdapterLive() override { Sh("ip link del cap0 2>/dev/null"); }

    // Capture thread.
    void AnalyzePacket(PacketInfo* pInfo) override {
        std::lock_guard<std::mutex> guard(m_mtx);
        ++m_counts[pInfo->pHeader->len];
    }
    // Capture thread: has work left for its first three calls, none from the fourth.
    bool FinishWork() override { return ++m_nWorkCalls < 4; }
    // Port nPort carries nPort - 5000 payload bytes, so that the wire length tells streams apart.
    size_t Count(uint16_t nPort) {
        std::lock_guard<std::mutex> guard(m_mtx);
        return m_counts[14 + 28 + nPort - 5000];
    }
    // Sent from the peer on one CPU, so that packets reach capture in the order sent.
    void Send(uint16_t nPort, size_t nCount) {
        m_peer.RunIn([&] {
            cpu_set_t cpus{};
            CPU_SET(sched_getcpu(), &cpus);
            sched_setaffinity(0, sizeof cpus, &cpus);
            SendUdp("10.90.0.2", "10.90.0.1", nPort, nPort - 5000, nCount);
        });
    }

    CPeerNs m_peer;
    std::mutex m_mtx;
    std::map<uint32_t, size_t> m_counts; // packets by wire length, guarded by m_mtx
    std::atomic<int> m_nWorkCalls = 0;
};

// The filter is in before the first packet is read, also when the device is opened again and
// again under traffic; opening again replaces the capture thread rather than adding one. A filter
// that libpcap refuses fails with libpcap's text and leaves the adapter closed. (A device that
// cannot be opened says libpcap's text too: the headless program's test runs one without
// privilege; one that vanished before its opening is no failure: the soak test.)
TEST_F(AdapterLive, FilterReopenAndFailures) {
    CAdapter adapter("cap0");
    std::jthread sender([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            Send(5020, 4);
        }
    });
    CaptureRequest request;
    request.pAnalyzer = this;
    request.strFilter = "udp port 5021";
    for (int i = 0; i < 20; ++i) {
        request.bPromiscuous = i % 2 == 0;
        adapter.Open(request);
        // Only port 5021 gets through, each packet once (no second capture thread).
        const size_t nPassed = Count(5021), nBlocked = Count(5020);
        Send(5020, 5);
        Send(5021, 5);
        ASSERT_TRUE(WaitUntil([&] { return Count(5021) >= nPassed + 5; }));
        EXPECT_EQ(Count(5021), nPassed + 5);
        EXPECT_EQ(Count(5020), nBlocked);
    }
    sender.request_stop();
    sender.join();
    request.strFilter = "udp port";
    ExpectDescribedError([&] { adapter.Open(request); }, PcapFilterError("udp port"));
    EXPECT_FALSE(adapter.IsOpen());
    EXPECT_FALSE(adapter.IsRunning());
}

// Work that batches left undone is asked for again while the device stays quiet, until there is
// none left: the last flows of a burst reach the resolver without waiting for more traffic.
TEST_F(AdapterLive, IdleWorkIsAskedForAgainUntilDone) {
    CAdapter adapter("cap0");
    CaptureRequest request;
    request.pAnalyzer = this;
    adapter.Open(request);
    // One packet, one batch: the calls after its own come while the device is quiet.
    Send(5010, 1);
    EXPECT_TRUE(WaitUntil([&] { return m_nWorkCalls >= 4; })) << m_nWorkCalls;
    EXPECT_EQ(Count(5010), 1u);
}

// A capture thread that cannot be created (in a child whose address space has room for the ring
// but not for another stack) fails Open with the OS error (EAGAIN, or ENOMEM) and leaves the
// adapter closed: no ring that fills unread.
TEST_F(AdapterLive, ThreadThatCannotStartLeavesTheAdapterClosed) {
    const auto openStarved = [this] {
        CAdapter adapter("cap0");
        CaptureRequest request;
        request.pAnalyzer = this;
        request.nRingBytes = 1 << 20;
        StarveThreadCreation(64, 16 << 20);
        try {
            adapter.Open(request);
        } catch (const CZarnException& e) {
            const bool bWrong = adapter.IsOpen() || adapter.IsRunning() || e.HasDescription();
            _exit(bWrong ? 1 : e.GetCode() == ENOMEM ? EAGAIN : e.GetCode());
        }
        _exit(1);
    };
    EXPECT_EXIT(openStarved(), testing::ExitedWithCode(EAGAIN), "");
}

// Eighty veth devices make a dump of well over 32 KiB, the most the kernel puts in one datagram,
// so the table must read on until the dump's end: every device once, under the kernel's index.
// One veth is a bridge's port, the bridge its master; its peer, which names it as its link, is
// no port.
TEST(LinkTableLive, DumpOverManyDatagrams) {
    ShOk("for i in $(seq 1 40); do echo \"link add ltm$i type veth peer name ltm${i}x\"; done | "
         "ip -batch -\nip link add ltbr0 type bridge && ip link set ltm1 master ltbr0");
    const CLinkTable table;
    std::multiset<std::string> names;
    for (const LinkRecord& link : table.GetAll()) {
        EXPECT_EQ(link.nIndex, static_cast<int>(if_nametoindex(link.strName.c_str())));
        if (link.strName.starts_with("ltm")) {
            EXPECT_EQ(link.strKind, "veth") << link.strName;
        }
        names.insert(link.strName);
    }
    std::istringstream listed(ShOut("ip -o link show | sed 's/^[0-9]*: \\([^:@]*\\).*/\\1/'"));
    EXPECT_EQ(names, std::multiset<std::string>(std::istream_iterator<std::string>(listed), {}));
    ASSERT_TRUE(table.Find("ltm1") != nullptr && table.Find("ltm1x") != nullptr);
    EXPECT_EQ(table.Find("ltm1")->nMasterIndex, static_cast<int>(if_nametoindex("ltbr0")));
    EXPECT_TRUE(table.IsAggregatedPort(*table.Find("ltm1")));
    EXPECT_FALSE(table.IsAggregatedPort(*table.Find("ltm1x")));
}

} // namespace
