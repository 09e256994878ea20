#include "Adapter.h"
#include "NetNs.h"
#include "ZarnException.h"

#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <pcap/pcap.h>
#include <sched.h>
#include <thread>
#include <tuple>
#include <vector>

using namespace orvektest;

namespace {

// Wire length, captured length, link header length, protocol of one delivered packet.
using Record = std::tuple<uint32_t, uint32_t, uint32_t, ENetworkProtocol>;

// A veth link "cap0" to a peer namespace; the fixture records what is captured.
class AdapterLive : public testing::Test, public IAdapterListener {
protected:
    AdapterLive() {
        MakeVethPair(m_peer, {"cap0", "10.90.0.1", "fd90::1"}, {"cap1", "10.90.0.2", "fd90::2"});
    }
    ~AdapterLive() override { Sh("ip link del cap0 2>/dev/null"); }

    // Capture threads, several at once: records under the mutex.
    void AnalyzePacket(PacketInfo* pInfo) override {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_records.emplace_back(pInfo->pHeader->len, pInfo->pHeader->caplen,
                               pInfo->nLinkHeaderLength, pInfo->eNetworkProtocol);
    }
    // An adapter alone never calls these.
    void OnException(const CZarnException&) override { ADD_FAILURE() << "OnException"; }
    void OnAdapterFound(CAdapter*, const char*) override { ADD_FAILURE() << "OnAdapterFound"; }
    std::vector<Record> Of(uint32_t nWireLength) {
        std::lock_guard<std::mutex> guard(m_mtx);
        std::vector<Record> matching = m_records;
        std::erase_if(matching, [&](const Record& r) { return std::get<0>(r) != nWireLength; });
        return matching;
    }

    // Port nPort carries nPort - 5000 payload bytes, so that the wire length tells streams apart.
    static uint32_t Wire(uint16_t nPort, bool bIPv6 = false, uint32_t nHeader = 14) {
        return nHeader + (bIPv6 ? 48 : 28) + nPort - 5000;
    }
    // From the peer on one CPU, so that packets reach capture in the order sent.
    void Send(uint16_t nPort, size_t nCount, bool bIPv6 = false) {
        m_peer.RunIn([&] {
            cpu_set_t cpus;
            CPU_ZERO(&cpus);
            CPU_SET(sched_getcpu(), &cpus);
            sched_setaffinity(0, sizeof cpus, &cpus);
            SendUdp(bIPv6 ? "fd90::2" : "10.90.0.2", bIPv6 ? "fd90::1" : "10.90.0.1", nPort,
                    nPort - 5000, nCount);
        });
    }
    size_t Count(uint16_t nPort) { return Of(Wire(nPort)).size(); }
    bool WaitFor(uint16_t nPort, size_t nCount) {
        return WaitUntil([&] { return Count(nPort) >= nCount; });
    }
    // Only nPass of the ports nPass and nBlock gets through.
    void ExpectFiltered(uint16_t nPass, uint16_t nBlock) {
        const size_t nPassed = Count(nPass);
        const size_t nBlocked = Count(nBlock);
        Send(nBlock, 5);
        Send(nPass, 5);
        ASSERT_TRUE(WaitFor(nPass, nPassed + 5));
        EXPECT_EQ(Count(nBlock), nBlocked);
    }

    CPeerNs m_peer;
    std::mutex m_mtx;
    std::vector<Record> m_records; // guarded by m_mtx
};

TEST_F(AdapterLive, DeliversWholePacketsUntilTheDeviceVanishes) {
    for (const bool bTun : {false, true}) {
        auto pTun =
            bTun ? std::make_unique<CTunDevice>("ctun0", "10.91.0.1/24", "fd91::1/64") : nullptr;
        const char* szDevice = bTun ? "ctun0" : "cap0";
        const uint32_t nHeader = bTun ? 0 : 14; // a tun device has no link header
        CAdapter adapter(this);
        adapter.Open(szDevice, false);
        EXPECT_EQ(adapter.GetLinkType(), bTun ? DLT_RAW : DLT_EN10MB);
        for (int i = 0; bTun && i < 5; ++i) {
            pTun->Write(MakeUdpPacket("10.91.0.2", "10.91.0.1", 9, 5100, 100));
            pTun->Write(MakeUdpPacket("fd91::2", "fd91::1", 9, 5200, 200));
        }
        if (!bTun) {
            Send(5100, 5);
            Send(5200, 5, true);
        }
        for (const auto& [nWire, eProtocol] :
             {std::pair{Wire(5100, false, nHeader), ENetworkProtocol::IPv4},
              std::pair{Wire(5200, true, nHeader), ENetworkProtocol::IPv6}}) {
            ASSERT_TRUE(WaitUntil([&] { return Of(nWire).size() >= 5; })) << szDevice;
            EXPECT_EQ(Of(nWire), std::vector<Record>(5, Record{nWire, nWire, nHeader, eProtocol}));
        }
        // The device goes away under the capture: the loop ends, Stop and Close still return.
        if (bTun) {
            pTun.reset();
        } else {
            ShOk("ip link del cap0");
        }
        EXPECT_TRUE(WaitUntil([&] { return !adapter.IsRunning(); })) << szDevice;
        EXPECT_TRUE(adapter.IsOpen());
        CHangGuard guard("Stop and Close after the loop ended");
        adapter.Stop();
        adapter.Stop();
        adapter.Close();
        adapter.Close();
        EXPECT_FALSE(adapter.IsOpen());
        EXPECT_STREQ(adapter.GetName(), szDevice);
    }
}

TEST_F(AdapterLive, FilterTakesEffectRightAfterOpenAndUnderTraffic) {
    CAdapter adapter(this);
    // The capture thread may not have started reading yet when the filter comes.
    for (int i = 0; i < 20; ++i) {
        adapter.Open("cap0", false);
        adapter.SetFilter("udp port 5021");
        ExpectFiltered(5021, 5020);
    }
    // A bad filter fails with libpcap's text and leaves the one in force.
    pcap_t* pDead = pcap_open_dead(DLT_EN10MB, 65535);
    bpf_program program{};
    ASSERT_LT(pcap_compile(pDead, &program, "udp port", 1, PCAP_NETMASK_UNKNOWN), 0);
    const std::string strExpected = pcap_geterr(pDead);
    pcap_close(pDead);
    try {
        adapter.SetFilter("udp port");
        ADD_FAILURE() << "a bad filter compiled";
    } catch (const CZarnException& e) {
        EXPECT_EQ(e.GetCode(), 0);
        EXPECT_EQ(std::string(e.GetDescription()), strExpected);
    }
    ExpectFiltered(5021, 5020);

    std::atomic<bool> bTraffic{true};
    std::thread sender([&] {
        m_peer.RunIn([&] {
            while (bTraffic.load()) {
                SendUdp("10.90.0.2", "10.90.0.1", 5020, 32, 4);
                SendUdp("fd90::2", "fd90::1", 5021, 32, 4);
            }
        });
    });
    const char* const filters[] = {"udp port 5020", "udp port 5021", "udp", "not udp", "udp port"};
    int nRejected = 0;
    for (int i = 0; i < 300; ++i) {
        try {
            adapter.SetFilter(filters[i % 5]);
        } catch (const CZarnException&) {
            ++nRejected;
        }
    }
    bTraffic.store(false);
    sender.join();
    EXPECT_EQ(nRejected, 60);
    adapter.SetFilter("udp port 5020");
    ExpectFiltered(5020, 5021);
}

TEST_F(AdapterLive, OpenFailureReopenAndNullListener) {
    char szExpected[PCAP_ERRBUF_SIZE] = "";
    ASSERT_EQ(pcap_open_live("nosuch0", 65535, 0, 100, szExpected), nullptr);
    CAdapter adapter(this);
    for (const char* szName : {"", "cap0"}) {
        if (*szName != '\0') {
            adapter.Open(szName, false);
        }
        try {
            adapter.Open("nosuch0", false);
            ADD_FAILURE() << "opened a device that does not exist";
        } catch (const CZarnException& e) {
            EXPECT_EQ(e.GetCode(), 0);
            EXPECT_STREQ(e.GetDescription(), szExpected);
        }
        EXPECT_FALSE(adapter.IsOpen());
        EXPECT_FALSE(adapter.IsRunning());
        EXPECT_STREQ(adapter.GetName(), szName);
    }
    // Opening again replaces the capture thread rather than adding one.
    adapter.Open("cap0", false);
    adapter.Open("cap0", true);
    Send(5050, 10);
    Send(5059, 1);
    ASSERT_TRUE(WaitFor(5059, 1));
    EXPECT_EQ(Count(5050), 10u);
    // Without a listener the adapter reads and drops what the recording one sees.
    CAdapter silent(nullptr);
    silent.Open("cap0", false);
    ASSERT_TRUE(WaitUntil([&] { return silent.IsRunning(); }));
    Send(5052, 50);
    ASSERT_TRUE(WaitFor(5052, 50));
    EXPECT_TRUE(silent.IsRunning());
}

} // namespace
