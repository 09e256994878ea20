// The system service's pure parts: a shared count seen from a client's Start, and a client's
// meter.

#include "ClientMeter.h"

#include "ZarnException.h"

#include <gtest/gtest.h>

namespace {

DeviceSnapshot Device(const std::string& strName, uint64_t nId, int64_t nSent, int64_t nRecv) {
    DeviceSnapshot device;
    device.strName = strName;
    device.nCounterId = nId;
    device.nSentBytes = nSent;
    device.nRecvBytes = nRecv;
    device.nSentPackets = nSent / 100;
    device.nRecvPackets = nRecv / 100;
    return device;
}

// Totals, devices of the same counters and application rows less the base; a device whose
// counters changed (forgotten and back) counts from zero; rows that attribution emptied go, and
// the pending row is what the others leave of the totals. One name of two users is two rows.
TEST(DaemonUnit, SubtractSnapshotCountsFromTheBase) {
    MeterSnapshot base;
    base.nSentBytes = 1000;
    base.nRecvBytes = 5000;
    base.devices = {Device("eth0", 1, 700, 4000), Device("wlan0", 2, 300, 1000)};
    base.apps = {{"firefox", 0, 600, 3000, 4, 0, 1000},
                 {"ssh", 0, 100, 100, 1, 0},
                 {"not attributed yet", 1, 300, 1900, 0, 0}};
    MeterSnapshot now = base;
    now.nSentBytes = 1500;
    now.nRecvBytes = 9000;
    now.devices = {Device("eth0", 1, 900, 7000), Device("wlan0", 3, 300, 1000)};
    now.apps = {{"firefox", 0, 1070, 7000, 4, 0, 1000},
                {"firefox", 0, 30, 0, 1, 0, 1001},
                {"ssh", 0, 100, 100, 0, 0},
                {"not attributed yet", 1, 300, 1900, 0, 0}};
    now.nTakenNs = 42;

    const MeterSnapshot since = SubtractSnapshot(now, base);
    EXPECT_EQ(since.nSentBytes, 500);
    EXPECT_EQ(since.nRecvBytes, 4000);
    EXPECT_EQ(since.nTakenNs, 42);
    ASSERT_EQ(since.devices.size(), 2u);
    EXPECT_EQ(since.devices[0].nSentBytes, 200);
    EXPECT_EQ(since.devices[0].nRecvBytes, 3000);
    EXPECT_EQ(since.devices[0].nRecvPackets, 30);
    EXPECT_EQ(since.devices[1].nSentBytes, 300); // other counters: all of them
    int64_t nSent = 0, nRecv = 0;
    for (const AppUsage& app : since.apps) {
        EXPECT_NE(app.strName, "ssh");
        nSent += app.nSentBytes;
        nRecv += app.nRecvBytes;
    }
    EXPECT_EQ(nSent, 500);
    EXPECT_EQ(nRecv, 4000);
    EXPECT_EQ(since.apps.at(0), (AppUsage{"firefox", 0, 470, 4000, 4, 0, 1000}));
    EXPECT_EQ(since.apps.at(1), (AppUsage{"firefox", 0, 30, 0, 1, 0, 1001}));

    const MeterSnapshot none = SubtractSnapshot(now, now);
    EXPECT_EQ(none.nSentBytes + none.nRecvBytes, 0);
    // Rows with connections stay, without bytes.
    EXPECT_EQ(none.apps, (std::vector<AppUsage>{{"firefox", 0, 0, 0, 4, 0, 1000},
                                                {"firefox", 0, 0, 0, 1, 0, 1001}}));
    EXPECT_EQ(none.devices.size(), 2u);
}

// The always-on meter as a client meter sees it: a snapshot the test moves.
class CFakeShared final : public IMeter {
public:
    void SetCaptureSettings(const std::string&, bool) override {}
    std::string GetFilter() const override { return "tcp or udp"; }
    bool IsPromiscuous() const override { return false; }
    void SetExcludedDevices(const std::set<std::string>&) override {}
    std::set<std::string> GetExcludedDevices() const override { return {}; }
    void SetTunnels(const std::map<std::string, std::string>&) override {}
    void SetNotTunnels(const std::set<std::string>&) override {}
    std::vector<DeviceState> GetDeviceStates() const override { return {}; }
    void RefreshDeviceStates() override {}
    std::string StartCapture() override { return ""; }
    void StopCapture() override {}
    MeterSnapshot GetSnapshot() const override { return m_snapshot; }
    int64_t GetRecvBytes() const override { return m_snapshot.nRecvBytes; }
    int64_t GetSentBytes() const override { return m_snapshot.nSentBytes; }
    void UpdateCounters() override {}
    void OnException(const CZarnException&) override {}
    void OnCurrentException() override {}
    std::string DescribeFailure(const CZarnException& e) const override {
        return e.GetDescription();
    }
    void Move(int64_t nSent, int64_t nRecv) {
        m_snapshot.nSentBytes += nSent;
        m_snapshot.nRecvBytes += nRecv;
        m_snapshot.devices[0].nSentBytes += nSent;
        m_snapshot.devices[0].nRecvBytes += nRecv;
    }
    MeterSnapshot m_snapshot{1000, 5000, {Device("eth0", 1, 1000, 5000)}};
};

struct CNoView final : IMeterView {
    void ShowCounters(int64_t, int64_t) override {}
    void ShowMessage(const std::string&, const char*) override {}
    void Post(std::function<void()>, int) override {}
};

std::pair<int64_t, int64_t> Totals(const IMeter& meter) {
    const MeterSnapshot snapshot = meter.GetSnapshot();
    EXPECT_EQ(snapshot.devices.at(0).nSentBytes, snapshot.nSentBytes);
    return {snapshot.nSentBytes, snapshot.nRecvBytes};
}

// An ordinary user sees its own applications and the reasons by name, each other user's
// applications as one row of that user (named from the user database, else by number); the rows
// still add up.
TEST(DaemonUnit, OtherUsersApplicationsAreShownAsTheirUsersRows) {
    constexpr uint32_t kUnknown = 4'000'000'000U;
    const std::vector<AppUsage> rows{
        {"firefox", 0, 10, 100, 2, 1, 1000},   {"firefox", 0, 20, 200, 1, 1, 0},
        {"sshd.service", 0, 30, 300, 3, 0, 0}, {"secret-app", 0, 40, 400, 4, 2, kUnknown},
        {"not attributed yet", 7, 5, 5, 0, 0}, {"user root", 0, 1, 1, 1, 3, 0}};
    const std::vector<AppUsage> shown = ShowAppsTo(rows, 1000);
    EXPECT_EQ(shown, (std::vector<AppUsage>{{"firefox", 0, 10, 100, 2, 1, 1000},
                                            {"user root", 0, 51, 501, 5, 3, 0},
                                            {"uid 4000000000", 0, 40, 400, 4, 3, kUnknown},
                                            {"not attributed yet", 7, 5, 5, 0, 0}}));
    EXPECT_EQ(ShowAppsTo(rows, 0).size(), 6u); // root's three by name, two users', the reason

    // Processes and command lines reach the row's owner alone, whoever else sees the row.
    std::vector<AppUsage> programs{{"curl", 0, 1, 1, 1, 2, 1000, {42, 43}, "curl -O x"},
                                   {"wget", 0, 1, 1, 1, 2, 0, {7}, "wget y"}};
    const std::vector<AppUsage> own = ShowAppsTo(programs, 1000);
    ASSERT_EQ(own.size(), 2u);
    EXPECT_EQ(own[0].vecPids, (std::vector<int32_t>{42, 43}));
    EXPECT_EQ(own[0].strCommand, "curl -O x");
    EXPECT_EQ(own[1].strName, "user root");
    EXPECT_TRUE(own[1].vecPids.empty() && own[1].strCommand.empty());
    HideOthersProcesses(programs, 1000); // a privileged client's view: every row by name
    EXPECT_EQ(programs[0].vecPids.size(), 2u);
    EXPECT_TRUE(programs[1].vecPids.empty() && programs[1].strCommand.empty());
    // Rows of one name but many users (JSON, metrics) are no one's processes.
    programs[1] = {"curl", 0, 1, 1, 1, 2, 0, {7}, "curl z"};
    const std::vector<AppUsage> merged = MergeAppOwners(programs);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_TRUE(merged[0].vecPids.empty() && merged[0].strCommand.empty());
    EXPECT_EQ(CommandOfCmdline(std::string("a\0b\1c\0\0", 7)), "a b?c");
    EXPECT_EQ(CommandOfCmdline(std::string(1000, 'x')).size(), AppUsage::kMaxCommandBytes);

    // Connections: the viewer's own only; another user's and the unattributed are counted.
    std::vector<ConnectionUsage> connections(4);
    connections[0].nOwnerUid = 1000;
    connections[1].nOwnerUid = 0;
    connections[2].nOwnerUid = 1000;
    int64_t nOthers = 5;
    ShowConnectionsTo(connections, nOthers, 1000);
    EXPECT_EQ(connections.size(), 2u);
    EXPECT_EQ(nOthers, 7);
}

// A client with the service's settings counts the shared meter from its Start; a Stop holds its
// counts and a later Start counts on from them. Other settings ask for a capture of its own, and
// a refusal is the Start's failure, with the service's reason.
TEST(DaemonUnit, ClientMeterSharesFromItsStartAndAsksForItsOwn) {
    CFakeShared shared;
    CNoView view;
    std::vector<bool> claims;
    CClientMeter client(shared, view, [&](bool bClaim) {
        claims.push_back(bClaim);
        return std::string("no more captures");
    });
    EXPECT_EQ(Totals(client), (std::pair<int64_t, int64_t>{0, 0}));
    EXPECT_EQ(client.StartCapture(), "");
    EXPECT_TRUE(client.IsShared());
    shared.Move(500, 4000);
    EXPECT_EQ(Totals(client), (std::pair<int64_t, int64_t>{500, 4000}));
    client.StopCapture();
    shared.Move(7, 7);
    EXPECT_EQ(Totals(client), (std::pair<int64_t, int64_t>{500, 4000}));
    EXPECT_EQ(client.StartCapture(), "");
    shared.Move(100, 100);
    EXPECT_EQ(Totals(client), (std::pair<int64_t, int64_t>{600, 4100}));

    client.SetCaptureSettings("udp", false);
    try {
        client.StartCapture();
        ADD_FAILURE() << "started";
    } catch (const CZarnException& e) {
        EXPECT_EQ(std::string(e.GetDescription()), "no more captures");
    }
    EXPECT_EQ(claims, std::vector<bool>{true});
}

} // namespace
