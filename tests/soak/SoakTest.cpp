// Soak and fault tests: capture started and stopped under churn, device and address storms,
// descriptor and thread exhaustion and malformed filters, all in namespaces the tests create.
#include "AdapterManager.h"
#include "FakeMeterView.h"
#include "NetNs.h"
#include "OrvekMeter.h"
#include "ZarnException.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace orvektest;

namespace {

const auto Str = [](int n) { return std::to_string(n); };

// Every test ends with no capture and gives back every descriptor and thread it found.
class CSoakTest : public testing::Test {
protected:
    static long Count(const char* szDir) {
        return std::distance(std::filesystem::directory_iterator(szDir), {});
    }
    // Veth pairs strPrefixN/pstrPrefixN on strNetN.1 and strNetN.2 (each a /24).
    void Links(const std::string& strPrefix, const std::string& strNet, int nLinks) {
        for (int i = 0; i < nLinks; ++i) {
            const std::string strName = strPrefix + Str(i), strHost = strNet + Str(i);
            MakeVethPair(m_peer, {strName, strHost + ".1", ""},
                         {"p" + strName, strHost + ".2", ""});
        }
    }
    void Send(const std::string& strNet, uint16_t nPort, size_t nPayload, size_t nCount) {
        m_peer.RunIn([=] { SendUdp(strNet + ".2", strNet + ".1", nPort, nPayload, nCount); });
    }
    // Maps each listed device that is up with an address to whether it is captured. A capture
    // that ended under a listed device (half-open, or its thread gone) fails.
    std::map<std::string, bool> ListAdapters() const {
        std::map<std::string, bool> adapters;
        for (const DeviceState& state : m_manager.GetDeviceStates()) {
            EXPECT_NE(state.strError, "capture ended") << state.strName;
            if (state.eState == EDeviceState::Capturing || state.eState == EDeviceState::Failed) {
                adapters[state.strName] = state.eState == EDeviceState::Capturing;
            }
        }
        return adapters;
    }
    bool IsAnyCaptured() const {
        return std::ranges::any_of(ListAdapters(), [](const auto& e) { return e.second; });
    }
    // Sends to the links strPrefixN (on strNetN.0/24) and waits until the meter counted exactly
    // what the devices it captures received; tells which of them it captures.
    std::vector<bool> ExpectCapturedLinksCount(const std::string& strPrefix,
                                               const std::string& strNet, int nLinks) {
        const std::map<std::string, bool> adapters = ListAdapters();
        const int64_t nRecvBefore = m_meter.GetRecvBytes();
        int64_t nExpected = 0;
        std::vector<bool> captured;
        for (int i = 0; i < nLinks; ++i) {
            const std::string strName = strPrefix + Str(i);
            const IfCounters before = ReadCounters(strName);
            Send(strNet + Str(i), 5004, 100, 5);
            captured.push_back(adapters.count(strName) && adapters.at(strName));
            nExpected += captured.back() ? NetworkBytesSince(strName, before, false) : 0;
        }
        EXPECT_TRUE(WaitUntil([&] { return m_meter.GetRecvBytes() - nRecvBefore == nExpected; }));
        return captured;
    }
    void TearDown() override {
        m_meter.StopCapture();
        // A joined thread may linger in /proc for a moment after join returns.
        EXPECT_TRUE(WaitUntil([this] { return Count("/proc/self/task") == m_nThreads; }));
        EXPECT_EQ(Count("/proc/self/fd"), m_nFds) << "descriptors leaked";
        EXPECT_FALSE(IsAnyCaptured());
        // Nothing is reported: a device vanishing under a refresh is no failure.
        EXPECT_EQ(m_view.GetMessages(), std::vector<Texts>());
    }

    CFakeView m_view; // never served: at most one update stays pending
    CAdapterManager m_manager;
    COrvekMeter m_meter{m_view, m_manager, m_manager};
    CPeerNs m_peer;
    const long m_nFds = Count("/proc/self/fd");
    const long m_nThreads = Count("/proc/self/task");
};

// Under a running capture devices come and go, links flap and a storm of address news ends it.
// In the end every remaining device is captured, every deleted one closed, the device that stayed
// lost nothing, and the published addresses show the storm's end state.
TEST_F(CSoakTest, DeviceChurnAndAddressStormWhileCapturing) {
    Links("keep", "10.82.", 1);
    Links("flap", "10.81.", 1);
    CUdpSink sink("10.82.0.1", 5002);
    const IfCounters start = ReadCounters("keep0");
    m_meter.StartCapture();
    std::map<std::string, bool> expected = {{"keep0", true}, {"flap0", true}};
    for (int i = 0; i < 20; ++i) {
        // A new device comes up while one captured before is deleted and flap0 goes down and up.
        const std::string strNew = "churn" + Str(i), strOld = "churn" + Str(i - 2);
        ShOk("ip link add " + strNew + " type veth peer name p" + strNew + " netns " +
             m_peer.GetPath() + " && ip addr add 10.82." + Str(10 + i) + ".1/24 dev " + strNew +
             " && ip link set " + strNew + " up && ip link set flap0 down && " +
             (i >= 2 ? "ip link del " + strOld + " && " : "") + "ip link set flap0 up");
        expected[strNew] = true;
        expected[strOld] = false;
        Send("10.82.0", 5002, 100, 5);
    }
    // The storm comes last: a refresh that shows its end state has seen the final device list.
    std::map<std::string, bool> addresses; // address -> still assigned at the end
    std::string strBatch;
    for (int i = 1; i <= 200; ++i) {
        // Without a prefix length ip takes a host address.
        for (const std::string& str :
             {"10.83." + Str(i / 100) + "." + Str(i % 100), "fd83::" + Str(i)}) {
            addresses[str] = i % 3 == 0;
            strBatch += "addr add " + str + " dev keep0 nodad\n" +
                        (addresses[str] ? "" : "addr del " + str + " dev keep0\n");
        }
    }
    ShOk("ip -batch - <<'EOF'\n" + strBatch + "EOF");
    EXPECT_TRUE(WaitUntil([&] {
        return std::all_of(addresses.begin(), addresses.end(), [this](const auto& address) {
            return address.second == IsLocal(*m_manager.ShareAddressTable(), address.first);
        });
    }));
    EXPECT_TRUE(m_manager.IsMonitorRunning());
    EXPECT_TRUE(WaitUntil(
        [&] { return m_meter.GetRecvBytes() == NetworkBytesSince("keep0", start, false); }));
    // Every device that is left is captured; deleted ones are no longer listed. The refresh
    // publishes the addresses before it reopens the devices that went down: those first.
    WaitUntil([&] {
        const std::vector<DeviceState> states = m_manager.GetDeviceStates();
        return std::ranges::all_of(expected, [&](const auto& e) {
            return !e.second || std::ranges::any_of(states, [&](const DeviceState& state) {
                return state.strName == e.first && state.eState == EDeviceState::Capturing;
            });
        });
    });
    std::map<std::string, bool> actual = ListAdapters();
    std::erase_if(expected, [&](const auto& e) { return !e.second && !actual.count(e.first); });
    EXPECT_EQ(actual, expected);
}

// Descriptors run out at every point of Start in turn: a clear error, nothing half-open, the
// devices that opened keep counting, and capture recovers once descriptors are back.
TEST_F(CSoakTest, DescriptorExhaustionFailsCleanlyAtEveryStep) {
    Links("lim", "10.84.", 4);
    // UndefinedBehaviorSanitizer checks a type the first time it meets it through a pipe, which
    // fails with no descriptor left: meet every type of the failure paths before the limit bites.
    m_meter.StartCapture();
    m_meter.StopCapture();
    const CZarnException warmOsError(EMFILE);
    const CZarnException warmDescribed(0, "");
    EXPECT_FALSE(warmOsError.HasDescription() || !warmDescribed.HasDescription());
    bool bStarted = false; // with every device
    int nSpare = 0;
    for (; nSpare < 64 && !bStarted; ++nSpare) {
        SCOPED_TRACE("descriptors to spare: " + Str(nSpare));
        // A lowered limit bounds the numbers of new descriptors: count from the lowest free one.
        const int hFree = dup(0);
        close(hFree);
        rlimit saved{};
        getrlimit(RLIMIT_NOFILE, &saved);
        const rlimit lowered{static_cast<rlim_t>(hFree + nSpare), saved.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
        // Devices that could not open are named, each with the OS error; the others count.
        std::string strFailures;
        try {
            strFailures = m_meter.StartCapture();
            bStarted = strFailures.empty();
            EXPECT_TRUE(bStarted || strFailures.find(strerror(EMFILE)) != std::string::npos)
                << strFailures;
        } catch (const CZarnException& e) {
            EXPECT_TRUE(e.HasDescription()
                            ? std::strstr(e.GetDescription(), strerror(EMFILE)) != nullptr
                            : e.GetCode() == EMFILE)
                << e.GetCode() << " " << e.GetDescription();
        }
        setrlimit(RLIMIT_NOFILE, &saved);
        const std::vector<bool> captured = ExpectCapturedLinksCount("lim", "10.84.", 4);
        for (int i = 0; i < 4; ++i) {
            const bool bNamed = strFailures.find("lim" + Str(i)) != std::string::npos;
            EXPECT_TRUE(!captured[i] || !bNamed) << "lim" << i << " counted and named failed";
        }
        EXPECT_TRUE(!bStarted || std::ranges::count(captured, false) == 0);
        m_meter.StopCapture();
    }
    // Both ends: the limit bit at first, and in the end Start had enough: capture recovered.
    EXPECT_TRUE(bStarted);
    EXPECT_GT(nSpare, 1);
}

// Capture threads cannot start while devices still open: in a child whose address space holds
// the rings and one large thread stack but not two, Start fails with the OS error (naming the
// devices when they failed with it), leaves nothing half-open, a device that started counts
// exactly, and Stop closes everything.
TEST_F(CSoakTest, ThreadCreationFailureFailsStartCleanly) {
    Links("thr", "10.86.", 3);
    const pid_t nPid = fork();
    ASSERT_GE(nPid, 0);
    if (nPid == 0) {
        // The child's failures print as usual and come back through its exit status.
        StarveThreadCreation(256, size_t(320) << 20);
        try {
            // Devices that could not start name the OS error; the monitor's own thread may be
            // the one that fails, and then Start does.
            const std::string strFailures = m_meter.StartCapture();
            EXPECT_TRUE(strFailures.find(strerror(EAGAIN)) != std::string::npos ||
                        strFailures.find(strerror(ENOMEM)) != std::string::npos)
                << "started: " << strFailures;
        } catch (const CZarnException& e) {
            // The devices' failure names them; the monitor's is the OS error alone.
            EXPECT_TRUE(e.GetCode() == EAGAIN || e.GetCode() == ENOMEM) << e.GetCode();
            EXPECT_EQ(DescribeError(e).find(e.HasDescription() ? "thr" : ""), 0u)
                << DescribeError(e);
            EXPECT_NE(DescribeError(e).find(strerror(e.GetCode())), std::string::npos);
        }
        StarveThreadCreation(8, RLIM_INFINITY / 2);
        const std::vector<bool> captured = ExpectCapturedLinksCount("thr", "10.86.", 3);
        EXPECT_LE(std::ranges::count(captured, true), 1); // only one stack fits
        m_meter.StopCapture();
        EXPECT_NO_THROW(m_meter.StartCapture());
        m_meter.StopCapture();
        EXPECT_FALSE(IsAnyCaptured());
        EXPECT_EQ(Count("/proc/self/fd"), m_nFds) << "descriptors leaked";
        EXPECT_EQ(m_view.GetMessages(), std::vector<Texts>());
        _exit(HasFailure() ? 1 : 0);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(nPid, &nStatus, 0), nPid);
    EXPECT_EQ(nStatus, 0) << "child status";
}

// Refused filters (none names a host, so no resolver is asked) each fail Start with libpcap's text
// and leave nothing open, no descriptor and no thread (the fixture counts them). That capture
// works again after failed starts, the descriptor test shows.
TEST_F(CSoakTest, MalformedFiltersThrowLibpcapTextAndLeaveNothingOpen) {
    Links("filt", "10.85.", 1);
    const std::string filters[] = {
        "(tcp",           "tcp and and udp", "port 70000", "vlan 5000", "port nosuchservice",
        "net 10.1.2.3/8", "ip[0:3] = 1",     ")]&|"};
    for (const std::string& strFilter : filters) {
        SCOPED_TRACE("filter \"" + strFilter + "\"");
        m_meter.SetCaptureSettings(strFilter, false);
        ExpectDescribedError([&] { m_meter.StartCapture(); }, PcapFilterError(strFilter));
        EXPECT_FALSE(m_manager.IsMonitorRunning());
        EXPECT_FALSE(IsAnyCaptured());
    }
}

} // namespace
