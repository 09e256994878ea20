// Attribution end to end: three "applications", each a process in a control group of its own
// that the test makes, talk to a peer namespace over a veth pair (bulk TCP both ways, short TCP
// connections, UDP requests and answers, over IPv4 and IPv6), while the meter captures. Each
// application sends from addresses of its own, so that the kernel's own packet counters (nftables
// rules by address) tell each one's bytes; the meter's rows must give each application at least
// 99.5 % of them and never a byte of another's, and add up to the meter's totals.

#include "AdapterManager.h"
#include "FakeMeterView.h"
#include "NetNs.h"
#include "OrvekMeter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace orvektest;

namespace {

constexpr const char* kCgroupRoot = "/sys/fs/cgroup/unified";
constexpr uint16_t kTcpPort = 7500, kUdpPort = 7501;
constexpr size_t kApps = 3;
constexpr int kTicks = 200; // of 5 ms

std::string AppAddress(size_t nApp, bool bIPv6) {
    return bIPv6 ? "fd81::" + std::to_string(11 + nApp) : "10.81.0." + std::to_string(11 + nApp);
}

// Control groups of this test process, removed with it: empty ones of test processes that died
// are removed at the next start.
class CTestCgroups {
public:
    CTestCgroups() {
        namespace fs = std::filesystem;
        for (const auto& entry : fs::directory_iterator(kCgroupRoot)) {
            const std::string strName = entry.path().filename();
            if (strName.starts_with("orvek-test-") &&
                ::kill(std::stoi(strName.substr(11)), 0) != 0) {
                RemoveTree(entry.path());
            }
        }
        m_strDir = std::string(kCgroupRoot) + "/orvek-test-" + std::to_string(::getpid());
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
    std::string m_strDir;
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
// a second), and a UDP request of 512 bytes answered alike every 10 ms.
[[noreturn]] void RunApp(const std::string& strCgroup, size_t nApp, size_t nChunk) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the test
    const int hProcs = ::open((strCgroup + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
    if (hProcs < 0 || ::write(hProcs, "0\n", 2) != 2) {
        ::_exit(12);
    }
    ::close(hProcs);
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

} // namespace

TEST(AttributionLive, EachApplicationGetsItsOwnBytesAndTheRowsAddUp) {
    CPeerNs peer;
    MakeVethPair(peer, {"aat0", "10.81.0.1", "fd81::1"}, {"aat1", "10.81.0.2", "fd81::2"});
    // Each application's bytes are counted where they arrive, in the input hooks of this side
    // (received) and of the peer (sent): with receive offload off there they are the wire's
    // segments, as the meter counts them. An output hook would see the sender's merged packets.
    const std::string strTable = "nft add table inet orvek_apps && nft add chain inet orvek_apps "
                                 "in '{ type filter hook input priority 0; }'";
    std::string strSetUp = strTable, strPeerSetUp = strTable;
    for (size_t nApp = 0; nApp < kApps; ++nApp) {
        const std::string strApp = "app" + std::to_string(nApp);
        const std::string str4 = AppAddress(nApp, false), str6 = AppAddress(nApp, true);
        strSetUp += " && ip addr add " + str4 + "/24 dev aat0 && ip addr add " + str6 +
                    "/64 nodad dev aat0 && nft add counter inet orvek_apps " + strApp +
                    "_in && nft add rule inet orvek_apps in ip daddr " + str4 + " counter name " +
                    strApp + "_in && nft add rule inet orvek_apps in ip6 daddr " + str6 +
                    " counter name " + strApp + "_in";
        strPeerSetUp += " && nft add counter inet orvek_apps " + strApp +
                        "_out && nft add rule inet orvek_apps in ip saddr " + str4 +
                        " counter name " + strApp +
                        "_out && nft add rule inet orvek_apps in ip6 "
                        "saddr " +
                        str6 + " counter name " + strApp + "_out";
    }
    ShOk(strSetUp);
    peer.RunIn([&] { ShOk(strPeerSetUp); });
    // The peer reaches the applications' addresses without asking (ARP and ND are off).
    const std::string strMac = ShOut("ip -br link show aat0 | awk '{print $3}'");
    std::string strNeighbours;
    for (size_t nApp = 0; nApp < kApps; ++nApp) {
        strNeighbours += " " + AppAddress(nApp, false) + " " + AppAddress(nApp, true);
    }
    peer.RunIn(
        [&] { SetUpOrThrow("neigh aat1 " + strMac.substr(0, strMac.find('\n')) + strNeighbours); });
    std::unique_ptr<CConcurrentEcho> echo4, echo6;
    std::unique_ptr<CUdpEcho> udp4, udp6;
    peer.RunIn([&] {
        echo4 = std::make_unique<CConcurrentEcho>("10.81.0.2", kTcpPort);
        echo6 = std::make_unique<CConcurrentEcho>("fd81::2", kTcpPort);
        udp4 = std::make_unique<CUdpEcho>("10.81.0.2", kUdpPort);
        udp6 = std::make_unique<CUdpEcho>("fd81::2", kUdpPort);
    });

    CTestCgroups cgroups;
    CFakeView view;
    CAdapterManager manager;
    COrvekMeter meter(view, manager, manager);
    ASSERT_EQ(meter.StartCapture(), "");
    CChildren children;
    for (size_t nApp = 0; nApp < kApps; ++nApp) {
        const std::string strCgroup = cgroups.Make("orvek-app-" + std::to_string(nApp));
        const pid_t nPid = ::fork();
        ASSERT_GE(nPid, 0);
        if (nPid == 0) {
            RunApp(strCgroup, nApp, (nApp + 1) * 16384);
        }
        children.vecPids.push_back(nPid);
    }
    while (!children.vecPids.empty()) {
        int nStatus = -1;
        ASSERT_EQ(::waitpid(children.vecPids.back(), &nStatus, 0), children.vecPids.back());
        children.vecPids.pop_back();
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << nStatus;
    }
    // The counts settle, then the stop hands what the capture threads hold to the resolver.
    const auto meterTotal = [&] { return meter.GetSentBytes() + meter.GetRecvBytes(); };
    int64_t nLast = -1;
    WaitUntil([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return std::exchange(nLast, meterTotal()) == nLast;
    });
    meter.StopCapture();
    const MeterSnapshot snapshot = meter.GetSnapshot();

    int64_t nRowsSent = 0, nRowsRecv = 0;
    std::string strRows;
    for (const AppUsage& row : snapshot.apps) {
        nRowsSent += row.nSentBytes;
        nRowsRecv += row.nRecvBytes;
        strRows += row.strName + ": " + std::to_string(row.nSentBytes) + " sent, " +
                   std::to_string(row.nRecvBytes) + " received, " +
                   std::to_string(row.nConnections) + " connections\n";
        EXPECT_TRUE(!row.IsAttributed() || row.strName.starts_with("orvek-app-")) << row.strName;
    }
    EXPECT_EQ(nRowsSent, snapshot.nSentBytes);
    EXPECT_EQ(nRowsRecv, snapshot.nRecvBytes);
    for (size_t nApp = 0; nApp < kApps; ++nApp) {
        const std::string strApp = "app" + std::to_string(nApp);
        int64_t nSent = -1;
        peer.RunIn([&] { nSent = CounterBytes(strApp + "_out"); });
        const int64_t nRecv = CounterBytes(strApp + "_in");
        const auto it = std::ranges::find(snapshot.apps, "orvek-app-" + std::to_string(nApp),
                                          &AppUsage::strName);
        ASSERT_NE(it, snapshot.apps.end()) << strRows;
        // At least 99.5 % of its own, and never more: nothing of another's.
        EXPECT_GE(it->nSentBytes * 1000, nSent * 995) << strApp << " of " << nSent << "\n"
                                                      << strRows;
        EXPECT_GE(it->nRecvBytes * 1000, nRecv * 995) << strApp << " of " << nRecv << "\n"
                                                      << strRows;
        EXPECT_LE(it->nSentBytes, nSent) << strRows;
        EXPECT_LE(it->nRecvBytes, nRecv) << strRows;
    }
    std::cout << strRows;
}
