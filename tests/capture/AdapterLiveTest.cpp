#include "Adapter.h"
#include "NetNs.h"
#include "ZarnException.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <pcap/pcap.h>
#include <sched.h>
#include <set>
#include <thread>
#include <vector>

using namespace orvektest;

namespace {

// What the tests need of one delivered packet.
struct PacketRecord {
    uint32_t nWireLength;
    uint32_t nCapLength;
    uint32_t nLinkHeaderLength;
    ENetworkProtocol eProtocol;
    uint16_t nUdpDestPort; // 0 when not UDP
};

uint16_t UdpDestPort(const PacketInfo& info) {
    const uint8_t* pIp = info.pData + info.nLinkHeaderLength;
    const uint32_t nAvailable = info.pHeader->caplen - info.nLinkHeaderLength;
    uint32_t nUdp = 0;
    if (info.eNetworkProtocol == ENetworkProtocol::IPv4 && nAvailable >= 20 && pIp[9] == 17) {
        nUdp = (pIp[0] & 0x0Fu) * 4;
    } else if (info.eNetworkProtocol == ENetworkProtocol::IPv6 && nAvailable >= 40 &&
               pIp[6] == 17) {
        nUdp = 40;
    } else {
        return 0;
    }
    return nAvailable >= nUdp + 4 ? static_cast<uint16_t>((pIp[nUdp + 2] << 8) | pIp[nUdp + 3]) : 0;
}

class CRecordingListener : public IAdapterListener {
public:
    // Capture threads, several at once: records under the mutex; a packet to the gate port
    // holds its capture thread here until the gate opens.
    void AnalyzePacket(PacketInfo* pInfo) override {
        const PacketRecord record{pInfo->pHeader->len, pInfo->pHeader->caplen,
                                  pInfo->nLinkHeaderLength, pInfo->eNetworkProtocol,
                                  UdpDestPort(*pInfo)};
        std::unique_lock<std::mutex> guard(m_mtx);
        m_records.push_back(record);
        if (record.nUdpDestPort != 0 && record.nUdpDestPort == m_nGatePort) {
            m_bHeld = true;
            m_cvGate.wait_for(guard, std::chrono::seconds(20), [this] { return m_nGatePort == 0; });
        }
    }
    void CloseGate(uint16_t nPort) {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_nGatePort = nPort;
    }
    void OpenGate() {
        {
            std::lock_guard<std::mutex> guard(m_mtx);
            m_nGatePort = 0;
        }
        m_cvGate.notify_all();
    }
    bool IsHeld() const {
        std::lock_guard<std::mutex> guard(m_mtx);
        return m_bHeld;
    }
    // An adapter alone never calls these.
    void OnException(const CZarnException&) override { ADD_FAILURE() << "OnException"; }
    void OnAdapterFound(CAdapter*, const char*) override { ADD_FAILURE() << "OnAdapterFound"; }

    std::vector<PacketRecord> ToPort(uint16_t nPort) const {
        std::lock_guard<std::mutex> guard(m_mtx);
        std::vector<PacketRecord> matching;
        for (const PacketRecord& record : m_records) {
            if (record.nUdpDestPort == nPort) {
                matching.push_back(record);
            }
        }
        return matching;
    }
    size_t CountTo(uint16_t nPort) const { return ToPort(nPort).size(); }
    bool WaitFor(uint16_t nPort, size_t nCount) const {
        return WaitUntil([&] { return CountTo(nPort) >= nCount; });
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_records.clear();
    }

private:
    mutable std::mutex m_mtx;
    std::condition_variable m_cvGate;
    std::vector<PacketRecord> m_records; // guarded by m_mtx
    uint16_t m_nGatePort = 0;            // guarded by m_mtx
    bool m_bHeld = false;                // guarded by m_mtx
};

// The eventfd descriptors of this process, by number.
std::set<int> EventFds() {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string() == "anon_inode:[eventfd]") {
            fds.insert(std::stoi(entry.path().filename().string()));
        }
    }
    return fds;
}

bool IsEventSignalled(int hFd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(hFd));
    std::string strKey;
    std::string strValue;
    while (info >> strKey >> strValue) {
        if (strKey == "eventfd-count:") {
            return std::stoull(strValue, nullptr, 16) != 0;
        }
    }
    return false;
}

// The libpcap text a filter expression fails with.
std::string CompileError(const char* szExpression) {
    pcap_t* pDead = pcap_open_dead(DLT_EN10MB, 65535);
    bpf_program program{};
    std::string strError;
    if (pcap_compile(pDead, &program, szExpression, 1, PCAP_NETMASK_UNKNOWN) < 0) {
        strError = pcap_geterr(pDead);
    } else {
        pcap_freecode(&program);
    }
    pcap_close(pDead);
    return strError;
}

constexpr const char* kLocal4 = "10.90.0.1";
constexpr const char* kPeer4 = "10.90.0.2";
constexpr const char* kLocal6 = "fd90::1";
constexpr const char* kPeer6 = "fd90::2";

// A veth link "cap0" to a peer namespace, and a listener that records what is captured.
class AdapterLive : public testing::Test {
protected:
    AdapterLive() { MakeVethPair(m_peer, {"cap0", kLocal4, kLocal6}, {"cap1", kPeer4, kPeer6}); }
    ~AdapterLive() override { Sh("ip link del cap0 2>/dev/null"); }

    // Sends from the peer on one CPU, so that the packets reach capture in the order sent and a
    // packet sent last shows that all before it have been seen.
    void Send(uint16_t nPort, size_t nCount, size_t nPayload = 64, bool bIPv6 = false) {
        m_peer.RunIn([&] {
            cpu_set_t cpus;
            CPU_ZERO(&cpus);
            CPU_SET(sched_getcpu(), &cpus);
            sched_setaffinity(0, sizeof cpus, &cpus);
            SendUdp(bIPv6 ? kPeer6 : kPeer4, bIPv6 ? kLocal6 : kLocal4, nPort, nPayload, nCount);
        });
    }

    CPeerNs m_peer;
    CRecordingListener m_listener;
};

TEST_F(AdapterLive, DeliversWholePacketsWithTheirLinkHeader) {
    CAdapter adapter(&m_listener);
    adapter.Open("cap0", false);
    EXPECT_TRUE(adapter.IsOpen());
    EXPECT_STREQ(adapter.GetName(), "cap0");
    EXPECT_EQ(adapter.GetLinkType(), DLT_EN10MB);
    EXPECT_TRUE(WaitUntil([&] { return adapter.IsRunning(); }));
    Send(5001, 5, 100);
    Send(5002, 5, 200, true);
    Send(5009, 1);
    ASSERT_TRUE(m_listener.WaitFor(5009, 1));
    const struct {
        uint16_t nPort;
        uint32_t nWireLength;
        ENetworkProtocol eProtocol;
    } expected[] = {{5001, 14 + 20 + 8 + 100, ENetworkProtocol::IPv4},
                    {5002, 14 + 40 + 8 + 200, ENetworkProtocol::IPv6}};
    for (const auto& e : expected) {
        const std::vector<PacketRecord> records = m_listener.ToPort(e.nPort);
        EXPECT_EQ(records.size(), 5u) << e.nPort;
        for (const PacketRecord& record : records) {
            EXPECT_EQ(record.nWireLength, e.nWireLength);
            EXPECT_EQ(record.nCapLength, e.nWireLength);
            EXPECT_EQ(record.nLinkHeaderLength, 14u);
            EXPECT_EQ(record.eProtocol, e.eProtocol);
        }
    }

    // A tun device has no link header at all.
    CTunDevice tun("ctun0", "10.91.0.1/24", "fd91::1/64");
    CAdapter tunAdapter(&m_listener);
    tunAdapter.Open("ctun0", false);
    EXPECT_EQ(tunAdapter.GetLinkType(), DLT_RAW);
    for (int i = 0; i < 3; ++i) {
        tun.Write(MakeUdpPacket("10.91.0.2", "10.91.0.1", 9, 5003, 50));
        tun.Write(MakeUdpPacket("fd91::2", "fd91::1", 9, 5004, 60));
    }
    ASSERT_TRUE(m_listener.WaitFor(5003, 3));
    ASSERT_TRUE(m_listener.WaitFor(5004, 3));
    for (const PacketRecord& record : m_listener.ToPort(5003)) {
        EXPECT_EQ(record.nWireLength, 20u + 8 + 50);
        EXPECT_EQ(record.nLinkHeaderLength, 0u);
        EXPECT_EQ(record.eProtocol, ENetworkProtocol::IPv4);
    }
    for (const PacketRecord& record : m_listener.ToPort(5004)) {
        EXPECT_EQ(record.nWireLength, 40u + 8 + 60);
        EXPECT_EQ(record.nLinkHeaderLength, 0u);
        EXPECT_EQ(record.eProtocol, ENetworkProtocol::IPv6);
    }
}

TEST_F(AdapterLive, FilterTakesEffectAndABadOneLeavesItInForce) {
    CAdapter adapter(&m_listener);
    adapter.Open("cap0", false);
    adapter.SetFilter("udp port 5010");
    Send(5011, 20);
    Send(5010, 20);
    ASSERT_TRUE(m_listener.WaitFor(5010, 20));
    EXPECT_EQ(m_listener.CountTo(5011), 0u);

    for (const char* szBad : {"udp port", "no such thing", "port 99999", "tcp and ("}) {
        const std::string strExpected = CompileError(szBad);
        ASSERT_FALSE(strExpected.empty()) << szBad;
        try {
            adapter.SetFilter(szBad);
            ADD_FAILURE() << "compiled: " << szBad;
        } catch (const CZarnException& e) {
            EXPECT_EQ(e.GetCode(), 0);
            EXPECT_TRUE(e.HasDescription());
            EXPECT_EQ(std::string(e.GetDescription()), strExpected);
        }
    }
    EXPECT_TRUE(adapter.IsRunning());
    m_listener.Clear();
    Send(5011, 10);
    Send(5010, 10, 64, true);
    ASSERT_TRUE(m_listener.WaitFor(5010, 10));
    EXPECT_EQ(m_listener.CountTo(5011), 0u);

    adapter.SetFilter("udp port 5011");
    m_listener.Clear();
    Send(5010, 10);
    Send(5011, 10);
    ASSERT_TRUE(m_listener.WaitFor(5011, 10));
    EXPECT_EQ(m_listener.CountTo(5010), 0u);
}

TEST_F(AdapterLive, FilterHandOverUnderTrafficAndBeforeTheFirstRead) {
    CAdapter adapter(&m_listener);
    // The capture thread may not have started reading yet when the filter comes.
    for (int i = 0; i < 30; ++i) {
        adapter.Open("cap0", false);
        adapter.SetFilter("udp port 5021");
        m_listener.Clear();
        Send(5020, 1);
        Send(5021, 1);
        ASSERT_TRUE(m_listener.WaitFor(5021, 1)) << i;
        ASSERT_EQ(m_listener.CountTo(5020), 0u) << i;
    }

    std::atomic<bool> bTraffic{true};
    std::thread sender([&] {
        m_peer.RunIn([&] {
            while (bTraffic.load()) {
                SendUdp(kPeer4, kLocal4, 5020, 32, 4);
                SendUdp(kPeer6, kLocal6, 5021, 32, 4);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
    EXPECT_TRUE(adapter.IsRunning());
    EXPECT_GT(m_listener.CountTo(5020) + m_listener.CountTo(5021), 0u);

    adapter.SetFilter("udp port 5020");
    m_listener.Clear();
    Send(5021, 10);
    Send(5020, 10);
    ASSERT_TRUE(m_listener.WaitFor(5020, 10));
    EXPECT_EQ(m_listener.CountTo(5021), 0u);
}

// Packets that wait in the capture buffer when the filter changes are read after SetFilter
// returns, so the new filter decides about them too.
TEST_F(AdapterLive, QueuedPacketsFollowTheNewFilter) {
    CAdapter adapter(&m_listener);
    const std::set<int> before = EventFds();
    adapter.Open("cap0", false);
    std::vector<int> breakFds;
    for (const int hFd : EventFds()) {
        if (before.count(hFd) == 0) {
            breakFds.push_back(hFd);
        }
    }
    if (breakFds.empty()) {
        GTEST_SKIP() << "this libpcap wakes a waiting read without an eventfd";
    }
    m_listener.CloseGate(5080);
    Send(5080, 1);
    ASSERT_TRUE(WaitUntil([&] { return m_listener.IsHeld(); }));
    // Queued behind the held packet, accepted by the filter in force.
    Send(5081, 10);
    Send(5082, 1);
    // The gate opens once SetFilter has asked the capture thread to break its read.
    std::thread opener([&] {
        WaitUntil([&] {
            for (const int hFd : breakFds) {
                if (IsEventSignalled(hFd)) {
                    return true;
                }
            }
            return false;
        });
        m_listener.OpenGate();
    });
    adapter.SetFilter("udp port 5082");
    opener.join();
    ASSERT_TRUE(m_listener.WaitFor(5082, 1));
    EXPECT_EQ(m_listener.CountTo(5081), 0u);
}

TEST_F(AdapterLive, OpenFailureLeavesTheAdapterClosedAndNamed) {
    char szExpected[PCAP_ERRBUF_SIZE] = "";
    ASSERT_EQ(pcap_open_live("nosuch0", 65535, 0, 100, szExpected), nullptr);
    const auto expectFailure = [&](CAdapter& adapter) {
        try {
            adapter.Open("nosuch0", false);
            ADD_FAILURE() << "opened a device that does not exist";
        } catch (const CZarnException& e) {
            EXPECT_EQ(e.GetCode(), 0);
            EXPECT_TRUE(e.HasDescription());
            EXPECT_STREQ(e.GetDescription(), szExpected);
        }
        EXPECT_FALSE(adapter.IsOpen());
        EXPECT_FALSE(adapter.IsRunning());
    };

    CAdapter adapter(&m_listener);
    expectFailure(adapter);
    EXPECT_STREQ(adapter.GetName(), "");

    adapter.Open("cap0", false);
    EXPECT_TRUE(WaitUntil([&] { return adapter.IsRunning(); }));
    expectFailure(adapter);
    EXPECT_STREQ(adapter.GetName(), "cap0");
    adapter.Close();

    // It still opens afterwards.
    adapter.Open("cap0", false);
    Send(5040, 1);
    EXPECT_TRUE(m_listener.WaitFor(5040, 1));
}

TEST_F(AdapterLive, ReopenAndNullListener) {
    CAdapter adapter(&m_listener);
    adapter.Open("cap0", false);
    EXPECT_TRUE(WaitUntil([&] { return adapter.IsRunning(); }));
    adapter.Open("cap0", true);
    EXPECT_TRUE(WaitUntil([&] { return adapter.IsRunning(); }));
    Send(5050, 10);
    ASSERT_TRUE(m_listener.WaitFor(5050, 10));
    Send(5059, 1);
    ASSERT_TRUE(m_listener.WaitFor(5059, 1));
    EXPECT_EQ(m_listener.CountTo(5050), 10u); // one capture thread, not two

    CTunDevice tun("ctun1", "10.92.0.1/24", "");
    adapter.Open("ctun1", false);
    EXPECT_STREQ(adapter.GetName(), "ctun1");
    EXPECT_EQ(adapter.GetLinkType(), DLT_RAW);
    tun.Write(MakeUdpPacket("10.92.0.2", "10.92.0.1", 9, 5051, 10));
    ASSERT_TRUE(m_listener.WaitFor(5051, 1));
    EXPECT_EQ(m_listener.ToPort(5051)[0].nLinkHeaderLength, 0u);

    // Without a listener the adapter reads and drops; a recording one on the same device shows
    // that the traffic was there.
    CAdapter silent(nullptr);
    silent.Open("cap0", false);
    adapter.Open("cap0", false);
    EXPECT_TRUE(WaitUntil([&] { return silent.IsRunning(); }));
    Send(5052, 50);
    ASSERT_TRUE(m_listener.WaitFor(5052, 50));
    EXPECT_TRUE(silent.IsRunning());
    silent.Close();
}

TEST_F(AdapterLive, LoopEndsWhenTheDeviceVanishes) {
    for (const bool bTun : {false, true}) {
        SCOPED_TRACE(bTun ? "tun" : "veth");
        std::unique_ptr<CTunDevice> pTun;
        if (bTun) {
            pTun = std::make_unique<CTunDevice>("ctun2", "10.93.0.1/24", "");
        }
        const char* szDevice = bTun ? "ctun2" : "cap0";
        CAdapter adapter(&m_listener);
        adapter.Open(szDevice, false);
        ASSERT_TRUE(WaitUntil([&] { return adapter.IsRunning(); }));
        if (bTun) {
            pTun.reset();
        } else {
            ShOk("ip link del cap0");
        }
        EXPECT_TRUE(WaitUntil([&] { return !adapter.IsRunning(); }));
        EXPECT_TRUE(adapter.IsOpen());
        {
            CHangGuard guard("Stop and Close after the loop ended");
            adapter.Stop();
            adapter.Stop();
            adapter.Close();
            adapter.Close();
        }
        EXPECT_FALSE(adapter.IsOpen());
        EXPECT_STREQ(adapter.GetName(), szDevice);
        if (bTun) {
            // The device is back: the same adapter opens it again.
            pTun = std::make_unique<CTunDevice>("ctun2", "10.93.0.1/24", "");
            adapter.Open("ctun2", false);
            pTun->Write(MakeUdpPacket("10.93.0.2", "10.93.0.1", 9, 5060, 10));
            EXPECT_TRUE(m_listener.WaitFor(5060, 1));
        }
    }
}

TEST_F(AdapterLive, StopAndCloseReturnInEveryState) {
    CHangGuard guard("Stop or Close");
    {
        CAdapter neverOpened(&m_listener);
        neverOpened.Close();
        neverOpened.Stop();
        neverOpened.Close();
    }
    CAdapter adapter(&m_listener);
    for (int i = 0; i < 25; ++i) {
        adapter.Open("cap0", false);
        adapter.Stop(); // most often before the capture thread reads
        EXPECT_FALSE(adapter.IsRunning());
        EXPECT_TRUE(adapter.IsOpen());
    }
    // With the loop ended the filter is installed on this thread instead.
    adapter.SetFilter("udp port 5070");
    for (int i = 0; i < 25; ++i) {
        adapter.Open("cap0", false);
        adapter.Close();
        EXPECT_FALSE(adapter.IsOpen());
    }
    // Close while the capture thread waits in a read on a quiet device.
    adapter.Open("cap0", false);
    ASSERT_TRUE(WaitUntil([&] { return adapter.IsRunning(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    adapter.Close();
    EXPECT_FALSE(adapter.IsRunning());
}

} // namespace
