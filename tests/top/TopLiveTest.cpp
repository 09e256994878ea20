// `orvek-top` as a user runs it: in a terminal of tmux's, in this test's private namespace, with
// known traffic on a veth; its keys, a resize to 80x24, and every way out leaving the terminal
// as it was.

#include "NetNs.h"
#include "TopMain.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace orvektest;

namespace {

// A tmux server of this test's own, killed with everything in it when the test ends, however.
class CTmux {
public:
    CTmux() : m_strSocket("orvek-top-test-" + std::to_string(getpid())) {
        char szDir[] = "/tmp/orvek-top-XXXXXX";
        if (mkdtemp(szDir) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        m_strDir = szDir;
        // Runs the program, then says how it ended and whether the terminal reads lines and
        // echoes again, as a shell's prompt needs: "restored=2". Ctrl-C reaches the shell too,
        // which outlives it with a trap (a trap, unlike an ignored signal, is not inherited).
        std::ofstream(m_strDir + "/run.sh")
            << "trap : INT\n\"$@\"\necho \"top-exited=$?\"\n"
               "echo \"restored=$(stty -a | tr ' ;' '\\n\\n' | grep -cx -e icanon -e echo)\"\n"
               "exec sleep 600\n";
    }
    ~CTmux() {
        Sh(Command("kill-server") + " 2>/dev/null");
        std::filesystem::remove_all(m_strDir);
    }
    CTmux(const CTmux&) = delete;
    CTmux& operator=(const CTmux&) = delete;

    // A session of its own, 100x30, running the program with args (after strPrefix, a command
    // that runs it).
    void Start(const std::string& strSession, const std::string& strArgs,
               const std::string& strPrefix = "") {
        ShOk(Command("new-session -d -s " + strSession + " -x 100 -y 30 'sh " + m_strDir +
                     "/run.sh " + strPrefix + " " ORVEK_TOP " " + strArgs + "'"));
    }
    std::string Pane(const std::string& strSession) {
        return ShOut(Command("capture-pane -p -t " + strSession));
    }
    // Waits for the pane to hold what the pattern matches.
    bool WaitFor(const std::string& strSession, const std::string& strPattern) {
        const std::regex pattern(strPattern);
        return WaitUntil([&] { return std::regex_search(Pane(strSession), pattern); });
    }
    void Keys(const std::string& strSession, const std::string& strKeys) {
        ShOk(Command("send-keys -t " + strSession + " " + strKeys));
    }
    void Resize(const std::string& strSession, int nWidth, int nHeight) {
        ShOk(Command("resize-window -t " + strSession + " -x " + std::to_string(nWidth) + " -y " +
                     std::to_string(nHeight)));
    }
    // The program's process: the pane's shell's child.
    pid_t TopPid(const std::string& strSession) {
        const std::string strShell =
            ShOut(Command("display -p -t " + strSession + " '#{pane_pid}'"));
        return std::stoi(
            ShOut("pgrep -P " + std::to_string(std::stoi(strShell)) + " -x orvek-top"));
    }
    bool AlternateScreen(const std::string& strSession) {
        return ShOut(Command("display -p -t " + strSession + " '#{alternate_on}'")) == "1\n";
    }

private:
    std::string Command(const std::string& strArgs) const {
        return "tmux -f /dev/null -L " + m_strSocket + " " + strArgs;
    }

    std::string m_strSocket, m_strDir;
};

// Where the cgroup v2 hierarchy is mounted, "" when nowhere.
std::string CgroupRoot() {
    std::ifstream mounts("/proc/self/mounts");
    for (std::string strDevice, strPath, strType, strRest;
         mounts >> strDevice >> strPath >> strType && std::getline(mounts, strRest);) {
        if (strType == "cgroup2") {
            return strPath;
        }
    }
    return {};
}

// A program with one connection (10.89.0.1:45678 to 10.89.0.2:9001, UDP) that sends on it until
// the test ends, in a control group of its own, which names its application: "orvek-top-known".
class CKnownConnection {
public:
    CKnownConnection() : m_strCgroup(CgroupRoot() + "/orvek-top-test-" + std::to_string(getpid())) {
        // Those of test processes that died (a hang's abort) go first.
        for (const auto& entry : std::filesystem::directory_iterator(
                 std::filesystem::path(m_strCgroup).parent_path())) {
            const std::string strName = entry.path().filename();
            if (strName.starts_with("orvek-top-test-") &&
                kill(std::stoi(strName.substr(15)), 0) != 0) {
                rmdir((entry.path() / "orvek-top-known").c_str());
                rmdir(entry.path().c_str());
            }
        }
        const std::string strGroup = m_strCgroup + "/orvek-top-known";
        std::filesystem::create_directories(strGroup);
        m_nChild = fork();
        if (m_nChild == 0) {
            // Plain system calls only: forked from a process with threads.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int hProcs = open((strGroup + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
            const int hFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in local{AF_INET, htons(45678), {inet_addr("10.89.0.1")}, {}};
            sockaddr_in remote{AF_INET, htons(9001), {inet_addr("10.89.0.2")}, {}};
            if (hProcs < 0 || write(hProcs, "0\n", 2) != 2 ||
                bind(hFd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                connect(hFd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
                _exit(10);
            }
            const char szData[100] = {};
            for (;;) {
                send(hFd, szData, sizeof szData, 0); // refused ones come back as errors: ignored
                const timespec pause{0, 20'000'000};
                nanosleep(&pause, nullptr);
            }
        }
    }
    ~CKnownConnection() {
        if (m_nChild > 0) {
            kill(m_nChild, SIGKILL);
            waitpid(m_nChild, nullptr, 0);
        }
        rmdir((m_strCgroup + "/orvek-top-known").c_str());
        rmdir(m_strCgroup.c_str());
    }
    CKnownConnection(const CKnownConnection&) = delete;
    CKnownConnection& operator=(const CKnownConnection&) = delete;

private:
    std::string m_strCgroup;
    pid_t m_nChild = -1;
};

// A veth "tp0" (10.89.0.1) to a peer namespace, with datagrams sent to the peer until the test
// ends, so that tp0 has a rate at every sample, and the known connection.
class TopLive : public testing::Test {
protected:
    TopLive() {
        MakeVethPair(m_peer, {"tp0", "10.89.0.1", ""}, {"tp1", "10.89.0.2", ""});
        m_sender = std::thread([this] {
            while (!m_bStop) {
                SendUdp("10.89.0.1", "10.89.0.2", 9000, 1000, 10);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        m_pKnown = std::make_unique<CKnownConnection>();
    }
    ~TopLive() override {
        m_pKnown.reset();
        m_bStop = true;
        m_sender.join();
        Sh("ip link del tp0 2>/dev/null");
    }

    CPeerNs m_peer;
    std::atomic<bool> m_bStop = false;
    std::thread m_sender;
    std::unique_ptr<CKnownConnection> m_pKnown;
    CTmux m_tmux;
};

// The lines of a pane that are wider than nWidth.
std::vector<std::string> WiderThan(const std::string& strPane, size_t nWidth) {
    std::vector<std::string> lines;
    std::istringstream in(strPane);
    for (std::string strLine; std::getline(in, strLine);) {
        if (strLine.size() > nWidth) {
            lines.push_back(strLine);
        }
    }
    return lines;
}

} // namespace

// The device with a rate, each view and its keys, every sort key, units, then 80x24.
TEST_F(TopLive, ShowsTheDeviceItsRateAndAnswersKeys) {
    m_tmux.Start("top", "--interval 0.2");
    // tp0 captures, and sends at some bytes a second ("0 B/s" has no digit before its space
    // other than 0).
    ASSERT_TRUE(m_tmux.WaitFor("top", R"(tp0 +virtual +capturing .* [1-9][0-9.]* (B|KiB|MiB)/s)"))
        << m_tmux.Pane("top");
    m_tmux.Keys("top", "a");
    ASSERT_TRUE(m_tmux.WaitFor("top", "View: applications")) << m_tmux.Pane("top");
    EXPECT_TRUE(m_tmux.WaitFor("top", "APPLICATION +SENT +RECEIVED +SENT/S +RECV/S +CONNS"))
        << m_tmux.Pane("top");
    // The known connection: its protocol, both ends and its program's group as its application
    // (its user where the kernel tells no socket's group, as gVisor's does); with every sort key,
    // and with names off.
    m_tmux.Keys("top", "Tab");
    ASSERT_TRUE(m_tmux.WaitFor("top", "View: connections")) << m_tmux.Pane("top");
    const std::string strKnown =
        R"(udp +10\.89\.0\.1:45678 +10\.89\.0\.2:9001 +(orvek-top-known|user root) )";
    EXPECT_TRUE(m_tmux.WaitFor("top", "PROTO +LOCAL +REMOTE +APPLICATION +SENT +RECEIVED"))
        << m_tmux.Pane("top");
    EXPECT_TRUE(m_tmux.WaitFor("top", strKnown)) << m_tmux.Pane("top");
    for (const char* szSort : {"sent", "received", "rate", "total"}) {
        m_tmux.Keys("top", "s");
        EXPECT_TRUE(m_tmux.WaitFor("top", std::string("Sort: ") + szSort + "[^]*" + strKnown))
            << m_tmux.Pane("top");
    }
    m_tmux.Keys("top", "n");
    EXPECT_TRUE(m_tmux.WaitFor("top", "Names: off[^]*" + strKnown)) << m_tmux.Pane("top");
    m_tmux.Keys("top", "d");
    EXPECT_TRUE(m_tmux.WaitFor("top", "View: devices")) << m_tmux.Pane("top");
    m_tmux.Keys("top", "c Tab");
    EXPECT_TRUE(m_tmux.WaitFor("top", "View: devices")) << m_tmux.Pane("top");
    m_tmux.Keys("top", "u u");
    EXPECT_TRUE(m_tmux.WaitFor("top", R"(Units: bits[^]*tp0 .* [1-9][0-9.]* (k|M)?bit/s)"))
        << m_tmux.Pane("top");
    // The filter: rows without "tp" go; Esc brings them back.
    m_tmux.Keys("top", "/ t p Enter");
    EXPECT_TRUE(m_tmux.WaitFor("top", "Filter: tp")) << m_tmux.Pane("top");
    EXPECT_TRUE(WaitUntil([&] { return m_tmux.Pane("top").find("\nlo ") == std::string::npos; }))
        << m_tmux.Pane("top");

    m_tmux.Resize("top", 80, 24);
    ASSERT_TRUE(m_tmux.WaitFor("top", "DEVICE +STATE +SENT +RECEIVED +SENT/S +RECV/S +OVERHEAD"))
        << m_tmux.Pane("top");
    const std::string strPane = m_tmux.Pane("top");
    EXPECT_EQ(WiderThan(strPane, 80), std::vector<std::string>()) << strPane;
    EXPECT_NE(strPane.find("q quit"), std::string::npos) << strPane;
}

// q, Ctrl-C and SIGTERM end it with status 0, a helper that dies is said on the screen and ends
// it with status 1 at q; every way leaves the terminal as it was, out of the alternate screen.
TEST_F(TopLive, EveryWayOutRestoresTheTerminal) {
    for (const auto& [strWay, nStatus] : std::vector<std::pair<std::string, int>>{
             {"q", 0}, {"C-c", 0}, {"SIGTERM", 0}, {"helper", 1}}) {
        const std::string strSession = "way" + std::to_string(nStatus) + strWay.substr(0, 1);
        m_tmux.Start(strSession, "--interval 0.2");
        ASSERT_TRUE(m_tmux.WaitFor(strSession, "tp0 +virtual +capturing")) << strWay;
        EXPECT_TRUE(m_tmux.AlternateScreen(strSession)) << strWay;
        const pid_t nTop = m_tmux.TopPid(strSession);
        if (strWay == "SIGTERM") {
            kill(nTop, SIGTERM);
        } else if (strWay == "helper") {
            kill(std::stoi(ShOut("pgrep -P " + std::to_string(nTop))), SIGKILL);
            ASSERT_TRUE(m_tmux.WaitFor(strSession, "ended unexpectedly"))
                << m_tmux.Pane(strSession);
            m_tmux.Keys(strSession, "q");
        } else {
            m_tmux.Keys(strSession, strWay);
        }
        ASSERT_TRUE(m_tmux.WaitFor(strSession, "top-exited=[0-9]+\nrestored=2"))
            << strWay << '\n'
            << m_tmux.Pane(strSession);
        EXPECT_TRUE(m_tmux.WaitFor(strSession, "top-exited=" + std::to_string(nStatus) + "\n"))
            << strWay << '\n'
            << m_tmux.Pane(strSession);
        EXPECT_FALSE(m_tmux.AlternateScreen(strSession)) << strWay;
    }
}

// Without the capability to capture, the failure and how to fix it are on the screen; q then
// ends it with status 1, the terminal restored.
TEST_F(TopLive, AFailureIsShownOnTheScreen) {
    m_tmux.Start("refused", "", "setpriv --reuid=65534 --regid=65534 --clear-groups --");
    ASSERT_TRUE(m_tmux.WaitFor("refused", "tp0: You don't have permission[^]*cap_net_raw"))
        << m_tmux.Pane("refused");
    EXPECT_TRUE(m_tmux.WaitFor("refused", "q quit")) << m_tmux.Pane("refused");
    m_tmux.Keys("refused", "q");
    EXPECT_TRUE(m_tmux.WaitFor("refused", "top-exited=1\nrestored=2")) << m_tmux.Pane("refused");
}

// Without a terminal it refuses at once, pointing to the program for scripts; a bad option is
// refused before it looks.
TEST_F(TopLive, RefusesWithoutATerminal) {
    CChildProcess top({ORVEK_TOP});
    EXPECT_EQ(top.Wait(), 2);
    EXPECT_EQ(top.GetStderr(), std::string("orvek: ") + NoTerminalLine() + "\n");
    EXPECT_NE(top.GetStderr().find("orvek-headless --json"), std::string::npos);
    EXPECT_EQ(top.GetStdout(), "");
    CChildProcess bad({ORVEK_TOP, "--units", "octal"});
    EXPECT_EQ(bad.Wait(), 2);
    EXPECT_TRUE(bad.GetStderr().starts_with("orvek: --units: 'octal' is not binary|decimal|bits\n"))
        << bad.GetStderr();
    // No Qt and no capture library: it runs where neither is installed.
    EXPECT_EQ(ShOut(std::string("ldd ") + ORVEK_TOP + " | grep -c -e libQt -e libpcap || true"),
              "0\n");
}
