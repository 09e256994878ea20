// The system service's pure parts: a shared count seen from a client's Start, which settings
// share it, and the command line.

#include "ClientMeter.h"
#include "DaemonOptions.h"

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
// the pending row is what the others leave of the totals.
TEST(DaemonUnit, SubtractSnapshotCountsFromTheBase) {
    MeterSnapshot base;
    base.nSentBytes = 1000;
    base.nRecvBytes = 5000;
    base.devices = {Device("eth0", 1, 700, 4000), Device("wlan0", 2, 300, 1000)};
    base.apps = {{"firefox", 0, 600, 3000, 4, 0},
                 {"ssh", 0, 100, 100, 1, 0},
                 {"not attributed yet", 1, 300, 1900, 0, 0}};
    MeterSnapshot now = base;
    now.nSentBytes = 1500;
    now.nRecvBytes = 9000;
    now.devices = {Device("eth0", 1, 900, 7000), Device("wlan0", 3, 300, 1000)};
    now.apps = {{"firefox", 0, 1100, 7000, 4, 0},
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
    EXPECT_EQ(since.apps.front(), (AppUsage{"firefox", 0, 500, 4000, 4, 0}));

    const MeterSnapshot none = SubtractSnapshot(now, now);
    EXPECT_EQ(none.nSentBytes + none.nRecvBytes, 0);
    // Rows with connections stay, without bytes.
    EXPECT_EQ(none.apps, (std::vector<AppUsage>{{"firefox", 0, 0, 0, 4, 0}}));
    EXPECT_EQ(none.devices.size(), 2u);
}

TEST(DaemonUnit, OnlyTheServiceSettingsShareItsCount) {
    EXPECT_TRUE(AreServiceSettings("tcp or udp", false, {}, {}, {}));
    EXPECT_FALSE(AreServiceSettings("udp", false, {}, {}, {}));
    EXPECT_FALSE(AreServiceSettings("tcp or udp", true, {}, {}, {}));
    EXPECT_FALSE(AreServiceSettings("tcp or udp", false, {"eth0"}, {}, {}));
    EXPECT_FALSE(AreServiceSettings("tcp or udp", false, {}, {{"tun0", "eth0"}}, {}));
    EXPECT_FALSE(AreServiceSettings("tcp or udp", false, {}, {}, {"tun0"}));
}

TEST(DaemonUnit, CommandLine) {
    DaemonOptions options;
    std::string strError;
    ASSERT_TRUE(ParseDaemonOptions({}, options, strError));
    EXPECT_EQ(options.strStateDir, "/var/lib/orvek");
    EXPECT_EQ(options.strSocket, "/run/orvek/orvekd.sock");
    ASSERT_TRUE(
        ParseDaemonOptions({"--state-dir", "/tmp/s", "--socket=/tmp/s/x.sock"}, options, strError));
    EXPECT_EQ(options.strStateDir, "/tmp/s");
    EXPECT_EQ(options.strSocket, "/tmp/s/x.sock");
    EXPECT_FALSE(ParseDaemonOptions({"--sockets", "x"}, options, strError));
    EXPECT_NE(strError.find("--sockets"), std::string::npos) << strError;
    EXPECT_FALSE(ParseDaemonOptions({"stray"}, options, strError));
    for (const char* szOption : {"--state-dir", "--socket", "--help", "--version"}) {
        EXPECT_NE(std::string(DaemonUsage()).find(szOption), std::string::npos) << szOption;
    }
}

} // namespace
