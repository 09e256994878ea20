// The terminal view's screen without a terminal: crafted samples laid out at given sizes, and its
// command line.

#include "TopLayout.h"
#include "PlanUsage.h"
#include "TopOptions.h"
#include "TopPlan.h"
#include "Units.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

DeviceSample Device(const std::string& strName, int64_t nSent, int64_t nRecv, double dSentRate,
                    double dRecvRate) {
    DeviceSample row;
    row.device.strName = strName;
    row.device.strKind = "Ethernet";
    row.device.eState = EDeviceState::Capturing;
    row.device.nSentBytes = nSent;
    row.device.nRecvBytes = nRecv;
    row.dSentRate = dSentRate;
    row.dRecvRate = dRecvRate;
    return row;
}

AppSample App(const std::string& strName, int64_t nSent, int64_t nRecv, uint32_t nReason = 0) {
    AppSample row;
    row.app.strName = strName;
    row.app.nSentBytes = nSent;
    row.app.nRecvBytes = nRecv;
    row.app.nReason = nReason;
    row.app.nConnections = nReason == 0 ? 3 : 0;
    row.dSentRate = row.dRecvRate = 0;
    return row;
}

// Three devices, one of them a tunnel carried inside eth0, and three application rows.
TrafficSample Sample() {
    TrafficSample sample;
    sample.devices = {Device("eth0", 3000, 1000, 10, 10), Device("wlan0", 500, 2500, 100, 300),
                      Device("wg0", 0, 0, 0, 0)};
    DeviceSnapshot& tunnel = sample.devices[2].device;
    tunnel.strKind = "tunnel";
    tunnel.eState = EDeviceState::Carried;
    tunnel.strDetail = "eth0";
    tunnel.bCarried = true;
    tunnel.nInnerSentBytes = 2048;
    tunnel.nInnerRecvBytes = 1024;
    tunnel.bOuterKnown = true;
    tunnel.nOuterSentBytes = 2048 + 600;
    tunnel.nOuterRecvBytes = 1024 + 424;
    sample.devices[1].nDropsSinceCapture = 1234;
    sample.nSentBytes = 3500;
    sample.nRecvBytes = 3500;
    sample.dSentRate = 110;
    sample.dRecvRate = 310;
    sample.apps = {App("firefox", 100, 5000), App("sshd", 3000, 10),
                   App("not attributed: IP fragments", 9000, 9000, 2)};
    return sample;
}

ConnectionSample Connection(uint32_t nProtocol, const std::string& strRemote, uint32_t nPort,
                            const std::string& strApp, int64_t nSent, int64_t nRecv, double dRate) {
    ConnectionSample row;
    row.connection = {
        nProtocol, std::string("\x0a\x00\x00\x01", 4), strRemote, 40000, nPort, strApp, 0, nSent,
        nRecv};
    row.dSentRate = row.dRecvRate = dRate;
    return row;
}

std::vector<std::string> Texts(const TopScreen& screen) {
    std::vector<std::string> texts;
    for (const TopLine& line : screen.lines) {
        texts.push_back(line.strText);
    }
    return texts;
}

// The first word of each row, in screen order.
std::vector<std::string> RowNames(const TopScreen& screen) {
    std::vector<std::string> names;
    for (const TopLine& line : screen.lines) {
        if (line.eStyle == ELineStyle::Row && !line.strText.empty()) {
            names.push_back(line.strText.substr(0, line.strText.find(' ')));
        }
    }
    return names;
}

const std::string& ColumnNames(const TopScreen& screen) {
    for (const TopLine& line : screen.lines) {
        if (line.eStyle == ELineStyle::ColumnNames) {
            return line.strText;
        }
    }
    static const std::string strNone;
    return strNone;
}

bool Has(const std::string& strText, const std::string& strPart) {
    return strText.find(strPart) != std::string::npos;
}

} // namespace

// Every size fills the screen exactly, never wider, with the keys at the bottom; columns drop in
// the stated order and a tunnel keeps its overhead down to 80 columns.
TEST(TopLayout, ColumnsDropInOrderAndLinesFitTheScreen) {
    const TrafficSample sample = Sample();
    for (const auto& [nWidth, bDrops, bKind, bOverhead] :
         std::vector<std::tuple<int, bool, bool, bool>>{{120, true, true, true},
                                                        {100, true, true, true},
                                                        {90, false, true, true},
                                                        {80, false, false, true},
                                                        {70, false, false, false}}) {
        TopChoices choices;
        const TopScreen screen = LayoutTop(sample, choices, nWidth, 24, "");
        ASSERT_EQ(screen.lines.size(), 24u);
        for (const TopLine& line : screen.lines) {
            EXPECT_LE(line.strText.size(), static_cast<size_t>(nWidth)) << line.strText;
        }
        EXPECT_EQ(screen.lines.back().eStyle, ELineStyle::Keys);
        const std::string& strColumns = ColumnNames(screen);
        EXPECT_EQ(Has(strColumns, "DROPS"), bDrops) << nWidth << ": " << strColumns;
        EXPECT_EQ(Has(strColumns, "KIND"), bKind) << nWidth << ": " << strColumns;
        EXPECT_EQ(Has(strColumns, "OVERHEAD"), bOverhead) << nWidth << ": " << strColumns;
        for (const char* szAlways : {"DEVICE", "STATE", "SENT", "RECEIVED", "SENT/S", "RECV/S"}) {
            EXPECT_TRUE(Has(strColumns, szAlways)) << nWidth << ": " << strColumns;
        }
    }
    // At 80x24 the keys line is whole, the applications keep their connections.
    TopChoices choices;
    choices.eView = ETopView::Applications;
    const TopScreen apps = LayoutTop(sample, choices, 80, 24, "");
    EXPECT_TRUE(Has(ColumnNames(apps), "CONNS"));
    EXPECT_TRUE(Has(apps.lines.back().strText, "q quit")) << apps.lines.back().strText;
    // A tiny screen still has its keys line and nothing beyond its size.
    const TopScreen tiny = LayoutTop(sample, choices, 10, 2, "a failure");
    EXPECT_EQ(Texts(tiny), (std::vector<std::string>{"a failure", "d a c vie~"}));
}

// A tunnel's row shows its inner bytes and the outer bytes less them, as the Details window does;
// unknown outer bytes say so; the header has the totals and rates; a message sits above the keys.
TEST(TopLayout, RowsHeaderTunnelAndMessage) {
    TrafficSample sample = Sample();
    TopChoices choices;
    TopScreen screen = LayoutTop(sample, choices, 120, 12, "eth9: no such device\nsecond line");
    EXPECT_EQ(screen.lines[0].strText,
              "Sent 3.42 KiB  Received 3.42 KiB  Sent/s 110 B/s  Received/s 310 B/s");
    EXPECT_EQ(screen.lines[1].strText, "View: devices  Sort: total  Units: binary");
    const auto row = [&](const std::string& strName) {
        for (const TopLine& line : screen.lines) {
            if (line.strText.starts_with(strName + " ")) {
                return line.strText;
            }
        }
        return std::string();
    };
    const std::string strTunnel = row("wg0");
    EXPECT_TRUE(Has(strTunnel, "carried inside eth0")) << strTunnel;
    EXPECT_TRUE(Has(strTunnel, "2.00 KiB") && Has(strTunnel, "1.00 KiB")) << strTunnel;
    EXPECT_TRUE(strTunnel.ends_with(" 1.00 KiB")) << strTunnel; // 600 + 424 outer bytes more
    EXPECT_TRUE(Has(row("wlan0"), " 1,234 ")) << row("wlan0");
    EXPECT_EQ(screen.lines[9].strText, "eth9: no such device");
    EXPECT_EQ(screen.lines[9].eStyle, ELineStyle::Message);
    EXPECT_EQ(screen.lines[10].strText, "second line");

    sample.devices[2].device.bOuterKnown = false;
    screen = LayoutTop(sample, choices, 120, 12, "");
    EXPECT_TRUE(row("wg0").ends_with(" unknown")) << row("wg0");
}

// Each sort key orders the rows largest first; bytes not attributed stay last whatever the key.
TEST(TopLayout, SortKeysOrderRows) {
    const TrafficSample sample = Sample();
    for (const auto& [eSort, devices, apps] :
         std::vector<std::tuple<ETopSort, std::vector<std::string>, std::vector<std::string>>>{
             {ETopSort::Total, {"eth0", "wg0", "wlan0"}, {"firefox", "sshd", "not"}},
             {ETopSort::Sent, {"eth0", "wg0", "wlan0"}, {"sshd", "firefox", "not"}},
             {ETopSort::Received, {"wlan0", "wg0", "eth0"}, {"firefox", "sshd", "not"}},
             {ETopSort::Rate, {"wlan0", "eth0", "wg0"}, {"firefox", "sshd", "not"}}}) {
        TopChoices choices;
        choices.eSort = eSort;
        EXPECT_EQ(RowNames(LayoutTop(sample, choices, 100, 30, "")), devices) << TopSortName(eSort);
        choices.eView = ETopView::Applications;
        EXPECT_EQ(RowNames(LayoutTop(sample, choices, 100, 30, "")), apps) << TopSortName(eSort);
    }
}

// The three units: binary and decimal bytes, and bits a second for rates with decimal sizes.
TEST(TopLayout, UnitsOfSizesAndRates) {
    TrafficSample sample;
    sample.nSentBytes = 1'500'000;
    sample.dSentRate = 125'000;
    for (const auto& [eUnits, strSize, strRate] :
         std::vector<std::tuple<ETopUnits, std::string, std::string>>{
             {ETopUnits::Binary, "Sent 1.43 MiB", "Sent/s 122.1 KiB/s"},
             {ETopUnits::Decimal, "Sent 1.50 MB", "Sent/s 125.0 kB/s"},
             {ETopUnits::Bits, "Sent 1.50 MB", "Sent/s 1.0 Mbit/s"}}) {
        TopChoices choices;
        choices.eUnits = eUnits;
        const std::string strHeader = LayoutTop(sample, choices, 120, 5, "").lines[0].strText;
        EXPECT_TRUE(Has(strHeader, strSize) && Has(strHeader, strRate)) << strHeader;
    }
    // The unit is chosen after rounding; unknown rates are empty.
    EXPECT_EQ(FormatBitRate(0), "0 bit/s");
    EXPECT_EQ(FormatBitRate(124.9), "999 bit/s");
    EXPECT_EQ(FormatBitRate(124.95), "1.0 kbit/s");
    EXPECT_EQ(FormatBitRate(124'996), "1.0 Mbit/s");
    EXPECT_EQ(FormatBitRate(1.25e14), "1000.0 Tbit/s");
    EXPECT_EQ(FormatBitRate(-1), "");
}

// The filter keeps rows whose name holds it in any case; scrolling stays within the rows.
TEST(TopLayout, FilterAndScroll) {
    TrafficSample sample = Sample();
    TopChoices choices;
    choices.strFilter = "W";
    TopScreen screen = LayoutTop(sample, choices, 100, 30, "");
    EXPECT_EQ(RowNames(screen), (std::vector<std::string>{"wg0", "wlan0"}));
    EXPECT_EQ(screen.nRows, 2u);
    EXPECT_TRUE(Has(screen.lines[1].strText, "Filter: W"));
    choices.strFilter = "nothing";
    EXPECT_EQ(LayoutTop(sample, choices, 100, 30, "").nRows, 0u);

    for (int n = 0; n < 40; ++n) {
        sample.devices.push_back(Device("dev" + std::to_string(100 + n), 0, 100 - n, 0, 0));
    }
    choices = {};
    choices.nScroll = 1000;
    screen = LayoutTop(sample, choices, 100, 24, "");
    // 24 lines: header, view, column names, keys; 20 rows, the last ones.
    EXPECT_EQ(screen.nRowsShown, 20u);
    EXPECT_EQ(choices.nScroll, 43u - 20u);
    EXPECT_EQ(RowNames(screen).back(), "dev139");
}

// The connections' rows: protocol, ends (IPv6 in brackets, a remote's name when known and asked
// for), application and counts; sorted by each key; filtered by any of their texts; the rest of
// the meter's connections counted in the header; columns drop to fit 80.
TEST(TopLayout, ConnectionsShowEndsNamesAndApplications) {
    TrafficSample sample;
    const std::string strV6("\xfd\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01", 16);
    sample.connections = {
        Connection(6, std::string("\x0a\x00\x00\x02", 4), 443, "firefox", 100, 9000, 10),
        Connection(17, strV6, 53, "systemd-resolved", 5000, 200, 300),
        Connection(6, std::string("\x0a\x00\x00\x03", 4), 22, "ssh", 3000, 3000, 1)};
    sample.connections[1].connection.strLocal = strV6;
    sample.nOtherConnections = 1234;
    TopChoices choices;
    choices.eView = ETopView::Connections;
    std::vector<std::string> asked;
    TopExtras extras;
    extras.fnName = [&asked](const std::string& strAddress) -> std::string {
        asked.push_back(strAddress);
        return strAddress == std::string("\x0a\x00\x00\x02", 4) ? "www.example.org" : "";
    };
    TopScreen screen = LayoutTop(sample, choices, 120, 20, "", extras);
    EXPECT_EQ(ColumnNames(screen).substr(0, 5), "PROTO");
    EXPECT_TRUE(Has(screen.lines[1].strText, "View: connections  Sort: total"));
    EXPECT_TRUE(Has(screen.lines[1].strText, "(1,234 more connections)"))
        << screen.lines[1].strText;
    // By total: firefox, ssh, systemd-resolved.
    EXPECT_TRUE(Texts(screen)[3].starts_with("tcp   10.0.0.1:40000  www.example.org:443 "))
        << Texts(screen)[3];
    EXPECT_TRUE(Has(Texts(screen)[4], " 10.0.0.3:22 ")) << Texts(screen)[4];
    EXPECT_TRUE(Texts(screen)[5].starts_with("udp   [fd00::1]:40000 [fd00::1]:53 "))
        << Texts(screen)[5];
    EXPECT_EQ(asked.size(), 3u);

    // Names off: addresses, and nothing asked.
    choices.bNames = false;
    asked.clear();
    screen = LayoutTop(sample, choices, 120, 20, "", extras);
    EXPECT_TRUE(Has(Texts(screen)[1], "Names: off"));
    EXPECT_TRUE(Has(Texts(screen)[3], "10.0.0.2:443")) << Texts(screen)[3];
    EXPECT_TRUE(asked.empty());

    for (const auto& [eSort, strFirst] :
         std::vector<std::pair<ETopSort, std::string>>{{ETopSort::Total, "10.0.0.2:443"},
                                                       {ETopSort::Sent, "[fd00::1]:53"},
                                                       {ETopSort::Received, "10.0.0.2:443"},
                                                       {ETopSort::Rate, "[fd00::1]:53"}}) {
        choices.eSort = eSort;
        EXPECT_TRUE(Has(Texts(LayoutTop(sample, choices, 120, 20, ""))[3], strFirst))
            << TopSortName(eSort);
    }
    choices.eSort = ETopSort::Total;
    for (const std::string strFilter : {"SSH", "10.0.0.3", ":22"}) {
        choices.strFilter = strFilter;
        screen = LayoutTop(sample, choices, 120, 20, "");
        EXPECT_EQ(screen.nRows, 1u) << strFilter;
        EXPECT_TRUE(Has(Texts(screen)[3], " ssh ")) << strFilter;
    }
    choices.strFilter.clear();
    screen = LayoutTop(sample, choices, 80, 24, "");
    EXPECT_EQ(ColumnNames(screen).find("RECEIVED"), std::string::npos) << ColumnNames(screen);
    EXPECT_NE(ColumnNames(screen).find("REMOTE"), std::string::npos) << ColumnNames(screen);
    for (const std::string& strText : Texts(screen)) {
        EXPECT_LE(strText.size(), 80u) << strText;
    }
}

TEST(TopOptions, ParsedAndRefused) {
    TopOptions options;
    std::string strError;
    ASSERT_TRUE(ParseTopOptions({"--view", "applications", "--sort=rate", "--units", "bits",
                                 "--interval", "0.5", "--filter", "udp", "--promiscuous",
                                 "--exclude", "lo", "--exclude", "eth1"},
                                options, strError))
        << strError;
    EXPECT_EQ(options.choices.eView, ETopView::Applications);
    EXPECT_EQ(options.choices.eSort, ETopSort::Rate);
    EXPECT_EQ(options.choices.eUnits, ETopUnits::Bits);
    EXPECT_EQ(options.dInterval, 0.5);
    EXPECT_EQ(options.strFilter, "udp");
    EXPECT_TRUE(options.bPromiscuous);
    EXPECT_EQ(options.vecExclude, (std::vector<std::string>{"lo", "eth1"}));
    EXPECT_TRUE(options.choices.bNames);
    ASSERT_TRUE(ParseTopOptions({"--view", "connections", "--no-names"}, options, strError));
    EXPECT_EQ(options.choices.eView, ETopView::Connections);
    EXPECT_FALSE(options.choices.bNames);
    for (const auto& [args, strWhy] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--sort", "size"}, "--sort: 'size' is not total|sent|received|rate"},
             {{"--units", "octal"}, "'octal'"},
             {{"--view", "flows"}, "'flows'"},
             {{"--interval", "0"}, "--interval: '0'"},
             {{"--interval", "1e3"}, "'1e3'"},
             {{"--exclude", ""}, "an empty device name"},
             {{"--bogus"}, "--bogus"}}) {
        TopOptions kept;
        EXPECT_FALSE(ParseTopOptions(args, kept, strError)) << args[0];
        EXPECT_TRUE(Has(strError, strWhy)) << strError;
        EXPECT_EQ(kept.dInterval, 1.0);
    }
}

// The header's plan: read from the usage file when one is set; nothing for a file without one, a
// missing one or one that is no usage file.
TEST(TopPlan, ReadFromTheUsageFile) {
    const std::string strDir = testing::TempDir() + "orvek-top-plan-" + std::to_string(getpid());
    std::filesystem::create_directories(strDir);
    const std::string strPath = strDir + "/usage.sqlite";
    const int64_t nNow = 1'765'000'000;
    {
        CUsageStore store(strPath, CUsageStore::EAccess::Write, nNow);
        EXPECT_EQ(ReadPlanLine(strPath, nNow), "");
        Plan plan;
        plan.nCapBytes = 50'000'000'000;
        SavePlan(store, plan);
    }
    const std::string strLine = ReadPlanLine(strPath, nNow);
    EXPECT_TRUE(strLine.starts_with("Plan: 0.00 GB of 50.00 GB used")) << strLine;
    TopChoices choices;
    TopExtras extras;
    extras.strPlan = strLine;
    EXPECT_TRUE(Has(LayoutTop({}, choices, 200, 5, "", extras).lines[0].strText,
                    "  Plan: 0.00 GB of 50.00 GB"));

    EXPECT_EQ(ReadPlanLine(strDir + "/none.sqlite", nNow), "");
    std::ofstream(strDir + "/junk.sqlite") << "not a database";
    EXPECT_EQ(ReadPlanLine(strDir + "/junk.sqlite", nNow), "");
    std::filesystem::remove_all(strDir);
}

// The user's programs from a /proc of the test's making: named as the resolver names them,
// their ids ascending, the first one's command line made one safe line; an application named by
// its executable shows them, one of a group of the same name does not.
TEST(TopPrograms, ListedFromProcAndShownBesideTheirApplications) {
    namespace fs = std::filesystem;
    const fs::path root = testing::TempDir() + "orvek-top-proc-" + std::to_string(getpid());
    const auto process = [&](const std::string& strPid, const std::string& strExe,
                             const std::string& strCmdline, const std::string& strComm) {
        fs::create_directories(root / strPid);
        if (!strExe.empty()) {
            fs::create_symlink(strExe, root / strPid / "exe");
        }
        std::ofstream(root / strPid / "cmdline") << strCmdline;
        std::ofstream(root / strPid / "comm") << strComm;
    };
    process("124", "/usr/bin/curl", std::string("curl\0-s\0http://x\0", 18), "curl\n");
    process("123", "/usr/bin/curl (deleted)", std::string("curl\0-o\0a\nb\0", 12), "curl\n");
    process("999", "", "", "kworker/0:1\n");
    for (int n = 0; n < 4; ++n) {
        process(std::to_string(2000 + n), "/usr/bin/make", "make", "make\n");
    }
    const std::map<std::string, TopProgram> programs = ListOwnPrograms(getuid(), true, root);
    ASSERT_EQ(programs.size(), 3u);
    EXPECT_EQ(programs.at("curl"), (TopProgram{{123, 124}, "curl -o a?b"}));
    EXPECT_EQ(programs.at("kworker/0:1").pids, std::vector<pid_t>{999});
    EXPECT_TRUE(ListOwnPrograms(getuid() + 1, false, root).empty()); // another user's
    EXPECT_EQ(CommandLineOf(std::string(10000, 'x')).size(), kMaxCommandBytes);
    fs::remove_all(root);

    TrafficSample sample;
    sample.apps = {App("curl", 5000, 5000), App("make", 100, 100), App("org.curl", 1, 1)};
    sample.apps[0].app.nKind = sample.apps[1].app.nKind =
        static_cast<uint32_t>(EAppKind::Executable);
    sample.apps[2].app.strName = "curl"; // a group's name: not the user's program
    TopExtras extras;
    extras.programs = {{"curl", {{123, 124}, "curl -o a?b"}},
                       {"make", {{2000, 2001, 2002, 2003}, "make"}}};
    TopChoices choices;
    choices.eView = ETopView::Applications;
    TopScreen screen = LayoutTop(sample, choices, 120, 20, "", extras);
    EXPECT_TRUE(Has(Texts(screen)[3], " 3 123 124 ")) << Texts(screen)[3];
    EXPECT_TRUE(Texts(screen)[4].ends_with(" 2000 2001 2002 +1")) << Texts(screen)[4];
    EXPECT_FALSE(Has(Texts(screen)[5], "123")) << Texts(screen)[5];
    choices.bCommands = true;
    screen = LayoutTop(sample, choices, 120, 20, "", extras);
    EXPECT_TRUE(ColumnNames(screen).ends_with(" PIDS              COMMAND    "));
    EXPECT_TRUE(Texts(screen)[3].ends_with(" curl -o a?b")) << Texts(screen)[3];
    // The processes the meter saw hold the program's sockets come before those running it now.
    sample.apps[0].app.vecPids = {77};
    sample.apps[0].app.strCommand = "curl -O seen";
    screen = LayoutTop(sample, choices, 120, 20, "", extras);
    EXPECT_TRUE(Texts(screen)[3].ends_with(" 77                curl -O seen"))
        << Texts(screen)[3];
}
