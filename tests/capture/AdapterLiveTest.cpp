#include "Adapter.h"
#include "NetNs.h"
#include "ZarnException.h"

#include <gtest/gtest.h>
#include <map>
#include <pcap/pcap.h>
#include <sched.h>
#include <tuple>

using namespace orvektest;

namespace {

// Captured length, link header length, protocol of one delivered packet.
using Record = std::tuple<uint32_t, uint32_t, ENetworkProtocol>;

// A veth link "cap0" to a peer namespace; the fixture records what is captured.
class AdapterLive : public testing::Test, public IPacketAnalyzer {
protected:
    AdapterLive() {
        MakeVethPair(m_peer, {"cap0", "10.90.0.1", "fd90::1"}, {"cap1", "10.90.0.2", "fd90::2"});
    }
    ~AdapterLive() override { Sh("ip link del cap0 2>/dev/null"); }

    // Capture threads, several at once: records under the mutex.
    void AnalyzePacket(PacketInfo* pInfo) override {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_records[pInfo->pHeader->len].emplace_back(
            pInfo->pHeader->caplen, pInfo->nLinkHeaderLength, pInfo->eNetworkProtocol);
    }
    // How the fixture asks for a device: whole packets to itself.
    CaptureRequest Request(const std::string& strFilter = "", bool bPromiscuous = false) {
        CaptureRequest request;
        request.pAnalyzer = this;
        request.strFilter = strFilter;
        request.bPromiscuous = bPromiscuous;
        return request;
    }
    std::vector<Record> Of(uint32_t nWireLength) {
        std::lock_guard<std::mutex> guard(m_mtx);
        return m_records[nWireLength];
    }

    // Port nPort carries nPort - 5000 payload bytes, so that the wire length tells streams apart.
    // Sent from the peer on one CPU, so that packets reach capture in the order sent.
    void Send(uint16_t nPort, size_t nCount, bool bIPv6 = false) {
        m_peer.RunIn([&] {
            cpu_set_t cpus{};
            CPU_SET(sched_getcpu(), &cpus);
            sched_setaffinity(0, sizeof cpus, &cpus);
            SendUdp(bIPv6 ? "fd90::2" : "10.90.0.2", bIPv6 ? "fd90::1" : "10.90.0.1", nPort,
                    nPort - 5000, nCount);
        });
    }
    // Only nPass of the ports nPass and nBlock gets through, each packet once.
    void ExpectFiltered(uint16_t nPass, uint16_t nBlock) {
        const auto Count = [&](uint16_t nPort) { return Of(14 + 28 + nPort - 5000).size(); };
        const size_t nPassed = Count(nPass), nBlocked = Count(nBlock);
        Send(nBlock, 5);
        Send(nPass, 5);
        ASSERT_TRUE(WaitUntil([&] { return Count(nPass) >= nPassed + 5; }));
        EXPECT_EQ(Count(nPass), nPassed + 5); // also: no second capture thread
        EXPECT_EQ(Count(nBlock), nBlocked);
    }

    // fn must throw libpcap's text with nCode: 0, or libpcap's status for a failed activation.
    static void ExpectPcapError(const std::function<void()>& fn, const std::string& strText,
                                int nCode = 0) {
        try {
            fn();
            ADD_FAILURE() << "no error, expected " << strText;
        } catch (const CZarnException& e) {
            EXPECT_EQ(e.GetCode(), nCode);
            EXPECT_EQ(e.GetDescription(), strText);
        }
    }

    CPeerNs m_peer;
    std::mutex m_mtx;
    std::map<uint32_t, std::vector<Record>> m_records; // by wire length, guarded by m_mtx
};

TEST_F(AdapterLive, DeliversWholePacketsUntilTheDeviceVanishes) {
    for (const bool bTun : {false, true}) {
        auto pTun =
            bTun ? std::make_unique<CTunDevice>("ctun0", "10.91.0.1/24", "fd91::1/64") : nullptr;
        const uint32_t nHeader = bTun ? 0 : 14; // a tun device has no link header
        CAdapter adapter(bTun ? "ctun0" : "cap0");
        adapter.Open(Request());
        for (int i = 0; i < 5; ++i) {
            bTun ? pTun->Write(MakeUdpPacket("10.91.0.2", "10.91.0.1", 9, 5100, 100))
                 : Send(5100, 1);
            bTun ? pTun->Write(MakeUdpPacket("fd91::2", "fd91::1", 9, 5200, 200))
                 : Send(5200, 1, true);
        }
        for (const auto& [nWire, eProtocol] : {std::pair{nHeader + 128, ENetworkProtocol::IPv4},
                                               std::pair{nHeader + 248, ENetworkProtocol::IPv6}}) {
            ASSERT_TRUE(WaitUntil([&] { return Of(nWire).size() >= 5; })) << bTun;
            EXPECT_EQ(Of(nWire), std::vector<Record>(5, Record{nWire, nHeader, eProtocol}));
        }
        // The device goes away under the capture: the loop ends, Stop and Close still return.
        bTun ? pTun.reset() : ShOk("ip link del cap0");
        EXPECT_TRUE(WaitUntil([&] { return !adapter.IsRunning(); })) << bTun;
        adapter.Stop();
        adapter.Close();
        EXPECT_FALSE(adapter.IsOpen());
    }
}

// The filter is in before the first packet is read, also when the device is opened again and
// again under traffic; opening again replaces the capture thread rather than adding one. A filter
// that libpcap refuses, and a device that cannot be opened, fail with libpcap's text and leave the
// adapter closed.
TEST_F(AdapterLive, FilterReopenAndFailures) {
    CAdapter adapter("cap0");
    std::jthread sender([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            Send(5020, 4);
        }
    });
    for (int i = 0; i < 20; ++i) {
        adapter.Open(Request("udp port 5021", i % 2 == 0));
        ExpectFiltered(5021, 5020);
    }
    sender.request_stop();
    sender.join();
    ExpectPcapError([&] { adapter.Open(Request("udp port")); }, PcapFilterError("udp port"));
    EXPECT_FALSE(adapter.IsOpen());
    EXPECT_FALSE(adapter.IsRunning());

    char szExpected[PCAP_ERRBUF_SIZE] = "";
    ASSERT_EQ(pcap_open_live("nosuch0", 65535, 0, 100, szExpected), nullptr);
    CAdapter missing("nosuch0");
    ExpectPcapError([&] { missing.Open(Request()); }, szExpected, PCAP_ERROR_NO_SUCH_DEVICE);
    EXPECT_FALSE(missing.IsOpen());
}

} // namespace
