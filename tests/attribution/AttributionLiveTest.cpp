// Attribution end to end: four "applications", each a process in a control group of its own that
// the test makes, running as root, as two other users, and as the meter's own user beside another
// program, talk to a peer namespace over a veth pair (bulk TCP both ways, short TCP connections,
// UDP requests and answers, over IPv4 and IPv6), while the meter captures: in this process as root,
// and as the real orvek-headless run by an unprivileged user that holds CAP_NET_RAW alone; sockets
// that end at once also with the in-kernel flow owners. Each application sends from addresses of
// its own, so that the kernel's own packet counters (nftables rules by address) tell each one's
// bytes; the meter's rows must give each application at least 75 % of them (its short connections,
// closed within a millisecond, may be gone before their first packet is seen: those are "closed",
// never guessed) and never a byte of another's, and add up to the meter's totals.

#include "AdapterManager.h"
#include "Cgroups.h"
#include "FakeMeterView.h"
#include "KernelFlowOwners.h"
#include "NetNs.h"
#include "OrvekMeter.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iostream>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace orvektest;

namespace {

constexpr uint16_t kTcpPort = 7500, kUdpPort = 7501;
constexpr size_t kApps = 4;
constexpr int kTicks = 200; // of 5 ms

std::string AppAddress(size_t nApp, bool bIPv6) {
    return bIPv6 ? "fd81::" + std::to_string(11 + nApp) : "10.81.0." + std::to_string(11 + nApp);
}

// Control groups of this test process, removed with it: empty ones of test processes that died
// are removed at the next start. Made wherever the cgroup v2 hierarchy is mounted.
class CTestCgroups {
public:
    CTestCgroups() : m_strRoot(CCgroupIndex().GetRoot()) {
        namespace fs = std::filesystem;
        if (m_strRoot.empty()) {
            throw std::runtime_error("no cgroup v2 hierarchy is mounted");
        }
        for (const auto& entry : fs::directory_iterator(m_strRoot)) {
            const std::string strName = entry.path().filename();
            if (strName.starts_with("orvek-test-") &&
                ::kill(std::stoi(strName.substr(11)), 0) != 0) {
                RemoveTree(entry.path());
            }
        }
        m_strDir = m_strRoot + "/orvek-test-" + std::to_string(::getpid());
        fs::create_directory(m_strDir);
    }
    ~CTestCgroups() { RemoveTree(m_strDir); }
    std::string Make(const std::string& strName) {
        const std::string strPath = m_strDir + "/" + strName;
        std::filesystem::create_directory(strPath);
        return strPath;
    }

private:
    static void RemoveTree(const std::filesystem::path& dir) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
            if (entry.is_directory()) {
                RemoveTree(entry.path());
            }
        }
        ::rmdir(dir.c_str()); // a cgroup directory goes with rmdir alone
    }
    std::string m_strRoot, m_strDir;
};

// An address and port as a socket address; its length.
socklen_t MakeAddress(const std::string& strAddress, uint16_t nPort, sockaddr_storage& address) {
    address = {};
    if (strAddress.find(':') != std::string::npos) {
        auto* pAddress = reinterpret_cast<sockaddr_in6*>(&address);
        pAddress->sin6_family = AF_INET6;
        inet_pton(AF_INET6, strAddress.c_str(), &pAddress->sin6_addr);
        pAddress->sin6_port = htons(nPort);
        return sizeof(sockaddr_in6);
    }
    auto* pAddress = reinterpret_cast<sockaddr_in*>(&address);
    pAddress->sin_family = AF_INET;
    inet_pton(AF_INET, strAddress.c_str(), &pAddress->sin_addr);
    pAddress->sin_port = htons(nPort);
    return sizeof(sockaddr_in);
}

// Plain system calls only: this runs in a child forked from a process with threads.
int Connect(const std::string& strFrom, const std::string& strTo, uint16_t nPort, int nType) {
    sockaddr_storage from{}, to{};
    MakeAddress(strFrom, 0, from);
    const socklen_t nLength = MakeAddress(strTo, nPort, to);
    const int hFd = ::socket(to.ss_family, nType | SOCK_CLOEXEC, 0);
    const timeval timeout{20, 0};
    if (hFd < 0 || ::setsockopt(hFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        ::bind(hFd, reinterpret_cast<sockaddr*>(&from), nLength) != 0 ||
        ::connect(hFd, reinterpret_cast<sockaddr*>(&to), nLength) != 0) {
        ::_exit(10);
    }
    return hFd;
}

// Sends nBytes in chunks and reads each back (echoed); exits the child on any failure.
void Exchange(int hFd, size_t nBytes, size_t nChunk, bool bStream) {
    static char aBuffer[16384];
    for (size_t nDone = 0; nDone < nBytes; nDone += nChunk) {
        if (::send(hFd, aBuffer, nChunk, MSG_NOSIGNAL) != static_cast<ssize_t>(nChunk) ||
            ::recv(hFd, aBuffer, nChunk, bStream ? MSG_WAITALL : 0) !=
                static_cast<ssize_t>(nChunk)) {
            ::_exit(11);
        }
    }
}

// One application's traffic, per family, for about a second: a bulk connection that sends
// nChunk bytes and gets them back every 5 ms, a short connection of 2 KB each way every 5 ms (200
// a second), and a UDP request of 512 bytes answered alike every 10 ms. Runs in strCgroup as the
// user nUid.
[[noreturn]] void RunApp(const std::string& strCgroup, uid_t nUid, bool bCompanion, size_t nApp,
                         size_t nChunk) {
    const int hProcs = ::open((strCgroup + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
    if (hProcs < 0 || ::write(hProcs, "0\n", 2) != 2) {
        ::_exit(12);
    }
    ::close(hProcs);
    if (nUid != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(nUid, nUid, nUid) != 0 ||
                      ::setresuid(nUid, nUid, nUid) != 0)) {
        ::_exit(13);
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the test (set after the user changed)
    ::prctl(PR_SET_DUMPABLE, 1);        // as a user's programs are, its user may look at it
    // Another program beside it in its group, so that its sockets must be told apart.
    const pid_t nCompanion = bCompanion ? ::fork() : 0;
    if (bCompanion && nCompanion == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::execl("/bin/sleep", "sleep", "60", nullptr);
        ::_exit(14);
    }
    for (const bool bIPv6 : {false, true}) {
        const std::string strFrom = AppAddress(nApp, bIPv6);
        const std::string strServer = bIPv6 ? "fd81::2" : "10.81.0.2";
        const int hBulk = Connect(strFrom, strServer, kTcpPort, SOCK_STREAM);
        const int hUdp = Connect(strFrom, strServer, kUdpPort, SOCK_DGRAM);
        timespec tick{};
        ::clock_gettime(CLOCK_MONOTONIC, &tick);
        for (int nTick = 0; nTick < kTicks; ++nTick) {
            Exchange(hBulk, nChunk, 16384, true);
            const int hShort = Connect(strFrom, strServer, kTcpPort, SOCK_STREAM);
            Exchange(hShort, 2048, 2048, true);
            ::close(hShort);
            if (nTick % 2 == 0) {
                Exchange(hUdp, 512, 512, false);
            }
            tick.tv_nsec += 5'000'000;
            if (tick.tv_nsec >= 1'000'000'000) {
                tick.tv_nsec -= 1'000'000'000;
                ++tick.tv_sec;
            }
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
        }
        ::close(hUdp);
        ::close(hBulk);
    }
    if (nCompanion > 0) {
        ::kill(nCompanion, SIGKILL);
        ::waitpid(nCompanion, nullptr, 0);
    }
    ::_exit(0);
}

// The workloads that end their sockets at once, each as one application in its group (as root),
// from its address, over IPv4 then IPv6: 0 a bulk upload of 8 MiB a family at full speed
// (echoed back); 1 150 TCP connections a family of 8 KB each way, all open, then closed at once;
// 2 150 UDP requests a family of 512 bytes, answered alike, each from a new unconnected socket
// that closes when its answer came.
[[noreturn]] void RunBurstApp(const std::string& strCgroup, size_t nApp) {
    const int hProcs = ::open((strCgroup + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
    if (hProcs < 0 || ::write(hProcs, "0\n", 2) != 2) {
        ::_exit(12);
    }
    ::close(hProcs);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    constexpr int kShort = 150;
    for (const bool bIPv6 : {false, true}) {
        const std::string strFrom = AppAddress(nApp, bIPv6);
        const std::string strServer = bIPv6 ? "fd81::2" : "10.81.0.2";
        if (nApp == 0) {
            const int hBulk = Connect(strFrom, strServer, kTcpPort, SOCK_STREAM);
            Exchange(hBulk, 8 * 1024 * 1024, 16384, true);
            ::close(hBulk);
        } else if (nApp == 1) {
            int aShort[kShort];
            for (int& hShort : aShort) {
                hShort = Connect(strFrom, strServer, kTcpPort, SOCK_STREAM);
                Exchange(hShort, 8192, 8192, true);
            }
            for (const int hShort : aShort) {
                ::close(hShort);
            }
        } else {
            sockaddr_storage from{}, to{};
            MakeAddress(strFrom, 0, from);
            const socklen_t nLength = MakeAddress(strServer, kUdpPort, to);
            for (int n = 0; n < kShort; ++n) {
                static char aBuffer[512];
                const int hFd = ::socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                const timeval timeout{20, 0};
                if (hFd < 0 ||
                    ::setsockopt(hFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
                    ::bind(hFd, reinterpret_cast<sockaddr*>(&from), nLength) != 0 ||
                    ::sendto(hFd, aBuffer, sizeof aBuffer, 0, reinterpret_cast<sockaddr*>(&to),
                             nLength) != sizeof aBuffer ||
                    ::recv(hFd, aBuffer, sizeof aBuffer, 0) != sizeof aBuffer) {
                    ::_exit(11);
                }
                ::close(hFd);
            }
        }
    }
    ::_exit(0);
}

// A TCP echo that serves every connection at once, each on a thread of its own.
class CConcurrentEcho {
public:
    CConcurrentEcho(const std::string& strAddress, uint16_t nPort) {
        sockaddr_storage address{};
        const socklen_t nLength = MakeAddress(strAddress, nPort, address);
        m_fdListen.Reset(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::bind(m_fdListen.Get(), reinterpret_cast<sockaddr*>(&address), nLength) != 0 ||
            ::listen(m_fdListen.Get(), 64) != 0) {
            throw std::runtime_error("echo on " + strAddress + ": " + std::strerror(errno));
        }
        m_server = std::thread([this] { Serve(); });
    }
    ~CConcurrentEcho() {
        m_stopEvent.Set();
        m_server.join();
        for (std::thread& connection : m_connections) {
            connection.join();
        }
    }

private:
    void Serve() {
        for (;;) {
            pollfd fds[2] = {{m_fdListen.Get(), POLLIN, 0}, {m_stopEvent.GetFd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
                return;
            }
            const int hPeer = ::accept4(m_fdListen.Get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (hPeer >= 0) {
                m_connections.emplace_back([hPeer] { Echo(hPeer); });
            }
        }
    }
    static void Echo(int hPeer) {
        const CZarnFd peerFd(hPeer);
        const timeval timeout{20, 0};
        ::setsockopt(hPeer, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        std::vector<char> buffer(65536);
        ssize_t nRead = 0;
        while ((nRead = ::recv(hPeer, buffer.data(), buffer.size(), 0)) > 0 &&
               ::send(hPeer, buffer.data(), static_cast<size_t>(nRead), MSG_NOSIGNAL) == nRead) {
        }
    }

    CZarnFd m_fdListen;
    CZarnEvent m_stopEvent;
    std::thread m_server;
    std::vector<std::thread> m_connections; // the serving thread's until it is joined
};

// Children not yet reaped are killed and reaped, whatever ends the test.
struct CChildren {
    std::vector<pid_t> vecPids;
    ~CChildren() {
        for (const pid_t nPid : vecPids) {
            ::kill(nPid, SIGKILL);
            ::waitpid(nPid, nullptr, 0);
        }
    }
};

// A UDP echo: answers each datagram with itself.
struct CUdpEcho : CSocketServer {
    CUdpEcho(const std::string& strAddress, uint16_t nPort)
        : CSocketServer(strAddress, nPort, SOCK_DGRAM, [](CSocketServer& self) {
              char aBuffer[2048];
              for (;;) {
                  pollfd fds[2] = {{self.m_fdSocket.Get(), POLLIN, 0},
                                   {self.m_stopEvent.GetFd(), POLLIN, 0}};
                  if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
                      return;
                  }
                  sockaddr_storage from{};
                  socklen_t nFrom = sizeof from;
                  const ssize_t nRead =
                      ::recvfrom(self.m_fdSocket.Get(), aBuffer, sizeof aBuffer, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &nFrom);
                  if (nRead > 0) {
                      ::sendto(self.m_fdSocket.Get(), aBuffer, static_cast<size_t>(nRead), 0,
                               reinterpret_cast<sockaddr*>(&from), nFrom);
                  }
              }
          }) {}
};

// The bytes of an nftables counter.
int64_t CounterBytes(const std::string& strName) {
    const std::string strOut = ShOut("nft list counter inet orvek_apps " + strName);
    const size_t nAt = strOut.find("bytes ");
    return nAt == std::string::npos ? -1 : std::stoll(strOut.substr(nAt + 6));
}

// The bytes the meter counted from an application's addresses (both families), attributed or
// not, by its connections.
int64_t CountedFrom(const std::vector<ConnectionUsage>& connections, size_t nApp) {
    int64_t nBytes = 0;
    for (const bool bIPv6 : {false, true}) {
        std::string strAddress(bIPv6 ? 16 : 4, '\0');
        inet_pton(bIPv6 ? AF_INET6 : AF_INET, AppAddress(nApp, bIPv6).c_str(), strAddress.data());
        for (const ConnectionUsage& connection : connections) {
            if (connection.strLocal == strAddress) {
                nBytes += connection.nSentBytes + connection.nRecvBytes;
            }
        }
    }
    return nBytes;
}

// An application of the scenario: the control group it runs in (made below the test's own), the
// user it runs as, the row it must get, and whether another program runs beside it.
struct AppSpec {
    std::string strCgroup;
    uid_t nUid = 0;
    std::string strName;
    bool bCompanion = false;
};

// The rows the meter gave and its totals.
struct MeterRows {
    std::vector<AppUsage> rows;
    int64_t nSentBytes = 0, nRecvBytes = 0;
};

// The name of a user's row, as rows name users.
std::string UserRow(uid_t nUid) {
    const passwd* pEntry = ::getpwuid(nUid);
    return pEntry != nullptr ? std::string("user ") + pEntry->pw_name
                             : "uid " + std::to_string(nUid);
}

// The applications: root in a group of its own, daemon in a group named like a service, bin in a
// login session's scope, which names no application: its row is its user's; and the meter's own
// user in another session's scope, beside another program: its row is its executable's.
std::vector<AppSpec> Applications(uid_t nOwnUid) {
    const std::string strSelf = std::filesystem::read_symlink("/proc/self/exe").filename();
    return {{"orvek-app-0", 0, "orvek-app-0"},
            {"orvek-app-1.service", 1, "orvek-app-1.service"},
            {"session-orvek2.scope", 2, UserRow(2)},
            {"session-orvek3.scope", nOwnUid, strSelf, true}};
}

// The host: a veth pair to a peer namespace that echoes TCP and UDP on both families, the
// applications' addresses on this side, and nftables counters of each application's bytes.
// The counts settle, then the stop hands what the capture threads hold to the resolver: the
// meter's snapshot with every counted flow booked.
MeterSnapshot SettleAndStop(COrvekMeter& meter) {
    const auto meterTotal = [&] { return meter.GetSentBytes() + meter.GetRecvBytes(); };
    int64_t nLast = -1;
    WaitUntil([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return std::exchange(nLast, meterTotal()) == nLast;
    });
    meter.StopCapture();
    return meter.GetSnapshot();
}

class AttributionLive : public testing::Test {
protected:
    AttributionLive() {
        MakeVethPair(m_peer, {"aat0", "10.81.0.1", "fd81::1"}, {"aat1", "10.81.0.2", "fd81::2"});
        // Each application's bytes are counted where they arrive, in the input hooks of this side
        // (received) and of the peer (sent): with receive offload off there they are the wire's
        // segments, as the meter counts them. An output hook would see the sender's merged
        // packets.
        const std::string strTable = "nft add table inet orvek_apps && nft add chain inet "
                                     "orvek_apps in '{ type filter hook input priority 0; }'";
        std::string strSetUp = strTable, strPeerSetUp = strTable, strNeighbours;
        for (size_t nApp = 0; nApp < kApps; ++nApp) {
            const std::string strApp = "app" + std::to_string(nApp);
            const std::string str4 = AppAddress(nApp, false), str6 = AppAddress(nApp, true);
            strSetUp += " && ip addr add " + str4 + "/24 dev aat0 && ip addr add " + str6 +
                        "/64 nodad dev aat0 && nft add counter inet orvek_apps " + strApp +
                        "_in && nft add rule inet orvek_apps in ip daddr " + str4 +
                        " counter name " + strApp +
                        "_in && nft add rule inet orvek_apps in ip6 daddr " + str6 +
                        " counter name " + strApp + "_in";
            strPeerSetUp += " && nft add counter inet orvek_apps " + strApp +
                            "_out && nft add rule inet orvek_apps in ip saddr " + str4 +
                            " counter name " + strApp +
                            "_out && nft add rule inet orvek_apps in ip6 saddr " + str6 +
                            " counter name " + strApp + "_out";
            strNeighbours += " " + str4 + " " + str6;
        }
        ShOk(strSetUp);
        m_peer.RunIn([&] { ShOk(strPeerSetUp); });
        // The peer reaches the applications' addresses without asking (ARP and ND are off).
        const std::string strMac = ShOut("ip -br link show aat0 | awk '{print $3}'");
        m_peer.RunIn([&] {
            SetUpOrThrow("neigh aat1 " + strMac.substr(0, strMac.find('\n')) + strNeighbours);
        });
        m_peer.RunIn([&] {
            m_pEcho4 = std::make_unique<CConcurrentEcho>("10.81.0.2", kTcpPort);
            m_pEcho6 = std::make_unique<CConcurrentEcho>("fd81::2", kTcpPort);
            m_pUdp4 = std::make_unique<CUdpEcho>("10.81.0.2", kUdpPort);
            m_pUdp6 = std::make_unique<CUdpEcho>("fd81::2", kUdpPort);
        });
    }
    // The next test of this process makes them again; the peer's side goes with its namespace.
    ~AttributionLive() override {
        Sh("ip link del aat0 2>/dev/null; nft delete table inet orvek_apps 2>/dev/null");
    }

    // Runs the applications to their end, each in its group as its user.
    void RunApplications(const std::vector<AppSpec>& apps) {
        CChildren children;
        for (size_t nApp = 0; nApp < apps.size(); ++nApp) {
            const std::string strCgroup = m_cgroups.Make(apps[nApp].strCgroup);
            const pid_t nPid = ::fork();
            ASSERT_GE(nPid, 0);
            if (nPid == 0) {
                RunApp(strCgroup, apps[nApp].nUid, apps[nApp].bCompanion, nApp,
                       (nApp % 3 + 1) * 16384);
            }
            children.vecPids.push_back(nPid);
        }
        while (!children.vecPids.empty()) {
            int nStatus = -1;
            ASSERT_EQ(::waitpid(children.vecPids.back(), &nStatus, 0), children.vecPids.back());
            children.vecPids.pop_back();
            EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << nStatus;
        }
    }

    // Each application has at least 75 % of its bytes as the kernel counted them and no more,
    // no other application has a row, and the rows add up to the totals.
    void ExpectOwnBytes(const MeterRows& meter, const std::vector<AppSpec>& apps) {
        int64_t nRowsSent = 0, nRowsRecv = 0;
        std::string strRows;
        for (const AppUsage& row : meter.rows) {
            nRowsSent += row.nSentBytes;
            nRowsRecv += row.nRecvBytes;
            strRows += row.strName + ": " + std::to_string(row.nSentBytes) + " sent, " +
                       std::to_string(row.nRecvBytes) + " received, " +
                       std::to_string(row.nConnections) + " connections\n";
            EXPECT_NE(row.nReason, static_cast<uint32_t>(EUnattributed::NoSocket)) << row.strName;
            EXPECT_TRUE(!row.IsAttributed() ||
                        std::ranges::find(apps, row.strName, &AppSpec::strName) != apps.end())
                << row.strName;
        }
        EXPECT_EQ(nRowsSent, meter.nSentBytes);
        EXPECT_EQ(nRowsRecv, meter.nRecvBytes);
        for (size_t nApp = 0; nApp < apps.size(); ++nApp) {
            const std::string strApp = "app" + std::to_string(nApp);
            int64_t nSent = -1;
            m_peer.RunIn([&] { nSent = CounterBytes(strApp + "_out"); });
            const int64_t nRecv = CounterBytes(strApp + "_in");
            const auto it = std::ranges::find(meter.rows, apps[nApp].strName, &AppUsage::strName);
            ASSERT_NE(it, meter.rows.end()) << apps[nApp].strName << " has no row\n" << strRows;
            // At least 75 % of its own, and never more: nothing of another's.
            EXPECT_GE(it->nSentBytes * 1000, nSent * 750) << strApp << " of " << nSent << "\n"
                                                          << strRows;
            EXPECT_GE(it->nRecvBytes * 1000, nRecv * 750) << strApp << " of " << nRecv << "\n"
                                                          << strRows;
            EXPECT_LE(it->nSentBytes, nSent) << strRows;
            EXPECT_LE(it->nRecvBytes, nRecv) << strRows;
        }
        std::cout << strRows;
    }

    // Runs the burst workloads to their end, one after another, each in its group.
    void RunBursts() {
        for (size_t nApp = 0; nApp < 3; ++nApp) {
            const std::string strCgroup = m_cgroups.Make("orvek-burst-" + std::to_string(nApp));
            const pid_t nPid = ::fork();
            ASSERT_GE(nPid, 0);
            if (nPid == 0) {
                RunBurstApp(strCgroup, nApp);
            }
            int nStatus = -1; // the child ends by itself, or with this process
            ASSERT_EQ(::waitpid(nPid, &nStatus, 0), nPid);
            EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << nStatus;
        }
    }

    // The bursts with a meter in this process (as root) that looks new flows' owners up in
    // pOwners first (null: the socket diagnostics alone): its snapshot once the counts settled
    // and the stop handed every flow to the resolver.
    MeterSnapshot RunBurstsInProcess(IFlowOwners* pOwners) {
        CFakeView view;
        CAdapterManager manager;
        COrvekMeter meter(view, manager, manager);
        meter.SetFlowOwners(pOwners);
        EXPECT_EQ(meter.StartCapture(), "");
        RunBursts();
        return SettleAndStop(meter);
    }

    // The nftables counters of both sides start again from zero, for the next run's shares.
    void ResetCounters() {
        Sh("nft reset counters table inet orvek_apps >/dev/null");
        m_peer.RunIn([] { Sh("nft reset counters table inet orvek_apps >/dev/null"); });
    }

    // Each burst application's share of its bytes as the kernel counted them: never more than
    // all, the TCP ones' more than none; nothing is "no socket" (every flow was this host's), and
    // the rows add up to the totals. Prints the shares. With nMinPerMille, each application has
    // at least that share of what the meter counted of its addresses (a capture that fell behind
    // lost packets, which no attribution can give back). Returns each application's bytes and
    // the kernel's count of them.
    std::vector<std::pair<int64_t, int64_t>>
    ExpectBurstShares(const MeterRows& meter, const std::string& strWho,
                      const std::vector<ConnectionUsage>* pConnections = nullptr,
                      int64_t nMinPerMille = 0) {
        std::vector<std::pair<int64_t, int64_t>> shares;
        int64_t nRowsSent = 0, nRowsRecv = 0;
        std::string strRows;
        for (const AppUsage& row : meter.rows) {
            nRowsSent += row.nSentBytes;
            nRowsRecv += row.nRecvBytes;
            strRows += row.strName + ": " + std::to_string(row.nSentBytes) + " sent, " +
                       std::to_string(row.nRecvBytes) + " received\n";
            if (row.nReason == static_cast<uint32_t>(EUnattributed::NoSocket)) {
                ADD_FAILURE() << "bytes without a socket here\n" << strRows;
            }
        }
        EXPECT_EQ(nRowsSent, meter.nSentBytes);
        EXPECT_EQ(nRowsRecv, meter.nRecvBytes);
        int64_t nKernel = 0; // what the meter had to count (a capture that fell behind lost some)
        for (size_t nApp = 0; nApp < 3; ++nApp) {
            const std::string strApp = "app" + std::to_string(nApp);
            const std::string strName = "orvek-burst-" + std::to_string(nApp);
            int64_t nSent = -1;
            m_peer.RunIn([&] { nSent = CounterBytes(strApp + "_out"); });
            const int64_t nAll = nSent + CounterBytes(strApp + "_in");
            nKernel += nAll;
            const auto it = std::ranges::find(meter.rows, strName, &AppUsage::strName);
            const int64_t nOwn = it != meter.rows.end() ? it->nSentBytes + it->nRecvBytes : 0;
            shares.emplace_back(nOwn, nAll);
            std::cout << strWho << ": " << strName << " " << nOwn << " of " << nAll << " bytes, "
                      << static_cast<double>(nOwn) * 100 / static_cast<double>(nAll) << " %\n";
            // How much is a matter of speed (bench/ keeps the shares): a capture thread or
            // resolver kept off the processor (other work, a sanitizer's slowness) sees even a
            // bulk upload's connection late, and a capture that falls behind loses packets.
            // Held here: TCP sockets are found at their start at all; a UDP socket that lives a
            // tenth of a millisecond is not.
            if (nApp < 2) {
                EXPECT_GT(nOwn, 0) << strName << "\n" << strRows;
            }
            EXPECT_LE(nOwn, nAll) << strName << "\n" << strRows;
            if (pConnections != nullptr) {
                const int64_t nCounted = CountedFrom(*pConnections, nApp);
                std::cout << strWho << ": " << strName << " " << nOwn << " of " << nCounted
                          << " bytes counted, "
                          << static_cast<double>(nOwn) * 100 / static_cast<double>(nCounted)
                          << " %\n";
                EXPECT_GE(nOwn * 1000, nCounted * nMinPerMille) << strName << "\n" << strRows;
            }
        }
        std::cout << strWho << ": counted " << nRowsSent + nRowsRecv << " of " << nKernel
                  << " bytes\n"
                  << strRows;
        return shares;
    }

    CPeerNs m_peer;
    std::unique_ptr<CConcurrentEcho> m_pEcho4, m_pEcho6;
    std::unique_ptr<CUdpEcho> m_pUdp4, m_pUdp6;
    CTestCgroups m_cgroups;
};

// The rows and totals of a JSON line of orvek-headless --per-app; totals of -1 for a line that is
// not a JSON object.
MeterRows ParseJsonRows(const std::string& strLine) {
    const auto line = nlohmann::json::parse(strLine, nullptr, false);
    if (!line.is_object()) {
        return {{}, -1, -1};
    }
    MeterRows meter{
        {}, line.value("sent_bytes", int64_t{-1}), line.value("received_bytes", int64_t{-1})};
    for (const auto& row : line.value("apps", nlohmann::json::array())) {
        const std::string strReason = row.value("reason", "");
        const uint32_t nReason = strReason.empty()                                         ? 0U
                                 : strReason == LabelUnattributed(EUnattributed::NoSocket) ? 5U
                                                                                           : 1U;
        meter.rows.push_back(
            {row.at("name"), nReason, row.at("sent_bytes"), row.at("received_bytes"), 0});
    }
    return meter;
}

} // namespace

TEST_F(AttributionLive, EachApplicationGetsItsOwnBytesAndTheRowsAddUp) {
    CFakeView view;
    CAdapterManager manager;
    COrvekMeter meter(view, manager, manager);
    ASSERT_EQ(meter.StartCapture(), "");
    const std::vector<AppSpec> apps = Applications(0);
    RunApplications(apps);
    const MeterSnapshot snapshot = SettleAndStop(meter);
    ExpectOwnBytes({snapshot.apps, snapshot.nSentBytes, snapshot.nRecvBytes}, apps);
    for (const AppSpec& app : apps) { // each row's owner is its sockets' user
        const auto it = std::ranges::find(snapshot.apps, app.strName, &AppUsage::strName);
        ASSERT_NE(it, snapshot.apps.end());
        EXPECT_EQ(it->nOwnerUid, app.nUid) << app.strName;
        // The meter's own user's program (named by its executable) says who: its process and
        // command line; no other row does.
        const bool bOwn = it->nKind == static_cast<uint32_t>(EAppKind::Executable);
        EXPECT_EQ(bOwn, !it->vecPids.empty()) << app.strName;
        EXPECT_LE(it->vecPids.size(), AppUsage::kMaxPids);
        EXPECT_EQ(bOwn, it->strCommand.find("attribution_live") != std::string::npos)
            << it->strCommand;
    }

    // The connections: at most the snapshot's share, the rest counted; each application's
    // largest TCP connection from its address (its bulk one) is listed under its name.
    EXPECT_LE(snapshot.connections.size(), kMaxSnapshotConnections);
    EXPECT_GE(snapshot.connections.size() + static_cast<size_t>(snapshot.nOtherConnections),
              kApps * 2 * 3); // per application and family: bulk, short and UDP ones
    for (size_t nApp = 0; nApp < kApps * 2; ++nApp) {
        const bool bIPv6 = nApp >= kApps;
        std::string strAddress(bIPv6 ? 16 : 4, '\0');
        inet_pton(bIPv6 ? AF_INET6 : AF_INET, AppAddress(nApp % kApps, bIPv6).c_str(),
                  strAddress.data());
        const ConnectionUsage* pLargest = nullptr;
        for (const ConnectionUsage& connection : snapshot.connections) {
            if (connection.strLocal == strAddress && connection.nRemotePort == kTcpPort &&
                (!pLargest || connection.nRecvBytes > pLargest->nRecvBytes)) {
                pLargest = &connection;
            }
        }
        ASSERT_NE(pLargest, nullptr) << nApp;
        EXPECT_EQ(pLargest->strApp, apps[nApp % kApps].strName) << nApp;
    }
}

// The same with the real program as an unprivileged user (nobody) holding CAP_NET_RAW alone, as
// ambient capability bounded to it: its capture helper inherits it, the program gives it up, and
// other users' applications are still told apart, by their groups and users.
TEST_F(AttributionLive, AnUnprivilegedMeterWithCapNetRawAloneTellsEveryUsersApplications) {
    CChildProcess headless({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            "--inh-caps=-all,+net_raw", "--ambient-caps=+net_raw",
                            "--bounding-set=-all,+net_raw", "--", ORVEK_HEADLESS, "--json",
                            "--interval", "0.2", "--per-app=100"});
    ASSERT_TRUE(WaitUntil([&] { return !headless.GetStdout().empty(); })) << headless.GetStderr();
    const std::string strHelper = ShOut("pgrep -P " + std::to_string(headless.GetPid()));
    ASSERT_FALSE(strHelper.empty());
    const pid_t nHelper = std::stoi(strHelper);
    EXPECT_EQ(StatusLine(nHelper, "Uid"), "65534\n");
    EXPECT_EQ(StatusLine(nHelper, "CapEff"), "0000000000002000\n");
    EXPECT_EQ(StatusLine(nHelper, "CapBnd"), "0000000000002000\n");
    EXPECT_EQ(StatusLine(headless.GetPid(), "CapEff"), "0000000000000000\n");

    // The other users' applications. The meter's own user's program, named by its executable
    // beside another program, is the in-process case's: a sanitizer build's slowness stretches
    // the paced looks at a shared scope's descriptors until some of its sockets go to its user.
    std::vector<AppSpec> apps = Applications(65534);
    apps.pop_back();
    RunApplications(apps);
    // The stop signal settles the counts, drains the flows and prints the final line.
    headless.Signal(SIGTERM);
    ASSERT_EQ(headless.Wait(), 0) << headless.GetStderr();
    EXPECT_EQ(headless.GetStderr(), "");
    const std::string strOut = headless.GetStdout();
    // Other users' programs: never their processes.
    EXPECT_EQ(strOut.find("\"pids\""), std::string::npos);
    EXPECT_EQ(strOut.find("\"command\""), std::string::npos);
    const std::string strLast = strOut.substr(strOut.rfind('\n', strOut.size() - 2) + 1);
    ExpectOwnBytes(ParseJsonRows(strLast), apps);
}

// Sockets that end at once (a bulk upload at full speed, short TCP connections closed together,
// UDP exchanges each from a new socket) are their applications' when the meter asks for them at
// their flows' first packets, in process as root and as the real program run by nobody holding
// CAP_NET_RAW alone; what is not theirs is under a true reason. The shares are printed (bench/
// keeps them: 97-100 % for TCP on a quiet machine); what is held is that no byte goes to another
// application or under a false reason, and that the flows are found at all.
TEST_F(AttributionLive, SocketsThatEndAtOnceAreStillTheirApplications) {
    {
        const MeterSnapshot snapshot = RunBurstsInProcess(nullptr);
        ExpectBurstShares({snapshot.apps, snapshot.nSentBytes, snapshot.nRecvBytes}, "root");
    }
    ResetCounters();

    CChildProcess headless({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            "--inh-caps=-all,+net_raw", "--ambient-caps=+net_raw",
                            "--bounding-set=-all,+net_raw", "--", ORVEK_HEADLESS, "--json",
                            "--interval", "0.2", "--per-app=100"});
    ASSERT_TRUE(WaitUntil([&] { return !headless.GetStdout().empty(); })) << headless.GetStderr();
    RunBursts();
    headless.Signal(SIGTERM);
    ASSERT_EQ(headless.Wait(), 0) << headless.GetStderr();
    const std::string strOut = headless.GetStdout();
    ExpectBurstShares(ParseJsonRows(strOut.substr(strOut.rfind('\n', strOut.size() - 2) + 1)),
                      "nobody with CAP_NET_RAW");
}

// The same with the in-kernel flow owners, as the service and a helper run by root use them: the
// kernel kept each flow's socket owner at its first packet, so even the sockets that ended before
// the resolver asked are their applications': at least 99.5 % of what the meter counted of each
// application's addresses (a capture that fell behind lost what nothing can give back), and
// nothing of another's.
TEST_F(AttributionLive, SocketsThatEndAtOnceAreTheirApplicationsByTheKernelsOwners) {
    std::string strRefusal;
    const std::unique_ptr<CKernelFlowOwners> pOwners = CKernelFlowOwners::TryLoad(strRefusal);
    ASSERT_NE(pOwners, nullptr) << strRefusal;
    const MeterSnapshot snapshot = RunBurstsInProcess(pOwners.get());
    EXPECT_EQ(snapshot.nOtherConnections, 0); // every connection is there to sum
    ExpectBurstShares({snapshot.apps, snapshot.nSentBytes, snapshot.nRecvBytes},
                      "in the kernel (root)", &snapshot.connections, 995);
    ResetCounters();

    // The real program run by root: its capture helper loads them itself, says nothing about it,
    // and the UDP exchanges, which the socket diagnostics all but never find, are their
    // application's (their few bytes leave no capture behind).
    CChildProcess headless({ORVEK_HEADLESS, "--json", "--interval", "0.2", "--per-app=100"});
    ASSERT_TRUE(WaitUntil([&] { return !headless.GetStdout().empty(); })) << headless.GetStderr();
    RunBursts();
    headless.Signal(SIGTERM);
    ASSERT_EQ(headless.Wait(), 0) << headless.GetStderr();
    EXPECT_EQ(headless.GetStderr(), "");
    const std::string strOut = headless.GetStdout();
    const auto shares =
        ExpectBurstShares(ParseJsonRows(strOut.substr(strOut.rfind('\n', strOut.size() - 2) + 1)),
                          "orvek-headless as root");
    ASSERT_EQ(shares.size(), 3U);
    EXPECT_GE(shares[2].first * 1000, shares[2].second * 995);
}
