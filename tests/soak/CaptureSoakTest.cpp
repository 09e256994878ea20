#include "SoakSupport.h"

#include "ZarnException.h"

#include <atomic>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace orvektest;

namespace {

std::string Str(int n) {
    return std::to_string(n);
}

// Start and stop race the capture threads, the monitor and address news; afterwards counting
// must still be exact.
TEST_F(CSoakTest, StartStopCyclesUnderTrafficAndAddressChurn) {
    const int nCycles = kSanitized ? 50 : 300;
    CPeerNs peer;
    MakeVethPair(peer, {"soak0", "10.81.0.1", "fd81::1"}, {"psoak0", "10.81.0.2", "fd81::2"});
    MakeVethPair(peer, {"soak1", "10.81.1.1", ""}, {"psoak1", "10.81.1.2", ""});
    CUdpSink sink("10.81.0.1", 5001);
    const IfCounters start = ReadCounters("soak0");

    std::atomic<bool> bStop{false};
    std::thread sender([&] {
        peer.RunIn([&] {
            while (!bStop.load()) {
                SendUdp("10.81.0.2", "10.81.0.1", 5001, 200, 10);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    });
    std::thread churner([&] {
        for (int i = 0; !bStop.load(); ++i) {
            Sh(std::string("ip addr ") + (i % 2 == 0 ? "add" : "del") + " 10.81.1.9/24 dev soak1");
        }
    });
    for (int i = 0; i < nCycles; ++i) {
        try {
            m_meter.StartCapture();
        } catch (const CZarnException& e) {
            ADD_FAILURE() << "cycle " << i << ": " << e.GetCode() << " " << e.GetDescription();
        }
        // Published by the enumeration that Start makes before it returns.
        EXPECT_TRUE(CAdapterManager::GetInstance()->IsLocalAddress(IPv4("10.81.0.1")));
        m_meter.StopCapture();
    }
    bStop.store(true);
    sender.join();
    churner.join();

    // Only counted while captured, and nothing of it is ours.
    const IfCounters afterCycles = ReadCounters("soak0");
    const int64_t nRecvCycles = m_meter.GetRecvBytes();
    EXPECT_LE(nRecvCycles, NetworkBytes(start, afterCycles));
    EXPECT_EQ(m_meter.GetSentBytes(), 0);

    // Capture after all of that counts every byte.
    m_meter.StartCapture();
    peer.RunIn([] { SendUdp("10.81.0.2", "10.81.0.1", 5001, 300, 50); });
    const IfCounters end = ReadCounters("soak0");
    EXPECT_EQ(end.nRxPackets - afterCycles.nRxPackets, 50u) << "only the test's traffic flows";
    const int64_t nExpected = NetworkBytes(afterCycles, end);
    EXPECT_TRUE(WaitUntil([&] { return m_meter.GetRecvBytes() - nRecvCycles == nExpected; }))
        << m_meter.GetRecvBytes() - nRecvCycles << " counted, " << nExpected << " received";
    EXPECT_EQ(m_meter.GetSentBytes(), 0);
    EXPECT_EQ(m_meter.GetMessages(), "");
}

// Devices come and go and links flap under a running capture; once the churn ends, every device
// that remains is captured and every deleted one is closed, and nothing was lost on the device
// that stayed.
TEST_F(CSoakTest, DevicesDeletedAndLinksFlappedWhileCaptured) {
    const int nRounds = kSanitized ? 12 : 40;
    CPeerNs peer;
    MakeVethPair(peer, {"keep0", "10.82.0.1", ""}, {"pkeep0", "10.82.0.2", ""});
    MakeVethPair(peer, {"flap0", "10.82.1.1", ""}, {"pflap0", "10.82.1.2", ""});
    CUdpSink sink("10.82.0.1", 5002);
    const IfCounters start = ReadCounters("keep0");
    m_meter.StartCapture();

    std::set<std::string> remaining = {"lo", "keep0", "flap0"};
    std::set<std::string> deleted;
    for (int i = 0; i < nRounds; ++i) {
        // A new device comes up (a refresh opens it) while an older captured one is deleted.
        const std::string strNew = "churn" + Str(i);
        std::string strCommand = "ip link add " + strNew + " type veth peer name p" + strNew +
                                 " netns " + peer.GetPath() + " && ip addr add 10.82." +
                                 Str(10 + i) + ".1/24 dev " + strNew + " && ip link set " + strNew +
                                 " up";
        remaining.insert(strNew);
        if (i >= 2) {
            const std::string strOld = "churn" + Str(i - 2);
            strCommand += " && ip link del " + strOld;
            remaining.erase(strOld);
            deleted.insert(strOld);
        }
        ShOk(strCommand);
        ShOk("ip link set flap0 down && ip link set flap0 up");
        if (i % 4 == 3) {
            ShOk("ip link set flap0 down");
            peer.RunIn([] { SendUdp("10.82.0.2", "10.82.0.1", 5002, 100, 5); });
            ShOk("ip link set flap0 up");
        }
    }

    // A last change made after all others: once the monitor has published it, its refresh has
    // seen the final device list.
    ShOk("ip addr add 10.82.250.1/32 dev keep0");
    ASSERT_TRUE(WaitUntil([] {
        return CAdapterManager::GetInstance()->IsLocalAddress(IPv4("10.82.250.1"));
    })) << m_meter.GetMessages();
    EXPECT_TRUE(CAdapterManager::GetInstance()->IsMonitorRunning());
    EXPECT_EQ(m_meter.GetMessages(), "");

    // keep0 was captured all along, so every byte it received is counted; nothing else carried
    // traffic the filter lets through.
    peer.RunIn([] { SendUdp("10.82.0.2", "10.82.0.1", 5002, 400, 20); });
    const int64_t nExpected = NetworkBytes(start, ReadCounters("keep0"));
    EXPECT_TRUE(WaitUntil([&] { return m_meter.GetRecvBytes() == nExpected; }))
        << m_meter.GetRecvBytes() << " counted, " << nExpected << " received";

    std::set<std::string> captured;
    for (const AdapterState& adapter : QuiesceAndListAdapters()) {
        if (remaining.count(adapter.strName) != 0) {
            EXPECT_TRUE(adapter.bOpen && adapter.bRunning) << adapter.strName;
            captured.insert(adapter.strName);
        } else {
            EXPECT_TRUE(deleted.count(adapter.strName) != 0) << adapter.strName;
            EXPECT_FALSE(adapter.bOpen || adapter.bRunning) << adapter.strName;
        }
    }
    EXPECT_EQ(captured, remaining);
}

// A storm of address news ends in one known state, which the published map must reach.
TEST_F(CSoakTest, AddressStormEndsInKnownState) {
    constexpr int kRounds = 2;
    constexpr int kPerRound = 100;
    CPeerNs peer;
    MakeVethPair(peer, {"storm0", "10.83.0.1", "fd83::1"}, {"pstorm0", "10.83.0.2", "fd83::2"});
    m_meter.StartCapture();

    std::vector<std::string> kept4 = {"10.83.0.1"}, gone4, kept6 = {"fd83::1"}, gone6;
    for (int nRound = 1; nRound <= kRounds; ++nRound) {
        std::string strBatch;
        for (int i = 1; i <= kPerRound; ++i) {
            const std::string str4 = "10.83." + Str(nRound) + "." + Str(i);
            const std::string str6 = "fd83::" + Str(nRound) + ":" + Str(i);
            strBatch += "addr add " + str4 + "/32 dev storm0\n";
            strBatch += "addr add " + str6 + "/128 dev storm0 nodad\n";
            if (i % 3 == 0) {
                kept4.push_back(str4);
                kept6.push_back(str6);
            } else {
                strBatch += "addr del " + str4 + "/32 dev storm0\n";
                strBatch += "addr del " + str6 + "/128 dev storm0\n";
                gone4.push_back(str4);
                gone6.push_back(str6);
            }
        }
        ShOk("ip -batch - <<'EOF'\n" + strBatch + "EOF");
    }

    const CAdapterManager* pManager = CAdapterManager::GetInstance();
    const auto isKnownState = [&] {
        for (const std::string& str : kept4) {
            if (!pManager->IsLocalAddress(IPv4(str))) {
                return false;
            }
        }
        for (const std::string& str : gone4) {
            if (pManager->IsLocalAddress(IPv4(str))) {
                return false;
            }
        }
        for (const std::string& str : kept6) {
            if (!pManager->IsLocalAddress6(IPv6(str).data())) {
                return false;
            }
        }
        for (const std::string& str : gone6) {
            if (pManager->IsLocalAddress6(IPv6(str).data())) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(WaitUntil(isKnownState));
    EXPECT_TRUE(pManager->IsMonitorRunning());
    EXPECT_EQ(m_meter.GetMessages(), "");
    for (const AdapterState& adapter : QuiesceAndListAdapters()) {
        EXPECT_TRUE(adapter.bOpen && adapter.bRunning) << adapter.strName;
    }
}

} // namespace
