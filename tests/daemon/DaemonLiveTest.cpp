// The system service in a private network namespace: the real orvekd with two clients, the usage
// file through a kill -9 and a restart; and the service in this process facing hostile clients.

#include "Cgroups.h"
#include "Daemon.h"
#include "FrameSocket.h"
#include "NetNs.h"
#include "PlanUsage.h"
#include "ServiceConnection.h"
#include "UsageStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace orvektest;

namespace {

sockaddr_un AddressOf(const std::string& strPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, strPath.c_str(), sizeof address.sun_path - 1);
    return address;
}

// A protocol client of the service: sends messages and keeps what it was told.
class CDaemonClient {
public:
    // A socket connected already (by a process of another user).
    explicit CDaemonClient(int hConnected) { m_socket.Reset(hConnected); }
    explicit CDaemonClient(const std::string& strPath) {
        m_socket.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_un address = AddressOf(strPath);
        EXPECT_EQ(connect(Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    int Get() const { return m_socket.Get(); }
    void Send(const ClientMessage& message) { EXPECT_EQ(m_socket.Send(EncodeFrame(message)), 0); }
    // Hello and Start (with a filter and a pace of its own when given), and the answer.
    void Start(const std::string& strFilter = {}, uint32_t nPaceMs = 0) {
        Send(HelloMessage{});
        if (!strFilter.empty()) {
            Send(SettingsMessage{strFilter, false});
        }
        if (nPaceMs != 0) {
            Send(PaceMessage{nPaceMs});
        }
        Send(StartMessage{});
        EXPECT_TRUE(WaitFor([this] {
            return !m_answers.empty() &&
                   (std::holds_alternative<StartedMessage>(m_answers.back()) ||
                    std::holds_alternative<StartFailedMessage>(m_answers.back()));
        }));
    }
    // Reads what comes until pred holds; false after a generous time-out.
    bool WaitFor(const std::function<bool()>& pred) {
        return WaitUntil([&] {
            // Until nothing is left: frames that came together are read into the inbox at once,
            // and the socket no longer shows them readable.
            while (!m_bClosed) {
                const CFrameSocket::Read read = m_socket.Next(false);
                if (read.eStatus == CFrameSocket::EStatus::Again) {
                    break;
                }
                m_bClosed = read.eStatus != CFrameSocket::EStatus::Frame;
                DecodedMessage<HelperMessage> decoded = DecodeHelperMessage(read.body);
                if (auto* pSnapshot = std::get_if<SnapshotMessage>(&decoded.message)) {
                    m_taken.push_back(pSnapshot->snapshot.nTakenNs);
                    m_snapshot = std::move(pSnapshot->snapshot);
                } else if (!m_bClosed && !std::holds_alternative<DevicesMessage>(decoded.message)) {
                    m_answers.push_back(std::move(decoded.message));
                }
            }
            return pred();
        });
    }
    bool WaitForClose() {
        return WaitFor([this] { return m_bClosed; });
    }
    // The text of the last Error, "" when none came.
    std::string GetError() const {
        const auto* pError =
            m_answers.empty() ? nullptr : std::get_if<ErrorMessage>(&m_answers.back());
        return pError != nullptr ? pError->strText : "";
    }

    MeterSnapshot m_snapshot;
    std::vector<int64_t> m_taken;         // when each snapshot pushed was taken
    std::vector<HelperMessage> m_answers; // but snapshots and device states
    bool m_bClosed = false;

private:
    CFrameSocket m_socket;
};

class DaemonLive : public testing::Test {
protected:
    DaemonLive() {
        MakeVethPair(m_peer, {"dl0", "10.91.0.1", ""}, {"dl1", "10.91.0.2", ""});
        std::filesystem::create_directories(m_dir);
    }
    ~DaemonLive() override { std::filesystem::remove_all(m_dir); }

    std::unique_ptr<CChildProcess> StartDaemon() {
        auto pDaemon = std::make_unique<CChildProcess>(std::vector<std::string>{
            ORVEKD, "--state-dir", m_dir.string(), "--socket", m_strSocket});
        EXPECT_TRUE(WaitUntil([&] {
            return pDaemon->GetStderr().find("counting") != std::string::npos;
        })) << pDaemon->GetStderr();
        return pDaemon;
    }
    // nCount datagrams of nPayload bytes from the peer, all delivered.
    void Receive(size_t nCount, size_t nPayload) {
        CUdpSink sink("10.91.0.1", 9200);
        m_peer.RunIn([&] { SendUdp("10.91.0.2", "10.91.0.1", 9200, nPayload, nCount); });
        EXPECT_EQ(sink.WaitFor(nCount), nCount);
    }
    // A TCP exchange of nBytes each way with the peer.
    void Exchange(size_t nBytes) {
        std::unique_ptr<CTcpEcho> pEcho;
        m_peer.RunIn([&] { pEcho = std::make_unique<CTcpEcho>("10.91.0.2", 9201); });
        TcpExchange("10.91.0.2", 9201, nBytes);
        m_peer.RunIn([&] { pEcho.reset(); });
    }
    // Bytes of dl0 in the usage file (sent, received), every tier agreeing; {-1, -1} when not.
    std::pair<int64_t, int64_t> Stored() {
        if (!std::filesystem::exists(m_dir / "usage.sqlite")) {
            return {-1, -1};
        }
        CUsageStore store((m_dir / "usage.sqlite").string(), CUsageStore::EAccess::Read, 0);
        std::set<std::pair<int64_t, int64_t>> sums;
        for (int nTier = 0; nTier < kTierCount; ++nTier) {
            std::pair<int64_t, int64_t> sum;
            for (const UsageRow& row :
                 store.ReadUsage(static_cast<ETier>(nTier), 0, int64_t{1} << 40)) {
                sum.first += row.strDevice == "dl0" ? row.nSent : 0;
                sum.second += row.strDevice == "dl0" ? row.nRecv : 0;
            }
            sums.insert(sum);
        }
        return sums.size() == 1 ? *sums.begin() : std::pair<int64_t, int64_t>{-1, -1};
    }
    std::pair<int64_t, int64_t> CrossedSince(const IfCounters& before) {
        return {NetworkBytesSince("dl0", before, true), NetworkBytesSince("dl0", before, false)};
    }

    CPeerNs m_peer;
    std::filesystem::path m_dir =
        std::filesystem::temp_directory_path() / ("orvekd-live-" + std::to_string(getpid()));
    std::string m_strSocket = (m_dir / "s.sock").string();
};

bool CountsEqual(const MeterSnapshot& snapshot, std::pair<int64_t, int64_t> crossed) {
    return crossed.first + crossed.second > 0 && snapshot.nSentBytes == crossed.first &&
           snapshot.nRecvBytes == crossed.second;
}

// The packet sockets that process nPid holds: its socket descriptors found in the namespace's list.
size_t CountPacketSockets(pid_t nPid) {
    std::set<std::string> inodes;
    const std::string strFds = "/proc/" + std::to_string(nPid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(strFds)) {
        std::error_code error;
        const std::string strLink = std::filesystem::read_symlink(entry.path(), error).string();
        if (strLink.starts_with("socket:[")) {
            inodes.insert(strLink.substr(8, strLink.size() - 9));
        }
    }
    std::ifstream list("/proc/" + std::to_string(nPid) + "/net/packet");
    std::string strLine;
    std::getline(list, strLine); // the header; the inode is the last column
    size_t nCount = 0;
    while (std::getline(list, strLine)) {
        const size_t nLast = strLine.find_last_not_of(' ');
        const size_t nStart = strLine.find_last_of(' ', nLast);
        nCount += inodes.count(strLine.substr(nStart + 1, nLast - nStart)) != 0 ? 1 : 0;
    }
    return nCount;
}

// Its command line; two clients count exactly what crossed, from one packet socket per captured
// device; a second service on the socket is refused; the file holds the counts through a kill -9
// and the restarted service, which replaces the stale socket, counts on.
TEST_F(DaemonLive, TwoClientsCountWhatCrossedAndTheFileKeepsItThroughKillAndRestart) {
    CChildProcess version({ORVEKD, "--version"});
    EXPECT_EQ(version.Wait(), 0);
    EXPECT_EQ(version.GetStdout(), "orvekd " ORVEK_VERSION "\n");
    CChildProcess unknown({ORVEKD, "--bogus"});
    EXPECT_EQ(unknown.Wait(), 2);
    EXPECT_NE(unknown.GetStderr().find("Usage: orvekd"), std::string::npos) << unknown.GetStderr();

    const IfCounters before = ReadCounters("dl0");
    auto pDaemon = StartDaemon();
    EXPECT_EQ(std::filesystem::status(m_strSocket).permissions(), std::filesystem::perms(0666));
    {
        CChildProcess second({ORVEKD, "--state-dir", m_dir.string(), "--socket", m_strSocket});
        EXPECT_EQ(second.Wait(), 1);
        EXPECT_NE(second.GetStderr().find("another orvekd answers on " + m_strSocket),
                  std::string::npos)
            << second.GetStderr();
    }
    CDaemonClient first(m_strSocket), second(m_strSocket);
    first.Start();
    second.Start();
    Receive(20, 1000);
    Exchange(50000);
    for (CDaemonClient* pClient : {&first, &second}) {
        EXPECT_TRUE(pClient->WaitFor([&] {
            return CountsEqual(pClient->m_snapshot, CrossedSince(before));
        })) << pClient->m_snapshot.nSentBytes
            << " " << pClient->m_snapshot.nRecvBytes;
    }
    size_t nCapturing = 0;
    for (const DeviceSnapshot& device : first.m_snapshot.devices) {
        nCapturing += device.bCapturing ? 1 : 0;
    }
    EXPECT_EQ(nCapturing, 1u);
    EXPECT_EQ(CountPacketSockets(pDaemon->GetPid()), nCapturing);

    // Written within the flush period; a kill -9 then loses nothing of it.
    const auto crossed = CrossedSince(before);
    EXPECT_TRUE(WaitUntil([&] { return Stored() == crossed; }, 30000)) << Stored().second;
    EXPECT_EQ(std::filesystem::status(m_dir / "usage.sqlite").permissions(),
              std::filesystem::perms(0644));
    pDaemon->Signal(SIGKILL);
    EXPECT_EQ(pDaemon->Wait(), 128 + SIGKILL);
    EXPECT_EQ(Stored(), crossed);

    pDaemon = StartDaemon();
    CDaemonClient third(m_strSocket);
    third.Start();
    const IfCounters restart = ReadCounters("dl0");
    Receive(10, 500);
    EXPECT_TRUE(third.WaitFor([&] { return CountsEqual(third.m_snapshot, CrossedSince(restart)); }))
        << third.m_snapshot.nRecvBytes;
    EXPECT_TRUE(WaitUntil([&] { return Stored() == CrossedSince(before); }, 30000))
        << Stored().second;
    pDaemon->Signal(SIGTERM);
    EXPECT_EQ(pDaemon->Wait(), 0) << pDaemon->GetStderr();
    EXPECT_FALSE(std::filesystem::exists(m_strSocket));
}

// The file counts every IP packet, as the interface does: pings of known sizes beside TCP and
// UDP, the rows adding up to it; a client that shares the count sees TCP and UDP alone.
TEST_F(DaemonLive, TheFileCountsEveryIpPacketAndSharedClientsTcpAndUdp) {
    const IfCounters before = ReadCounters("dl0");
    auto pDaemon = StartDaemon();
    CDaemonClient client(m_strSocket);
    client.Start();
    Receive(20, 700);
    Exchange(30000);
    EXPECT_TRUE(
        client.WaitFor([&] { return CountsEqual(client.m_snapshot, CrossedSince(before)); }));
    const auto tcpUdp = CrossedSince(before);
    ASSERT_EQ(std::system("ping -q -n -c 6 -s 1000 -i 0.01 -W 10 10.91.0.2 >/dev/null"), 0);
    constexpr int64_t kPingBytes = 6 * (20 + 8 + 1000); // each way: IPv4, ICMP, payload
    const std::pair all{tcpUdp.first + kPingBytes, tcpUdp.second + kPingBytes};
    EXPECT_EQ(CrossedSince(before), all);
    EXPECT_TRUE(WaitUntil([&] { return Stored() == all; }, 30000)) << Stored().second;
    // The applications' rows ("not TCP or UDP" among them) add up to the devices' bytes.
    EXPECT_TRUE(WaitUntil(
        [&] {
            CUsageStore store((m_dir / "usage.sqlite").string(), CUsageStore::EAccess::Read, 0);
            std::pair<int64_t, int64_t> sum;
            for (const AppUsageRow& row : store.ReadApplications(ETier::Day, 0, int64_t{1} << 40)) {
                sum = {sum.first + row.nSent, sum.second + row.nRecv};
            }
            return sum == all;
        },
        30000));
    client.WaitFor([] { return true; }); // what was pushed since
    EXPECT_EQ(std::pair(client.m_snapshot.nSentBytes, client.m_snapshot.nRecvBytes), tcpUdp);
    pDaemon->Signal(SIGTERM);
    EXPECT_EQ(pDaemon->Wait(), 0) << pDaemon->GetStderr();
}

// A client that asks for a snapshot a second gets none sooner while counts move for seconds, one
// at the display's pace beside it gets its own, and both count exactly what crossed.
TEST_F(DaemonLive, AClientGetsItsSnapshotsAtThePaceItAskedFor) {
    const IfCounters before = ReadCounters("dl0");
    auto pDaemon = StartDaemon();
    CDaemonClient slow(m_strSocket), fast(m_strSocket);
    slow.Start({}, kMaxPaceMs);
    fast.Start();
    const size_t nSlowBefore = slow.m_taken.size();
    // Counts that move every few tens of milliseconds for three seconds.
    for (int i = 0; i < 60; ++i) {
        Receive(1, 300);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (CDaemonClient* pClient : {&slow, &fast}) {
        EXPECT_TRUE(pClient->WaitFor([&] {
            return CountsEqual(pClient->m_snapshot, CrossedSince(before));
        })) << pClient->m_snapshot.nRecvBytes;
    }
    // The snapshots from the one that answered the Start on: a second apart, less the look that
    // may come a display's pace early.
    ASSERT_GE(slow.m_taken.size(), nSlowBefore + 2);
    for (size_t i = nSlowBefore; i < slow.m_taken.size(); ++i) {
        EXPECT_GE(slow.m_taken[i] - slow.m_taken[i - 1], int64_t{850'000'000}) << i;
    }
    EXPECT_GT(fast.m_taken.size(), slow.m_taken.size());
    pDaemon->Signal(SIGTERM);
    EXPECT_EQ(pDaemon->Wait(), 0) << pDaemon->GetStderr();
}

// The service in this process, with a small queue and a short hello time-out.
class CDaemonThread {
public:
    explicit CDaemonThread(const DaemonConfig& config)
        : m_daemon(config, m_loop), m_thread([this] { m_loop.Run(); }) {}
    ~CDaemonThread() {
        m_loop.Quit();
        m_thread.join();
    }

private:
    CEventLoop m_loop;
    CDaemon m_daemon;
    std::thread m_thread;
};

// Whether a client of another user, run in a child, is greeted and its Start answered.
bool AnsweredAsOtherUser(const std::string& strSocket) {
    const std::string strFrames =
        EncodeFrame(ClientMessage{HelloMessage{}}) + EncodeFrame(ClientMessage{StartMessage{}});
    const sockaddr_un address = AddressOf(strSocket);
    const pid_t nPid = fork();
    if (nPid == 0) {
        // Only system calls here: the parent has threads.
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
            _exit(2);
        }
        const int hSocket = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            send(hSocket, strFrames.data(), strFrames.size(), 0) != ssize_t(strFrames.size())) {
            _exit(3);
        }
        static uint8_t buffer[1 << 16];
        size_t nHave = 0;
        for (ssize_t n; (n = recv(hSocket, buffer + nHave, sizeof buffer - nHave, 0)) > 0;) {
            nHave += static_cast<size_t>(n);
            for (size_t nAt = 0; nAt + 5 <= nHave;) {
                const uint32_t nLength = uint32_t(buffer[nAt]) | uint32_t(buffer[nAt + 1]) << 8 |
                                         uint32_t(buffer[nAt + 2]) << 16 |
                                         uint32_t(buffer[nAt + 3]) << 24;
                if (buffer[nAt + 4] == StartedMessage::kType) {
                    _exit(0);
                }
                nAt += 4 + nLength;
            }
        }
        _exit(4);
    }
    int nStatus = 0;
    waitpid(nPid, &nStatus, 0);
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

// 300 idle connections of one user: the user's limit holds, the idle ones are dropped when their
// hello time-out passes, another user is answered meanwhile. A client that never reads while it
// floods is dropped at its queue's bound, an oversized frame drops its sender; each is told why.
// A client with a filter of its own counts with it (UDP only) beside one that shares the
// service's count, and a user's captures of its own are bounded.
TEST_F(DaemonLive, HostileClientsChangeNothingAndOwnSettingsCountApart) {
    DaemonConfig config{m_dir.string(), m_strSocket};
    config.limits.nQueueBound = 256 << 10;
    config.limits.nHelloTimeoutMs = 4000;
    CDaemonThread daemon(config);

    std::vector<std::unique_ptr<CDaemonClient>> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(std::make_unique<CDaemonClient>(m_strSocket));
    }
    EXPECT_TRUE(AnsweredAsOtherUser(m_strSocket));
    std::map<std::string, int> reasons;
    for (const auto& pClient : idle) {
        EXPECT_TRUE(pClient->WaitForClose());
        ++reasons[pClient->GetError()];
    }
    EXPECT_EQ(reasons,
              (std::map<std::string, int>{
                  {"the client did not greet in time", 32},
                  {"this user has 32 connections already, the most one user may have", 268}}));
    idle.clear();

    {
        CDaemonClient oversized(m_strSocket);
        const uint8_t abFrame[] = {0xFF, 0xFF, 0xFF, 0xFF, 1};
        EXPECT_EQ(send(oversized.Get(), abFrame, sizeof abFrame, MSG_NOSIGNAL), 5);
        EXPECT_TRUE(oversized.WaitForClose());
        EXPECT_EQ(oversized.GetError(),
                  "the client sent a message of 4294967295 bytes, more than the 1048576 allowed");
    }
    {
        // Stops are answered one by one: a client that never reads them is dropped once 256 KiB
        // wait for it; its sends then fail.
        CDaemonClient deaf(m_strSocket);
        deaf.Send(HelloMessage{});
        const std::string strStop = EncodeFrame(ClientMessage{StopMessage{}});
        std::string strFlood;
        for (int i = 0; i < 4096; ++i) {
            strFlood += strStop;
        }
        const timeval timeout{30, 0};
        setsockopt(deaf.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        size_t nSent = 0;
        while (nSent < (size_t{64} << 20) &&
               send(deaf.Get(), strFlood.data(), strFlood.size(), MSG_NOSIGNAL) > 0) {
            nSent += strFlood.size();
        }
        EXPECT_LT(nSent, size_t{64} << 20) << "never dropped";
    }

    CDaemonClient shared(m_strSocket), own(m_strSocket);
    shared.Start();
    own.Start("udp");
    ASSERT_TRUE(std::holds_alternative<StartedMessage>(own.m_answers.back()));
    const IfCounters before = ReadCounters("dl0");
    Receive(10, 700);
    Exchange(30000);
    EXPECT_TRUE(shared.WaitFor([&] {
        return CountsEqual(shared.m_snapshot, CrossedSince(before));
    })) << shared.m_snapshot.nRecvBytes;
    // IPv4 and UDP headers are counted, the link's not.
    EXPECT_TRUE(own.WaitFor([&] {
        return own.m_snapshot.nRecvBytes == 10 * (700 + 28) && own.m_snapshot.nSentBytes == 0;
    })) << own.m_snapshot.nRecvBytes;

    std::vector<std::unique_ptr<CDaemonClient>> more;
    for (int i = 0; i < 4; ++i) {
        more.push_back(std::make_unique<CDaemonClient>(m_strSocket));
        more.back()->Start("udp");
    }
    const auto* pFailed = std::get_if<StartFailedMessage>(&more.back()->m_answers.back());
    ASSERT_NE(pFailed, nullptr) << more.back()->GetError();
    EXPECT_EQ(pFailed->strDescription.find("this user has 4 captures of its own settings"), 0u)
        << pFailed->strDescription;
}

// A socket connected to strSocket by a child running as nUid (group nUid, supplementary groups
// groups), which it shares with this process: the service knows it by that user's credentials.
int ConnectAs(const std::string& strSocket, uid_t nUid, const std::vector<gid_t>& groups) {
    const int hSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = AddressOf(strSocket);
    const pid_t nPid = fork();
    if (nPid == 0) { // only system calls here: the parent has threads
        _exit(setgroups(groups.size(), groups.data()) != 0 || setresgid(nUid, nUid, nUid) != 0 ||
                      setresuid(nUid, nUid, nUid) != 0 ||
                      connect(hSocket, reinterpret_cast<const sockaddr*>(&address),
                              sizeof address) != 0
                  ? 2
                  : 0);
    }
    int nStatus = -1;
    waitpid(nPid, &nStatus, 0);
    EXPECT_EQ(nStatus, 0);
    return hSocket;
}

// An application: a process of user nUid in a control group named strName (its row's name) that
// sends nCount UDP datagrams of nPayload bytes to the peer and keeps its socket until it is
// killed.
class CUserApp {
public:
    CUserApp(const std::string& strCgroupDir, const std::string& strName, uid_t nUid, size_t nCount,
             size_t nPayload)
        : m_strCgroup(strCgroupDir + "/" + strName) {
        std::filesystem::create_directories(m_strCgroup);
        const std::string strProcs = m_strCgroup + "/cgroup.procs";
        sockaddr_in from{AF_INET, 0, {htonl(0x0A5B0001)}, {}}; // 10.91.0.1
        sockaddr_in to{AF_INET, htons(9300), {htonl(0x0A5B0002)}, {}};
        static char abPayload[1500];
        m_nPid = fork();
        if (m_nPid == 0) { // only system calls here: the parent has threads
            // The socket is made as the user, in the group: a socket's owner and group are its
            // maker's.
            const int hProcs = open(strProcs.c_str(), O_WRONLY | O_CLOEXEC);
            if (hProcs < 0 || write(hProcs, "0\n", 2) != 2 || setgroups(0, nullptr) != 0 ||
                setresgid(nUid, nUid, nUid) != 0 || setresuid(nUid, nUid, nUid) != 0) {
                _exit(2);
            }
            const int hSocket = socket(AF_INET, SOCK_DGRAM, 0);
            if (bind(hSocket, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
                connect(hSocket, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
                _exit(3);
            }
            for (size_t n = 0; n < nCount; ++n) {
                send(hSocket, abPayload, nPayload, 0);
            }
            pause();
        }
    }
    ~CUserApp() {
        kill(m_nPid, SIGKILL);
        waitpid(m_nPid, nullptr, 0);
        rmdir(m_strCgroup.c_str());
    }

private:
    std::string m_strCgroup;
    pid_t m_nPid = -1;
};

// The row of that name in a client's last snapshot; an empty row when there is none.
AppUsage RowOf(const CDaemonClient& client, const std::string& strName) {
    const auto& apps = client.m_snapshot.apps;
    const auto it = std::ranges::find(apps, strName, &AppUsage::strName);
    return it == apps.end() ? AppUsage{} : *it;
}

// Two users' applications sending known bytes: root and a member of the capture group see both
// by name, an ordinary user its own by name and the other's as that user's row. Only root and the
// group may change the host's plan; the others are told why, and everyone reads the plan in the
// file.
TEST_F(DaemonLive, AnOrdinaryUserSeesAnotherUsersApplicationsAsThatUsersRow) {
    const group* pGroup = getgrgid(4);
    ASSERT_NE(pGroup, nullptr) << "no group 4 (adm) to be the capture group";
    const std::string strGroup = pGroup->gr_name;
    DaemonConfig config{m_dir.string(), m_strSocket};
    config.strCaptureGroup = strGroup;
    CDaemonThread daemon(config);

    CDaemonClient root(m_strSocket), ordinary(ConnectAs(m_strSocket, 1, {})),
        member(ConnectAs(m_strSocket, 1, {4}));
    for (CDaemonClient* pClient : {&root, &ordinary, &member}) {
        pClient->Start();
    }
    const std::string strCgroups =
        CCgroupIndex().GetRoot() + "/orvek-privacy-" + std::to_string(getpid());
    std::unique_ptr<CUdpSink> pSink;
    m_peer.RunIn([&] { pSink = std::make_unique<CUdpSink>("10.91.0.2", 9300); });
    {
        const CUserApp first(strCgroups, "orvek-first.service", 1, 10, 300);
        const CUserApp second(strCgroups, "orvek-second.service", 2, 7, 500);
        EXPECT_EQ(pSink->WaitFor(17), 17u);
        const int64_t nFirst = 10 * (300 + 28), nSecond = 7 * (500 + 28);
        const std::string strSecondUser = UserRowName(2);
        for (CDaemonClient* pClient : {&root, &member}) {
            EXPECT_TRUE(pClient->WaitFor([&] {
                return RowOf(*pClient, "orvek-first.service").nSentBytes == nFirst &&
                       RowOf(*pClient, "orvek-second.service").nSentBytes == nSecond;
            })) << RowOf(*pClient, "orvek-second.service").nSentBytes;
            EXPECT_EQ(RowOf(*pClient, "orvek-second.service").nOwnerUid, 2u);
        }
        EXPECT_TRUE(ordinary.WaitFor([&] {
            return RowOf(ordinary, "orvek-first.service").nSentBytes == nFirst &&
                   RowOf(ordinary, strSecondUser).nSentBytes == nSecond;
        })) << RowOf(ordinary, strSecondUser).nSentBytes;
        EXPECT_EQ(RowOf(ordinary, "orvek-second.service").strName, "");
        EXPECT_EQ(RowOf(ordinary, strSecondUser).nOwnerUid, 2u);
    }
    rmdir(strCgroups.c_str());
    m_peer.RunIn([&] { pSink.reset(); });

    Plan plan;
    plan.nCapBytes = 5'000'000'000;
    ordinary.Send(SetPlanMessage{SerializePlan(plan)});
    EXPECT_TRUE(ordinary.WaitFor([&] {
        return !ordinary.m_answers.empty() &&
               std::holds_alternative<PlanAnsweredMessage>(ordinary.m_answers.back());
    }));
    EXPECT_EQ(std::get<PlanAnsweredMessage>(ordinary.m_answers.back()).strRefusal,
              "only root and members of group " + strGroup + " may change this host's plan");
    const auto storedPlan = [&] {
        CUsageStore store((m_dir / "usage.sqlite").string(), CUsageStore::EAccess::Read, 0);
        return LoadPlan(store);
    };
    EXPECT_EQ(storedPlan(), std::nullopt);
    EXPECT_EQ(AskServiceToSetPlan(m_strSocket, SerializePlan(plan)), "");
    EXPECT_EQ(storedPlan(), plan);
    EXPECT_EQ(AskServiceToSetPlan(m_strSocket, ""), "");
    EXPECT_EQ(storedPlan(), std::nullopt);
}

// Flow owners that name every flow by one control group, as the in-kernel ones would name a
// flow whose socket is gone: which meter asked them shows in its rows.
class CFixedOwners final : public IFlowOwners {
public:
    explicit CFixedOwners(uint64_t nCgroupId) : m_nCgroupId(nCgroupId) {}
    // Any resolver's thread, several at once.
    std::optional<FlowOwner> Lookup(const FlowKey&) const override {
        m_nLookups.fetch_add(1, std::memory_order_relaxed);
        return FlowOwner{m_nCgroupId, 0, 0, {}};
    }
    void Forget(const std::vector<FlowKey>&) override {}
    mutable std::atomic<int> m_nLookups{0};

private:
    const uint64_t m_nCgroupId;
};

// The service's flow owners serve its shared meter and the meters of clients with settings of
// their own alike: both clients see the application under the owners' group.
TEST_F(DaemonLive, ClientsOwnMetersAskTheServicesFlowOwnersToo) {
    const std::string strCgroups =
        CCgroupIndex().GetRoot() + "/orvek-owners-" + std::to_string(getpid());
    const std::string strSaid = strCgroups + "/orvek-owners-said.service";
    std::filesystem::create_directories(strSaid);
    struct stat info {};
    ASSERT_EQ(stat(strSaid.c_str(), &info), 0);
    CFixedOwners owners(info.st_ino); // a cgroup v2 group's id is its directory's inode
    DaemonConfig config{m_dir.string(), m_strSocket};
    config.pFlowOwners = &owners;
    {
        CDaemonThread daemon(config);
        CDaemonClient shared(m_strSocket), own(m_strSocket);
        shared.Start();
        own.Start("udp");
        std::unique_ptr<CUdpSink> pSink;
        m_peer.RunIn([&] { pSink = std::make_unique<CUdpSink>("10.91.0.2", 9300); });
        {
            const CUserApp app(strCgroups, "orvek-owners-app.service", 0, 10, 300);
            EXPECT_EQ(pSink->WaitFor(10), 10u);
            for (CDaemonClient* pClient : {&shared, &own}) {
                EXPECT_TRUE(pClient->WaitFor([&] {
                    return RowOf(*pClient, "orvek-owners-said.service").nSentBytes == 10 * 328;
                })) << RowOf(*pClient, "orvek-owners-app.service").nSentBytes;
                EXPECT_EQ(RowOf(*pClient, "orvek-owners-app.service").strName, "");
            }
        }
        m_peer.RunIn([&] { pSink.reset(); });
    }
    EXPECT_GE(owners.m_nLookups.load(), 2);
    rmdir(strSaid.c_str());
    rmdir(strCgroups.c_str());
}

} // namespace
