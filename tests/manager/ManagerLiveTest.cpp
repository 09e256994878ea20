#include "AdapterManager.h"
#include "DeviceList.h"
#include "NetNs.h"
#include "ZarnException.h"

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <pcap/pcap.h>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace orvektest;

namespace {

constexpr int kStormTimeoutMs = 120000;

uint32_t IPv4(const char* szAddress) {
    in_addr address{};
    EXPECT_EQ(inet_pton(AF_INET, szAddress, &address), 1) << szAddress;
    return address.s_addr;
}

std::array<uint8_t, 16> IPv6(const char* szAddress) {
    std::array<uint8_t, 16> address{};
    EXPECT_EQ(inet_pton(AF_INET6, szAddress, address.data()), 1) << szAddress;
    return address;
}

enum class EThrow { None, Zarn, Other };

// Records what the manager tells it and opens every announced adapter as the application does.
class CRecordingListener : public IAdapterListener {
public:
    struct Announcement {
        CAdapter* pAdapter;
        std::string strDevice;
    };
    struct Failure {
        int32_t nCode;
        bool bHasDescription;
        std::string strDescription;
    };

    // Capture threads: counts the packet.
    void AnalyzePacket(PacketInfo*) override { m_nPackets.fetch_add(1); }

    // Monitor thread: records the failure.
    void OnException(const CZarnException& e) override {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_failures.push_back({e.GetCode(), e.HasDescription(), e.GetDescription()});
    }

    // Refreshing thread, manager lock held: records the call, then fails if told to for this
    // device, else opens the device and installs the application's filter.
    void OnAdapterFound(CAdapter* pAdapter, const char* szDeviceName) override {
        EThrow eThrow = EThrow::None;
        {
            std::lock_guard<std::mutex> guard(m_mtx);
            m_announcements.push_back({pAdapter, szDeviceName});
            if (m_strThrowDevice == szDeviceName) {
                eThrow = m_eThrow;
            }
        }
        if (m_bProbe) {
            // Asks from another thread while the refresh holds the manager's lock: a look-up that
            // waited for that lock would never return.
            bool bLocal = false;
            std::thread([&] {
                bLocal = CAdapterManager::GetInstance()->IsLocalAddress(m_nProbeAddress);
            }).join();
            std::lock_guard<std::mutex> guard(m_mtx);
            m_probeResults.push_back(bLocal);
        }
        if (eThrow == EThrow::Zarn) {
            throw CZarnException(0, "refused by the test");
        }
        if (eThrow == EThrow::Other) {
            throw std::runtime_error("refused by the test");
        }
        pAdapter->Open(szDeviceName, false);
        pAdapter->SetFilter("tcp or udp");
    }

    void ThrowFor(const std::string& strDevice, EThrow eThrow) {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_strThrowDevice = strDevice;
        m_eThrow = eThrow;
    }
    // From the next announcement on, looks nAddress up on a thread of its own during each one.
    void ProbeDuringAnnouncements(uint32_t nAddress) {
        m_nProbeAddress = nAddress;
        m_bProbe = true;
    }
    std::vector<bool> GetProbeResults() const {
        std::lock_guard<std::mutex> guard(m_mtx);
        return m_probeResults;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_announcements.clear();
        m_failures.clear();
    }
    std::vector<Announcement> GetAnnouncements() const {
        std::lock_guard<std::mutex> guard(m_mtx);
        return m_announcements;
    }
    std::vector<Failure> GetFailures() const {
        std::lock_guard<std::mutex> guard(m_mtx);
        return m_failures;
    }
    size_t CountFor(const std::string& strDevice) const {
        std::lock_guard<std::mutex> guard(m_mtx);
        size_t nCount = 0;
        for (const auto& a : m_announcements) {
            nCount += a.strDevice == strDevice ? 1 : 0;
        }
        return nCount;
    }
    // The adapter of the device's latest announcement, or null.
    CAdapter* AdapterOf(const std::string& strDevice) const {
        std::lock_guard<std::mutex> guard(m_mtx);
        for (auto it = m_announcements.rbegin(); it != m_announcements.rend(); ++it) {
            if (it->strDevice == strDevice) {
                return it->pAdapter;
            }
        }
        return nullptr;
    }
    uint64_t GetPackets() const { return m_nPackets.load(); }

private:
    mutable std::mutex m_mtx;
    std::vector<Announcement> m_announcements; // guarded by m_mtx
    std::vector<Failure> m_failures;           // guarded by m_mtx
    std::string m_strThrowDevice;              // guarded by m_mtx
    EThrow m_eThrow = EThrow::None;            // guarded by m_mtx
    std::vector<bool> m_probeResults;          // guarded by m_mtx
    // Set before Start, which orders them before the announcements.
    bool m_bProbe = false;
    uint32_t m_nProbeAddress = 0;
    std::atomic<uint64_t> m_nPackets{0};
};

class ManagerLive : public testing::Test {
protected:
    // Capture stops before the devices go, and the devices go before the next test lists them:
    // a namespace torn down with its peer ends vanishes only some time later.
    void TearDown() override {
        m_pManager->StopAll();
        for (const auto& strDevice : m_devices) {
            Sh("ip link del " + strDevice + " 2>/dev/null");
        }
    }

    // Interface names are never reused, so that nothing of an earlier test can be mistaken.
    static std::string NewName(const char* szBase) {
        static int s_nNext = 0;
        return szBase + std::to_string(++s_nNext);
    }

    void MakeVeth(const std::string& strName, const std::string& strIPv4,
                  const std::string& strIPv6, const std::string& strPeerIPv4) {
        m_devices.push_back(strName);
        MakeVethPair(m_peer, {strName, strIPv4, strIPv6}, {strName + "p", strPeerIPv4, ""});
    }

    // A veth end with no address at all (not even an IPv6 link-local one), up or down.
    void MakeBare(const std::string& strName, bool bUp) {
        m_devices.push_back(strName);
        ShOk("ip link add " + strName + " type veth peer name " + strName + "p netns " +
             m_peer.GetPath());
        ShOk("ip link set " + strName + " addrgenmode none");
        m_peer.ShOk("ip link set " + strName + "p addrgenmode none && ip link set " + strName +
                    "p up");
        if (bUp) {
            ShOk("ip link set " + strName + " up");
        }
    }

    bool IsLocal(const char* szIPv4) const { return m_pManager->IsLocalAddress(IPv4(szIPv4)); }
    bool IsLocal6(const char* szIPv6) const {
        return m_pManager->IsLocalAddress6(IPv6(szIPv6).data());
    }
    bool IsCapturing(const std::string& strDevice) const {
        CAdapter* pAdapter = m_listener.AdapterOf(strDevice);
        return pAdapter != nullptr && pAdapter->IsRunning();
    }
    void StartAndWait() {
        m_pManager->Start(&m_listener);
        ASSERT_TRUE(WaitUntil([this] { return m_pManager->IsMonitorRunning(); }));
    }
    // Sends datagrams from the peer to a sink here and waits until capture has counted them.
    void ExpectCaptured(const std::string& strFrom, const std::string& strTo, uint16_t nPort) {
        CUdpSink sink(strTo, nPort);
        const uint64_t nBefore = m_listener.GetPackets();
        m_peer.RunIn([&] { SendUdp(strFrom, strTo, nPort, 64, 10); });
        EXPECT_EQ(sink.WaitFor(10), 10u);
        EXPECT_TRUE(WaitUntil([&] { return m_listener.GetPackets() >= nBefore + 10; }));
    }

    CAdapterManager* m_pManager = CAdapterManager::GetInstance();
    CPeerNs m_peer; // holds the far end of every veth of the test
    CRecordingListener m_listener;
    std::vector<std::string> m_devices;
};

TEST_F(ManagerLive, DeviceListHoldsEveryDeviceInListOrder) {
    const std::string strUp = NewName("lu"), strDown = NewName("ld");
    MakeBare(strUp, true);
    MakeBare(strDown, false);

    CDeviceList devices;
    std::vector<std::string> names;
    for (size_t i = 0; i < devices.GetCount(); ++i) {
        names.push_back(devices.GetAt(i)->name);
        EXPECT_EQ(devices.GetAt(i)->next,
                  i + 1 < devices.GetCount() ? devices.GetAt(i + 1) : nullptr);
    }
    const std::set<std::string> listed(names.begin(), names.end());
    EXPECT_EQ(listed.size(), names.size()) << "each device once";
    for (const auto& strName : {std::string("lo"), strUp, strDown}) {
        EXPECT_EQ(listed.count(strName), 1u) << strName;
    }
}

TEST_F(ManagerLive, StartOpensUpDevicesWithAddressesAndPublishesTheirAddresses) {
    const std::string strVeth = NewName("sv"), strDown = NewName("sd"), strBare = NewName("sb");
    MakeVeth(strVeth, "10.77.1.1", "fd77:1::1", "10.77.1.2");
    MakeBare(strDown, false);
    ShOk("ip addr add 10.77.2.1/24 dev " + strDown);
    MakeBare(strBare, true);
    m_listener.ProbeDuringAnnouncements(IPv4("10.77.1.1"));

    StartAndWait();

    // Both announcements saw the complete map, and the look-up did not wait for the refresh.
    EXPECT_EQ(m_listener.GetProbeResults(), (std::vector<bool>{true, true}));
    std::set<std::string> announced;
    for (const auto& a : m_listener.GetAnnouncements()) {
        announced.insert(a.strDevice);
    }
    EXPECT_EQ(announced, (std::set<std::string>{"lo", strVeth}));
    EXPECT_TRUE(WaitUntil([&] { return IsCapturing("lo") && IsCapturing(strVeth); }));
    EXPECT_NE(m_listener.AdapterOf("lo"), m_listener.AdapterOf(strVeth));

    EXPECT_TRUE(IsLocal("10.77.1.1"));
    EXPECT_TRUE(IsLocal("127.0.0.1"));
    EXPECT_TRUE(IsLocal6("fd77:1::1"));
    EXPECT_TRUE(IsLocal6("::1"));
    // Every address of the listing is the host's own, also that of a device not captured.
    EXPECT_TRUE(IsLocal("10.77.2.1"));
    EXPECT_FALSE(IsLocal("10.77.1.2"));
    EXPECT_FALSE(IsLocal6("fd77:1::2"));
    EXPECT_FALSE(IsLocal("10.77.1.3"));
    // IPv6 entries yield no IPv4 keys, so no zero key either.
    EXPECT_FALSE(m_pManager->IsLocalAddress(0));

    ExpectCaptured("10.77.1.2", "10.77.1.1", 7001);
    EXPECT_TRUE(m_listener.GetFailures().empty());
}

TEST_F(ManagerLive, DeviceIsOpenedWhileItHasAddressesAndReopenedWhenTheyReturn) {
    const std::string strDevice = NewName("ab");
    MakeBare(strDevice, true);
    StartAndWait();
    EXPECT_EQ(m_listener.CountFor(strDevice), 0u);

    ShOk("ip addr add 10.77.3.1/24 dev " + strDevice);
    ASSERT_TRUE(WaitUntil([&] { return IsCapturing(strDevice) && IsLocal("10.77.3.1"); }));
    CAdapter* pAdapter = m_listener.AdapterOf(strDevice);

    ShOk("ip addr flush dev " + strDevice);
    ASSERT_TRUE(WaitUntil([&] { return !pAdapter->IsRunning() && !IsLocal("10.77.3.1"); }));

    // An IPv6 address alone is enough, and the closed adapter is the one announced again.
    ShOk("ip -6 addr add fd77:3::1/64 dev " + strDevice + " nodad");
    ASSERT_TRUE(WaitUntil([&] { return pAdapter->IsRunning() && IsLocal6("fd77:3::1"); }));
    EXPECT_EQ(m_listener.AdapterOf(strDevice), pAdapter);
    EXPECT_GE(m_listener.CountFor(strDevice), 2u);
    EXPECT_TRUE(m_listener.GetFailures().empty());
}

TEST_F(ManagerLive, LinkDownClosesAndLinkUpReopensTheSameAdapter) {
    const std::string strVeth = NewName("dv");
    MakeVeth(strVeth, "10.77.4.1", "", "10.77.4.2");
    StartAndWait();
    ASSERT_TRUE(WaitUntil([&] { return IsCapturing(strVeth); }));
    CAdapter* pAdapter = m_listener.AdapterOf(strVeth);

    ShOk("ip link set " + strVeth + " down");
    ASSERT_TRUE(WaitUntil([&] { return !pAdapter->IsRunning(); }));
    EXPECT_TRUE(IsLocal("10.77.4.1")) << "the down device still lists its address";

    ShOk("ip link set " + strVeth + " up");
    ASSERT_TRUE(WaitUntil([&] { return pAdapter->IsRunning(); }));
    EXPECT_EQ(m_listener.AdapterOf(strVeth), pAdapter);
    EXPECT_TRUE(m_listener.GetFailures().empty());
}

TEST_F(ManagerLive, DeletedDeviceIsClosedAndItsNamesakeReopensTheAdapter) {
    const std::string strVeth = NewName("xv");
    MakeVeth(strVeth, "10.77.5.1", "fd77:5::1", "10.77.5.2");
    StartAndWait();
    ASSERT_TRUE(WaitUntil([&] { return IsCapturing(strVeth); }));
    CAdapter* pAdapter = m_listener.AdapterOf(strVeth);

    ShOk("ip link del " + strVeth);
    ASSERT_TRUE(WaitUntil(
        [&] { return !pAdapter->IsRunning() && !IsLocal("10.77.5.1") && !IsLocal6("fd77:5::1"); }));

    MakeVeth(strVeth, "10.77.5.1", "", "10.77.5.2");
    ASSERT_TRUE(WaitUntil([&] { return pAdapter->IsRunning() && IsLocal("10.77.5.1"); }));
    EXPECT_EQ(m_listener.AdapterOf(strVeth), pAdapter);
    ExpectCaptured("10.77.5.2", "10.77.5.1", 7005);
    EXPECT_TRUE(m_listener.GetFailures().empty());
}

TEST_F(ManagerLive, AddressSharedByTwoDevicesStaysLocalUntilBothLoseIt) {
    const std::string strFirst = NewName("ta"), strSecond = NewName("tb");
    MakeBare(strFirst, true);
    MakeBare(strSecond, true);
    ShOk("ip addr add 10.77.6.1/24 dev " + strFirst);
    ShOk("ip addr add 10.77.6.1/24 dev " + strSecond);
    StartAndWait();
    ASSERT_TRUE(WaitUntil([&] { return IsCapturing(strFirst) && IsCapturing(strSecond); }));
    CAdapter* pFirst = m_listener.AdapterOf(strFirst);
    CAdapter* pSecond = m_listener.AdapterOf(strSecond);
    EXPECT_NE(pFirst, pSecond);
    EXPECT_TRUE(IsLocal("10.77.6.1"));

    ShOk("ip addr del 10.77.6.1/24 dev " + strFirst);
    ASSERT_TRUE(WaitUntil([&] { return !pFirst->IsRunning(); }));
    EXPECT_TRUE(pSecond->IsRunning());
    EXPECT_TRUE(IsLocal("10.77.6.1"));

    ShOk("ip addr del 10.77.6.1/24 dev " + strSecond);
    ASSERT_TRUE(WaitUntil([&] { return !pSecond->IsRunning() && !IsLocal("10.77.6.1"); }));
}

TEST_F(ManagerLive, ListenerFailureInStartReachesTheCallerAndStartsNoMonitor) {
    const std::string strVeth = NewName("fv");
    MakeVeth(strVeth, "10.77.7.1", "fd77:7::1", "10.77.7.2");

    for (const EThrow eThrow : {EThrow::Zarn, EThrow::Other}) {
        SCOPED_TRACE(eThrow == EThrow::Zarn ? "CZarnException" : "other exception");
        m_listener.Clear();
        m_listener.ThrowFor(strVeth, eThrow);
        if (eThrow == EThrow::Zarn) {
            EXPECT_THROW(m_pManager->Start(&m_listener), CZarnException);
        } else {
            EXPECT_THROW(m_pManager->Start(&m_listener), std::runtime_error);
        }
        EXPECT_FALSE(m_pManager->IsMonitorRunning());

        // No monitor, so the adapter list can be read here. The refused adapter stays; those
        // announced before it capture on.
        const auto announcements = m_listener.GetAnnouncements();
        ASSERT_FALSE(announcements.empty());
        ASSERT_EQ(announcements.back().strDevice, strVeth);
        bool bKept = false;
        for (size_t i = 0; i < m_pManager->GetAdapterCount(); ++i) {
            bKept = bKept || m_pManager->GetAdapterAt(i) == announcements.back().pAdapter;
        }
        EXPECT_TRUE(bKept);
        for (size_t i = 0; i + 1 < announcements.size(); ++i) {
            CAdapter* pAdapter = announcements[i].pAdapter;
            EXPECT_TRUE(WaitUntil([&] { return pAdapter->IsRunning(); }))
                << announcements[i].strDevice;
        }
        // The addresses were published before the announcements.
        EXPECT_TRUE(IsLocal("10.77.7.1"));
        EXPECT_TRUE(IsLocal("127.0.0.1"));
        EXPECT_TRUE(IsLocal6("fd77:7::1"));
        EXPECT_TRUE(m_listener.GetFailures().empty());

        // A later Start opens the device with a further adapter: the refused one has no name.
        m_listener.ThrowFor("", EThrow::None);
        StartAndWait();
        EXPECT_TRUE(WaitUntil([&] { return IsCapturing(strVeth); }));
        EXPECT_NE(m_listener.AdapterOf(strVeth), announcements.back().pAdapter);
        m_pManager->StopAll();
    }
}

TEST_F(ManagerLive, ListenerFailureOnTheMonitorEndsOnlyTheMonitor) {
    const std::string strVeth = NewName("mv");
    MakeVeth(strVeth, "10.77.8.1", "", "10.77.8.2");

    struct Case {
        EThrow eThrow;
        const char* szAddress;
        bool bHasDescription;
    };
    for (const Case& c :
         {Case{EThrow::Zarn, "10.77.9.1", true}, Case{EThrow::Other, "10.77.10.1", false}}) {
        SCOPED_TRACE(c.szAddress);
        const std::string strBare = NewName("mb");
        MakeBare(strBare, true);
        m_listener.Clear();
        m_listener.ThrowFor(strBare, c.eThrow);
        StartAndWait();
        ASSERT_TRUE(WaitUntil([&] { return IsCapturing(strVeth) && IsCapturing("lo"); }));

        ShOk("ip addr add " + std::string(c.szAddress) + "/24 dev " + strBare);
        ASSERT_TRUE(WaitUntil([&] { return !m_pManager->IsMonitorRunning(); }));

        // The monitor reports before it ends, so nothing more can come.
        const auto failures = m_listener.GetFailures();
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].bHasDescription, c.bHasDescription);
        if (c.bHasDescription) {
            EXPECT_STREQ(failures[0].strDescription.c_str(), "refused by the test");
        }
        EXPECT_TRUE(IsLocal(c.szAddress)) << "published although the announcement failed";
        EXPECT_TRUE(IsCapturing(strVeth));
        EXPECT_TRUE(IsCapturing("lo"));
        ExpectCaptured("10.77.8.2", "10.77.8.1", 7008);

        m_pManager->StopAll();
        m_listener.ThrowFor("", EThrow::None);
    }
}

TEST_F(ManagerLive, StopAllTwiceThenStartAgainFollowsChanges) {
    const std::string strBare = NewName("rb");
    MakeBare(strBare, true);
    StartAndWait();
    ASSERT_TRUE(WaitUntil([&] { return IsCapturing("lo"); }));

    m_pManager->StopAll();
    EXPECT_FALSE(m_pManager->IsMonitorRunning());
    EXPECT_EQ(m_pManager->GetAdapterCount(), 0u);
    m_pManager->StopAll();
    EXPECT_EQ(m_pManager->GetAdapterCount(), 0u);
    EXPECT_TRUE(IsLocal("127.0.0.1")) << "answers from the last enumeration";

    m_listener.Clear();
    StartAndWait();
    ASSERT_TRUE(WaitUntil([&] { return IsCapturing("lo"); }));
    EXPECT_EQ(m_listener.CountFor("lo"), 1u);

    ShOk("ip addr add 10.77.11.1/24 dev " + strBare);
    EXPECT_TRUE(WaitUntil([&] { return IsCapturing(strBare) && IsLocal("10.77.11.1"); }));
    EXPECT_TRUE(m_listener.GetFailures().empty());
}

TEST_F(ManagerLive, AddressStormUnderTrafficEndsInTheRightState) {
    const std::string strVeth = NewName("wv"), strKeep = NewName("wk"), strDrop = NewName("wd");
    MakeVeth(strVeth, "10.77.12.1", "", "10.77.12.2");
    MakeBare(strKeep, true);
    MakeBare(strDrop, true);
    StartAndWait();
    ASSERT_TRUE(WaitUntil([&] { return IsCapturing(strVeth); }));

    CUdpSink sink("10.77.12.1", 7012);
    std::atomic<bool> bStop{false};
    std::thread sender([&] {
        m_peer.RunIn([&] {
            for (int i = 0; i < 5000 && !bStop.load(); ++i) {
                SendUdp("10.77.12.2", "10.77.12.1", 7012, 200, 4);
            }
        });
    });

    // About 650 changes in two bursts: addresses come and go on both devices. No link goes down
    // here: a device that goes down between a listing and its opening fails the listener, which
    // ends the monitor by design. At the end strKeep holds one IPv4 and one IPv6 address and
    // strDrop holds none.
    std::string strBatch;
    const int kRounds = 80;
    for (int i = 0; i < kRounds; ++i) {
        const std::string strA = "10.77.13." + std::to_string(i + 1) + "/32";
        const std::string strB = "10.77.14." + std::to_string(i + 1) + "/32";
        strBatch += "address add " + strA + " dev " + strKeep + "\n";
        strBatch += "address add " + strB + " dev " + strDrop + "\n";
        strBatch += "address del " + strA + " dev " + strKeep + "\n";
        strBatch += "address del " + strB + " dev " + strDrop + "\n";
    }
    strBatch += "address add 10.77.13.200/32 dev " + strKeep + "\n";
    strBatch += "address add fd77:13::1/128 dev " + strKeep + " nodad\n";
    for (int nPass = 0; nPass < 2; ++nPass) {
        ShOk("ip -batch - <<'EOF'\n" + strBatch + "EOF");
        if (nPass == 0) {
            ShOk("ip addr flush dev " + strKeep);
        }
    }

    const bool bSettled = WaitUntil(
        [&] {
            CAdapter* pDrop = m_listener.AdapterOf(strDrop);
            return IsCapturing(strKeep) && IsCapturing(strVeth) &&
                   (pDrop == nullptr || !pDrop->IsRunning()) && IsLocal("10.77.13.200") &&
                   IsLocal6("fd77:13::1") && !IsLocal("10.77.13.1") && !IsLocal("10.77.14.1");
        },
        kStormTimeoutMs);
    bStop.store(true);
    sender.join();
    ASSERT_TRUE(bSettled);

    for (int i = 0; i < kRounds; ++i) {
        const std::string strA = "10.77.13." + std::to_string(i + 1);
        const std::string strB = "10.77.14." + std::to_string(i + 1);
        EXPECT_FALSE(IsLocal(strA.c_str())) << strA;
        EXPECT_FALSE(IsLocal(strB.c_str())) << strB;
    }
    EXPECT_TRUE(m_pManager->IsMonitorRunning());
    EXPECT_GT(m_listener.GetPackets(), 0u);
    EXPECT_TRUE(m_listener.GetFailures().empty());
}

} // namespace
