#include "AdapterManager.h"
#include "NetNs.h"
#include "ZarnException.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace orvektest;

enum class EThrow { Zarn, Errno, Other };

// The fixture is the listener: records the announcements and asks for each device as the
// application does, packets to a sink. Members without a guard change only while no refresh runs
// (before Start, after StopAll).
struct ManagerLive : testing::Test, IAdapterListener, IPacketAnalyzer {
    // Capture threads: the packets are not looked at.
    void AnalyzePacket(PacketInfo*) override {}
    // Monitor thread: records the failure's description, "-" when it has none.
    void OnException(const CZarnException& e) override {
        std::lock_guard guard(m_mtx);
        m_failures.push_back(e.HasDescription() ? e.GetDescription() : "-");
    }
    // Opening threads, while the refresh waits for them: the user's thread reads the addresses
    // and the device states meanwhile (a look-up that waited for the refresh would never return),
    // then this records, and fails or asks for the device.
    CaptureRequest OnAdapterFound(const char* szDeviceName, bool, const OuterFlow&) override {
        std::thread([this] {
            EXPECT_TRUE(m_manager.ShareAddressTable()->ContainsIPv4(m_nProbe));
            (void)m_manager.GetDeviceStates();
            (void)m_manager.GetExcludedDevices();
        }).join();
        std::lock_guard guard(m_mtx);
        m_found.push_back(szDeviceName);
        if (m_strThrow == szDeviceName) {
            switch (m_eThrow) {
            case EThrow::Zarn:
                throw CZarnException(0, "refused by the test");
            case EThrow::Errno:
                throw CZarnException(EAGAIN);
            case EThrow::Other:
                throw std::runtime_error("refused by the test");
            }
        }
        CaptureRequest request;
        request.pAnalyzer = this;
        request.strFilter = "tcp or udp";
        return request;
    }
    // Copies a record under the lock.
    template <class T> T Get(const T& member) const {
        std::lock_guard guard(m_mtx);
        return member;
    }
    // Capture stops before the devices go, and they go before the next test lists devices. Every
    // veth in this private namespace is a test's.
    void TearDown() override {
        m_manager.StopAll();
        Sh("ip -o link show type veth | cut -d: -f2 | cut -d@ -f1 | xargs -rn1 ip link del dev");
    }
    // An up veth end with strNet.1 (its peer strNet.2) and strIPv6, each unless empty; without
    // them it has no address at all, not even an IPv6 link-local one. Every test names its
    // devices apart, so that nothing of an earlier test can be mistaken.
    std::string Veth(const std::string& strName, const std::string& strNet = "",
                     const std::string& strIPv6 = "") {
        const auto host = [&](const char* sz) { return strNet.empty() ? strNet : strNet + sz; };
        MakeVethPair(m_peer, {strName, host(".1"), strIPv6}, {strName + "p", host(".2"), ""});
        return strName;
    }
    bool IsLocal(const std::string& str) const {
        return orvektest::IsLocal(*m_manager.ShareAddressTable(), str);
    }
    EDeviceState StateOf(const std::string& strDevice) const {
        const auto states = m_manager.GetDeviceStates();
        const auto it = std::ranges::find(states, strDevice, &DeviceState::strName);
        return it == states.end() ? EDeviceState::Stopped : it->eState;
    }
    bool Capturing(const std::string& strDevice) const {
        return StateOf(strDevice) == EDeviceState::Capturing;
    }
    std::vector<DeviceFailure> Start() {
        m_found.clear();
        return m_manager.Start(this);
    }
    // Makes a change and waits for its outcome.
    bool Change(const std::string& strCommand, const std::function<bool()>& outcome) {
        ShOk(strCommand);
        return WaitUntil(outcome, 120000);
    }

    CAdapterManager m_manager;
    CPeerNs m_peer; // holds the far end of every veth of the test
    mutable std::mutex m_mtx;
    std::vector<std::string> m_found;    // guarded by m_mtx, in call order
    std::vector<std::string> m_failures; // guarded by m_mtx
    std::string m_strThrow;
    EThrow m_eThrow = EThrow::Zarn;
    uint32_t m_nProbe = inet_addr("127.0.0.1");
};

// Before Start the devices are listed with their states, none announced. Up devices with
// addresses are announced, each once; every announcement saw the complete map without waiting for
// the refresh. Every listed address is local, also a down device's; IPv6 entries yield no IPv4
// keys, so no zero key either. Loopback is listed, not captured.
TEST_F(ManagerLive, StartAnnouncesUpDevicesWithAddressesAndPublishesEveryAddress) {
    const std::string strVeth = Veth("mv", "10.77.1", "fd77:1::1");
    Veth("md", "10.77.2");
    Veth("ma");
    ShOk("ip link set down md");
    m_nProbe = inet_addr("10.77.1.1");
    m_manager.RefreshDeviceStates();
    EXPECT_EQ(StateOf(strVeth), EDeviceState::Ready);
    EXPECT_EQ(StateOf("md"), EDeviceState::Down);
    EXPECT_TRUE(Get(m_found).empty());
    Start();
    EXPECT_EQ(Get(m_found).size(), 1u);
    EXPECT_TRUE(Capturing(strVeth));
    EXPECT_EQ(StateOf("lo"), EDeviceState::Loopback);
    for (const char* szLocal : {"10.77.1.1", "127.0.0.1", "fd77:1::1", "::1", "10.77.2.1"}) {
        EXPECT_TRUE(IsLocal(szLocal)) << szLocal;
    }
    for (const char* szForeign : {"10.77.1.2", "fd77:1::2", "0.0.0.0"}) {
        EXPECT_FALSE(IsLocal(szForeign)) << szForeign;
    }
}

// A device's first address announces it. Two devices share an address, local until both lose it;
// a device without addresses is closed and announced again when it gains one. A deleted device is
// closed and its addresses go; its namesake is captured again. Link down closes (the address stays
// listed); link up reopens.
TEST_F(ManagerLive, DevicesCloseAndComeBack) {
    const std::string strA = Veth("ma"), strB = Veth("mb");
    ShOk("ip addr add 10.77.6.1/24 dev mb");
    Start();
    ASSERT_TRUE(Change("ip addr add 10.77.6.1/24 dev ma", [&] { return Capturing(strA); }));
    ASSERT_TRUE(Change("ip addr del 10.77.6.1/24 dev ma", [&] { return !Capturing(strA); }));
    EXPECT_TRUE(Capturing(strB));
    EXPECT_TRUE(IsLocal("10.77.6.1"));
    ASSERT_TRUE(
        Change("ip addr flush dev mb", [&] { return !Capturing(strB) && !IsLocal("10.77.6.1"); }));
    ASSERT_TRUE(Change("ip -6 addr add fd77:3::1/64 nodad dev ma",
                       [&] { return Capturing(strA) && IsLocal("fd77:3::1"); }));

    ASSERT_TRUE(
        Change("ip link del dev ma", [&] { return !Capturing(strA) && !IsLocal("fd77:3::1"); }));
    Veth(strA, "10.77.1");
    ASSERT_TRUE(WaitUntil([&] { return Capturing(strA) && IsLocal("10.77.1.1"); }));
    ASSERT_TRUE(Change("ip link set dev ma down", [&] { return !Capturing(strA); }));
    EXPECT_TRUE(IsLocal("10.77.1.1"));
    ASSERT_TRUE(Change("ip link set dev ma up", [&] { return Capturing(strA); }));
}

// A device whose opening fails is skipped: Start fails only when no device opened, and then with
// the failure itself, an OS error named with the device. While capturing, a failing device is
// reported once and not announced again until its own link or addresses change, or until the user
// excluded it and admitted it again; the monitor goes on following changes. The listener throws
// std::runtime_error at first, then an OS error, a described CZarnException from the third Start
// on.
TEST_F(ManagerLive, FailingDevicesAreSkippedReportedOnceAndRetriedOnlyWhenTheyChange) {
    const std::string strVeth = Veth("mv", "10.77.1"), strB = Veth("mb");
    const auto announcements = [&](const std::string& strDevice) {
        return std::ranges::count(Get(m_found), strDevice);
    };
    const std::string strText = "refused by the test";
    std::tie(m_strThrow, m_eThrow) = std::tuple{strVeth, EThrow::Other};
    ExpectDescribedError([&] { Start(); }, strText); // no device opened
    EXPECT_FALSE(m_manager.IsMonitorRunning());
    EXPECT_EQ(StateOf(strVeth), EDeviceState::Failed);
    m_manager.StopAll();
    m_eThrow = EThrow::Errno; // no text of its own: named with the device, its code kept
    try {
        Start();
        ADD_FAILURE() << "started with no device open";
    } catch (const CZarnException& e) {
        EXPECT_EQ(e.GetCode(), EAGAIN);
        EXPECT_EQ(e.GetDescription(), strVeth + ": " + std::strerror(EAGAIN));
    }
    m_manager.StopAll();
    m_eThrow = EThrow::Zarn;

    // With another device that opens, the failure is returned and capture goes on.
    ShOk("ip addr add 10.77.8.1/24 dev mb");
    EXPECT_EQ(DescribeDeviceFailures(Start()), strVeth + ": " + strText);
    EXPECT_TRUE(Capturing(strB));
    EXPECT_TRUE(m_manager.IsMonitorRunning());

    // Changes elsewhere refresh, but do not retry the failed device; its own change does, and it
    // fails again: reported once by the monitor, which goes on.
    ASSERT_TRUE(Change("ip addr add 10.77.9.1/24 dev mb", [&] { return IsLocal("10.77.9.1"); }));
    EXPECT_EQ(announcements(strVeth), 1);
    ASSERT_TRUE(
        Change("ip addr add 10.77.10.1/24 dev mv", [&] { return Get(m_failures).size() == 1; }));
    EXPECT_EQ(announcements(strVeth), 2);
    EXPECT_EQ(Get(m_failures), std::vector<std::string>{strVeth + ": " + strText});
    ASSERT_TRUE(Change("ip addr add 10.77.9.3/24 dev mb", [&] { return IsLocal("10.77.9.3"); }));
    EXPECT_TRUE(m_manager.IsMonitorRunning());
    EXPECT_EQ(Get(m_failures).size(), 1u);
    // Unticked and ticked again: tried again, unchanged as it is.
    m_manager.SetExcludedDevices({strVeth});
    ASSERT_TRUE(WaitUntil([&] { return StateOf(strVeth) == EDeviceState::Excluded; }));
    m_manager.SetExcludedDevices({});
    ASSERT_TRUE(WaitUntil([&] { return Get(m_failures).size() == 2; }));
    EXPECT_EQ(announcements(strVeth), 3);

    // Once the listener stops refusing, a change of the device opens it.
    {
        std::lock_guard guard(m_mtx); // the monitor reads it
        m_strThrow.clear();
    }
    ASSERT_TRUE(Change("ip addr add 10.77.10.2/24 dev mv", [&] { return Capturing(strVeth); }));
}

// What is stacked on a device that fails to open is captured on its own, from the start and after
// changes elsewhere, rather than said to count on a device that counts nothing.
TEST_F(ManagerLive, StackedDeviceIsCapturedOnItsOwnWhenItsLowerDeviceFails) {
    Veth("mf", "10.77.20");
    ShOk("ip link add mfm link mf type macvlan mode bridge && ip link set mfm up && "
         "ip addr add 10.77.21.1/24 dev mfm");
    m_strThrow = "mf";
    EXPECT_EQ(DescribeDeviceFailures(Start()), "mf: refused by the test");
    EXPECT_EQ(StateOf("mf"), EDeviceState::Failed);
    EXPECT_TRUE(Capturing("mfm"));
    ASSERT_TRUE(Change("ip addr add 10.77.22.1/24 dev mfm", [&] { return IsLocal("10.77.22.1"); }));
    EXPECT_EQ(StateOf("mf"), EDeviceState::Failed);
    EXPECT_TRUE(Capturing("mfm"));
}

// A device stacked on a tunnel is carried with it also when the tunnel's own capture fails: its
// frames are the tunnel's inner ones, which count on the tunnel's carrier, not in the totals again.
TEST_F(ManagerLive, DeviceStackedOnAFailingTunnelStaysCarried) {
    Veth("mt", "10.77.30");
    ShOk("ip link add mtv type vxlan id 43 local 10.77.30.1 remote 10.77.30.2 dstport 4789 dev mt "
         "&& ip link set mtv up && ip addr add 10.77.31.1/24 dev mtv && "
         "ip link add mtm link mtv type macvlan mode bridge && ip link set mtm up && "
         "ip addr add 10.77.32.1/24 dev mtm");
    m_strThrow = "mtv";
    EXPECT_EQ(DescribeDeviceFailures(Start()), "mtv: refused by the test");
    EXPECT_EQ(StateOf("mtv"), EDeviceState::Failed);
    EXPECT_EQ(StateOf("mtm"), EDeviceState::Carried);
    ASSERT_TRUE(Change("ip addr add 10.77.33.1/24 dev mtm", [&] { return IsLocal("10.77.33.1"); }));
    EXPECT_EQ(StateOf("mtv"), EDeviceState::Failed);
    EXPECT_EQ(StateOf("mtm"), EDeviceState::Carried);
}

// The monitor's news socket fails: said once, the monitor is down while it waits to restart, and a
// device that came meanwhile is opened once it is back.
TEST_F(ManagerLive, FailedNewsIsSaidOnceAndTheMonitorRestarts) {
    Veth("mr", "10.77.11");
    Start();
    m_manager.CloseMonitorNewsForTest();
    ASSERT_TRUE(WaitUntil([&] { return !m_manager.IsMonitorUp(); }));
    const std::string strNew = Veth("mn", "10.77.12");
    ASSERT_TRUE(WaitUntil([&] { return m_manager.IsMonitorUp() && Capturing(strNew); }));
    EXPECT_TRUE(m_manager.IsMonitorRunning());
    const std::vector<std::string> failures = Get(m_failures);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].rfind("Following the host's devices and addresses failed (", 0), 0u)
        << failures[0];
}
