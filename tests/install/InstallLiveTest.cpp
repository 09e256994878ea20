// The installed layout, installed here into a prefix of this test's own, as local users meet it:
// a user without capabilities who loads a style plugin of theirs into the installed window, the
// exporter started as its systemd unit starts it, and a helper installed for a capture group.

#include "NetNs.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <grp.h>
#include <regex>

using namespace orvektest;

namespace {

// The helper a client started: its only child.
pid_t HelperOf(const CChildProcess& client) {
    const std::string strPid = ShOut("pgrep -P " + std::to_string(client.GetPid()));
    return strPid.empty() ? -1 : std::stoi(strPid);
}

class InstalledLayout : public testing::Test {
protected:
    static void SetUpTestSuite() {
        char szPrefix[] = "/tmp/orvek-prefix-XXXXXX";
        ASSERT_NE(mkdtemp(szPrefix), nullptr);
        s_strPrefix = szPrefix;
        ShOk("chmod 755 " + s_strPrefix);
        Install("");
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(s_strPrefix); }
    // Installs the build into the prefix, for a capture group when one is named.
    static void Install(const std::string& strGroup) {
        ShOk((strGroup.empty() ? "env -u ORVEK_CAPTURE_GROUP" : "ORVEK_CAPTURE_GROUP=" + strGroup) +
             " cmake --install " ORVEK_BUILD_DIR " --prefix " + s_strPrefix + " >/dev/null");
    }

    InstalledLayout() {
        MakeVethPair(m_peer, {"in0", "10.86.0.1", ""}, {"in1", "10.86.0.2", ""});
        char szHome[] = "/tmp/orvek-home-XXXXXX";
        EXPECT_NE(mkdtemp(szHome), nullptr);
        m_strHome = szHome;
        ShOk("chmod 1777 " + m_strHome);
    }
    ~InstalledLayout() override {
        Sh("ip link del in0 2>/dev/null");
        std::filesystem::remove_all(m_strHome);
    }
    // 50 datagrams of 1000 network bytes received on in0.
    void Receive() {
        CUdpSink sink("10.86.0.1", 9000);
        m_peer.RunIn([] { SendUdp("10.86.0.2", "10.86.0.1", 9000, 972, 50); });
        ASSERT_EQ(sink.WaitFor(50), 50u);
    }
    // Starts the installed headless program with a setpriv prefix and options; waits for its
    // first line.
    std::unique_ptr<CChildProcess> StartHeadless(std::vector<std::string> args,
                                                 const std::vector<std::string>& options = {}) {
        args.insert(args.end(),
                    {s_strPrefix + "/bin/orvek-headless", "--json", "--interval", "0.1"});
        args.insert(args.end(), options.begin(), options.end());
        auto pHeadless = std::make_unique<CChildProcess>(args);
        EXPECT_TRUE(WaitUntil([&] { return !pHeadless->GetStdout().empty(); }))
            << pHeadless->GetStderr();
        return pHeadless;
    }

    static inline std::string s_strPrefix;
    CPeerNs m_peer;
    std::string m_strHome; // anyone's to write
};

// The install gives the capability to the helper alone, and the helper links no Qt. The installed
// window, started by a user without capabilities with a style plugin of theirs, runs the plugin's
// code without any capability; the Capture the plugin presses counts exactly through the helper,
// which alone holds CAP_NET_RAW and ends with the window.
TEST_F(InstalledLayout, OnlyTheHelperHoldsTheCapabilityNotAUsersPluginInTheWindow) {
    const std::string strHelper = s_strPrefix + "/libexec/orvek/orvek-capture";
    EXPECT_EQ(ShOut("getcap -r " + s_strPrefix), strHelper + " cap_net_raw=ep\n");
    EXPECT_EQ(ShOut("ldd " + strHelper + " | grep -c libQt || true"), "0\n");

    ShOk("mkdir -p " + m_strHome + "/styles && cp " ORVEK_STYLE_PROBE " " + m_strHome + "/styles");
    const std::string strProbe = m_strHome + "/probe";
    CChildProcess window({"env", "-u", "ORVEK_CAPTURE_HELPER", "QT_QPA_PLATFORM=offscreen",
                          "QT_PLUGIN_PATH=" + m_strHome, "HOME=" + m_strHome,
                          "ORVEK_PROBE=" + strProbe, s_strPrefix + "/bin/orvek", "-style",
                          "orvekprobe"},
                         "65534");
    const auto probed = [&] { return ShOut("cat " + strProbe + " 2>/dev/null"); };
    ASSERT_TRUE(WaitUntil([&] { return probed().find("Received 0 bytes") != std::string::npos; }))
        << probed() << window.GetStderr();
    EXPECT_EQ(probed().substr(0, probed().find('\n')), "CapEff:\t0000000000000000");
    const pid_t nHelper = HelperOf(window);
    EXPECT_EQ(StatusLine(nHelper, "CapEff"), "0000000000002000\n");
    // The click returns before the helper has opened the devices: a trickle of 29-byte packets
    // until the window counts, then the 50 packets of 1,000 bytes, each counted once: with k of
    // the trickle's counted, bytes - 50,000 = 29 (packets - 50) holds for 50 of them alone.
    const std::regex received(R"(Received ([\d,]+) bytes in ([\d,]+) packets)");
    const auto counted = [&] {
        std::smatch match;
        const std::string strProbed = probed();
        if (!std::regex_search(strProbed, match, received)) {
            return std::pair<int64_t, int64_t>{-1, -1};
        }
        const auto number = [](std::string strText) {
            std::erase(strText, ',');
            return int64_t{std::stoll(strText)};
        };
        return std::pair{number(match[1]), number(match[2])};
    };
    ASSERT_TRUE(WaitUntil([&] {
        m_peer.RunIn([] { SendUdp("10.86.0.2", "10.86.0.1", 9001, 1, 1); });
        return counted().second > 0;
    })) << probed();
    Receive();
    EXPECT_TRUE(WaitUntil([&] {
        const auto [nBytes, nPackets] = counted();
        return nPackets >= 50 && nBytes - 50'000 == 29 * (nPackets - 50);
    })) << probed();
    window.Signal(SIGTERM);
    window.Wait();
    EXPECT_TRUE(WaitUntil([] { return ShOut("awk 'NR > 1' /proc/net/packet").empty(); }));
}

// The exporter as its unit starts it: an unprivileged user holding CAP_NET_RAW as an ambient
// capability, with no new privileges, bounded to that one, keeping a usage file. Its helper gets
// the capability, the program gives it up, and the counts are exact, also in the file as the
// installed report reads it.
TEST_F(InstalledLayout, ExporterAsItsUnitStartsItHoldsNoCapabilityOnceCapturing) {
    const std::string strUsage = m_strHome + "/usage.sqlite";
    auto pExporter = StartHeadless({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                    "--inh-caps=+net_raw", "--ambient-caps=+net_raw",
                                    "--bounding-set=-all,+net_raw", "--no-new-privs", "--"},
                                   {"--database", strUsage});
    EXPECT_EQ(StatusLine(HelperOf(*pExporter), "CapEff"), "0000000000002000\n");
    for (const char* szSet : {"CapEff", "CapPrm", "CapAmb"}) {
        EXPECT_EQ(StatusLine(pExporter->GetPid(), szSet), "0000000000000000\n") << szSet;
    }
    // Every thread holds none either: capabilities belong to threads, and the client's own (which
    // started the helper) and its reader were made before the program gave up its own.
    EXPECT_EQ(ShOut("awk '/^Cap(Eff|Prm|Amb):/ {print $2}' /proc/" +
                    std::to_string(pExporter->GetPid()) + "/task/*/status | sort -u"),
              "0000000000000000\n");
    Receive();
    ASSERT_TRUE(WaitUntil([&] {
        return pExporter->GetStdout().find(R"("received_bytes":50000,)") != std::string::npos;
    })) << pExporter->GetStdout();
    pExporter->Signal(SIGTERM);
    EXPECT_EQ(pExporter->Wait(), 0) << pExporter->GetStderr();
    // Yesterday and today, summed: the exporter may have recorded before midnight, the report
    // run after it.
    const std::string strReport =
        ShOut(s_strPrefix + "/bin/orvek-report --days=2 --json --database " + strUsage +
              " | python3 -c 'import json, sys\n"
              "print(sum(r[\"received_bytes\"] for r in json.load(sys.stdin)[\"days\"]))'");
    EXPECT_EQ(strReport, "50000\n");
}

// Installed for a capture group, the helper is that group's alone: a user outside it is told that
// the helper cannot be run, a member counts. Installed again without, it is everyone's again.
TEST_F(InstalledLayout, ACaptureGroupMakesTheHelperItsMembersAlone) {
    const group* pGroup = getgrnam("adm");
    if (pGroup == nullptr) {
        GTEST_SKIP() << "no group adm";
    }
    const std::string strHelper = s_strPrefix + "/libexec/orvek/orvek-capture";
    Install("adm");
    EXPECT_EQ(ShOut("stat -c '%a %G' " + strHelper), "750 adm\n");
    EXPECT_EQ(ShOut("getcap " + strHelper), strHelper + " cap_net_raw=ep\n");
    CChildProcess outsider({s_strPrefix + "/bin/orvek-headless"}, "65534");
    EXPECT_EQ(outsider.Wait(), 1);
    EXPECT_EQ(outsider.GetStderr(),
              "orvek: Cannot run Orvek's capture helper " + strHelper + ": Permission denied\n");
    auto pMember = StartHeadless({"setpriv", "--reuid=65534", "--regid=65534",
                                  "--groups=" + std::to_string(pGroup->gr_gid), "--"});
    Receive();
    EXPECT_TRUE(WaitUntil([&] {
        return pMember->GetStdout().find(R"("received_bytes":50000,)") != std::string::npos;
    })) << pMember->GetStdout();
    Install("");
    EXPECT_EQ(ShOut("stat -c '%a' " + strHelper), "755\n");
}

} // namespace
