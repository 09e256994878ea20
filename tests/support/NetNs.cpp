#include "NetNs.h"

#include "ZarnException.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <memory>
#include <netdb.h>
#include <numeric>
#include <pcap/pcap.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orvektest {

namespace {

[[noreturn]] void Fail(const std::string& strWhat) {
    throw std::runtime_error(strWhat + ": " + std::strerror(errno));
}

// Runs /bin/sh -c in a child of the calling thread, so in that thread's namespace; returns its
// exit status and its standard output (with standard error when bWithErrors).
std::pair<int, std::string> RunShell(const std::string& strCommand, bool bWithErrors = true) {
    // Redirected ahead of the command, so that a here-document at its end still closes.
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(
        popen(((bWithErrors ? "exec 2>&1\n" : "") + strCommand).c_str(), "re"), pclose);
    if (pipe == nullptr) {
        Fail("popen");
    }
    std::string strOutput;
    for (int nChar; (nChar = std::fgetc(pipe.get())) != EOF;) {
        strOutput += static_cast<char>(nChar);
    }
    const int nStatus = pclose(pipe.release());
    return {WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus), strOutput};
}

// Shell functions for set-up scripts. quiet_up DEV brings a link up making the kernel send nothing
// of its own on it: no IPv6 link-local address (so no router solicitation and no duplicate
// address detection), no router advertisements taken, and with ARP off no solicited-node group
// joined (whose MLD reports would be traffic). Its offloads are off where the device lets them be
// turned off, so that its kernel counters count the wire's segments, as the meter does, rather
// than merged packets. neigh DEV MAC ADDRESS... adds static neighbours, so that nobody asks for
// them.
const char* const g_szSetUpFunctions = R"(set -e
quiet_up() {
    for s in addr_gen_mode=1 accept_ra=0 router_solicitations=0 accept_dad=0 dad_transmits=0; do
        sysctl -qw net.ipv6.conf.$1.$s
    done
    command -v ethtool >/dev/null || { echo "quiet_up: ethtool is not installed" >&2; exit 1; }
    ethtool -K $1 tso off gso off gro off tx-udp-segmentation off >/dev/null 2>&1 || true
    ip link set dev $1 multicast off arp off up
}
neigh() {
    d=$1 m=$2; shift 2
    for a; do ip neigh replace $a lladdr $m dev $d nud permanent; done
}
)";

// Brings a link up quietly with its addresses, then runs strThen.
void BringUp(const std::string& strName, const std::string& strIPv4Cidr,
             const std::string& strIPv6Cidr, const std::string& strThen = "") {
    SetUpOrThrow(
        "quiet_up " + strName + "\n" +
        (strIPv4Cidr.empty() ? "" : "ip addr add " + strIPv4Cidr + " dev " + strName + "\n") +
        (strIPv6Cidr.empty() ? "" : "ip addr add " + strIPv6Cidr + " dev " + strName + " nodad\n") +
        strThen);
}

auto Resolve(const std::string& strAddress, uint16_t nPort) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* pInfo = nullptr;
    if (getaddrinfo(strAddress.c_str(), std::to_string(nPort).c_str(), &hints, &pInfo) != 0) {
        throw std::runtime_error("not an address: " + strAddress);
    }
    return std::unique_ptr<addrinfo, void (*)(addrinfo*)>(pInfo, freeaddrinfo);
}

// A socket with a 20 s receive time-out (sends never wait long here), bound to strAddress:nPort
// when bBind (and listening, for a stream), else connected to it.
CZarnFd MakeSocket(const std::string& strAddress, int nType, bool bBind, uint16_t nPort = 0) {
    const auto pAddress = Resolve(strAddress, nPort);
    CZarnFd socketFd(socket(pAddress->ai_family, nType | SOCK_CLOEXEC, 0));
    const timeval timeout{20, 0};
    if (!socketFd.IsOpen() ||
        setsockopt(socketFd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        (bBind ? bind : connect)(socketFd.Get(), pAddress->ai_addr, pAddress->ai_addrlen) != 0 ||
        (bBind && nType == SOCK_STREAM && listen(socketFd.Get(), 8) != 0)) {
        Fail("socket on " + strAddress);
    }
    return socketFd;
}

// Waits until hFd is readable or stopEvent is set; false when the event won.
bool WaitReadable(int hFd, const CZarnEvent& stopEvent) {
    pollfd fds[2] = {{hFd, POLLIN, 0}, {stopEvent.GetFd(), POLLIN, 0}};
    int nReady = 0;
    while ((nReady = poll(fds, 2, -1)) < 0 && errno == EINTR) {
    }
    return nReady > 0 && (fds[1].revents & POLLIN) == 0;
}

// The Internet checksum over nLength bytes, added to nSum.
uint16_t Checksum(const uint8_t* pData, size_t nLength, uint32_t nSum = 0) {
    for (size_t i = 0; i < nLength; ++i) {
        nSum += i % 2 == 0 ? pData[i] << 8 : pData[i];
    }
    nSum = (nSum & 0xFFFF) + (nSum >> 16); // twice folds any 32-bit sum
    return static_cast<uint16_t>(~(nSum + (nSum >> 16)));
}

} // namespace

void EnterPrivateNetns() {
    if (unshare(CLONE_NEWNET) != 0) {
        Fail("live tests need root to make a network namespace");
    }
    SetUpOrThrow("ip link set lo up");
}

void SetUpOrThrow(const std::string& strScript) {
    if (const auto [nStatus, strOutput] = RunShell(g_szSetUpFunctions + strScript); nStatus != 0) {
        throw std::runtime_error("set-up failed:\n" + strScript + "\n--- output:\n" + strOutput);
    }
}

int Sh(const std::string& strCommand) {
    return RunShell(strCommand).first;
}

void ShOk(const std::string& strCommand) {
    const auto [nStatus, strOutput] = RunShell(strCommand);
    EXPECT_EQ(nStatus, 0) << "`" << strCommand << "` failed:\n" << strOutput;
}

std::string ShOut(const std::string& strCommand) {
    return RunShell(strCommand, false).second;
}

CPeerNs::CPeerNs() {
    // unshare moves only the calling thread, so a short-lived thread makes the namespace and
    // leaves a descriptor that keeps it alive.
    std::async(std::launch::async, [this] {
        EnterPrivateNetns();
        m_fdNs.Reset(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
    }).get();
}

std::string CPeerNs::GetPath() const {
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(m_fdNs.Get());
}

void CPeerNs::RunIn(const std::function<void()>& fn) const {
    // A thread of its own (std::async makes one each time), which the namespace change ends with.
    std::async(std::launch::async, [this, &fn] {
        if (setns(m_fdNs.Get(), CLONE_NEWNET) != 0) {
            Fail("setns");
        }
        fn();
    }).get();
}

void MakeVethPair(const CPeerNs& peerNs, const LinkEnd& local, const LinkEnd& peer) {
    // Fixed hardware addresses, so that both sides get permanent neighbour entries and never ask.
    // Every pair uses the same two: each link is a segment of its own.
    const std::string strLocalMac = "02:00:5e:00:00:01", strPeerMac = "02:00:5e:00:00:02";
    SetUpOrThrow("ip link add name " + local.strName + " address " + strLocalMac +
                 " type veth peer name " + peer.strName + " address " + strPeerMac + " netns " +
                 peerNs.GetPath());
    const auto configure = [](const LinkEnd& end, const LinkEnd& other, const std::string& strMac) {
        BringUp(end.strName, end.strIPv4.empty() ? "" : end.strIPv4 + "/24",
                end.strIPv6.empty() ? "" : end.strIPv6 + "/64",
                "neigh " + end.strName + " " + strMac + " " + other.strIPv4 + " " + other.strIPv6);
    };
    configure(local, peer, strPeerMac);
    peerNs.RunIn([&] { configure(peer, local, strLocalMac); });
}

void MakeVxlanPair(const CPeerNs& peerNs, const std::string& strName, uint32_t nId,
                   const LinkEnd& local, const LinkEnd& peer, const std::string& strLocal,
                   const std::string& strPeer) {
    const std::string strLocalMac = "02:00:5e:00:00:03", strPeerMac = "02:00:5e:00:00:04";
    const auto overlay = [&](const LinkEnd& end, const LinkEnd& other, const std::string& strMac,
                             const std::string& strOtherMac, const std::string& strAddress,
                             const std::string& strOther) {
        SetUpOrThrow("ip link add " + strName + " address " + strMac + " type vxlan id " +
                     std::to_string(nId) + " local " + end.strIPv4 + " remote " + other.strIPv4 +
                     " dstport 4789 dev " + end.strName + "\nquiet_up " + strName +
                     "\nip addr add " + strAddress + "/24 dev " + strName + "\nneigh " + strName +
                     " " + strOtherMac + " " + strOther);
    };
    overlay(local, peer, strLocalMac, strPeerMac, strLocal, strPeer);
    peerNs.RunIn([&] { overlay(peer, local, strPeerMac, strLocalMac, strPeer, strLocal); });
}

std::string StatusLine(pid_t nPid, const std::string& strKey) {
    return ShOut("awk '$1 == \"" + strKey + ":\" {print $2}' /proc/" + std::to_string(nPid) +
                 "/status");
}

IfCounters ReadCounters(const std::string& strInterface) {
    // /proc/net follows the process's main thread; thread-self follows the calling thread.
    std::ifstream file("/proc/thread-self/net/dev");
    IfCounters c;
    char szName[64];
    for (std::string strLine; std::getline(file, strLine);) {
        // A long counter may follow the colon without a space, which %lu skips anyway.
        if (std::sscanf(strLine.c_str(), " %63[^:]:%lu%lu%*u%*u%*u%*u%*u%*u%lu%lu", szName,
                        &c.nRxBytes, &c.nRxPackets, &c.nTxBytes, &c.nTxPackets) == 5 &&
            szName == strInterface) {
            return c;
        }
    }
    ADD_FAILURE() << "no interface " << strInterface << " in this namespace";
    return {};
}

void SendUdp(const std::string& strSource, const std::string& strDest, uint16_t nPort,
             size_t nPayload, size_t nCount) {
    const CZarnFd socketFd = MakeSocket(strSource, SOCK_DGRAM, true);
    const auto pDest = Resolve(strDest, nPort);
    const std::vector<uint8_t> payload(nPayload, 0xA5);
    size_t nSent = 0;
    while (nSent < nCount && sendto(socketFd.Get(), payload.data(), nPayload, 0, pDest->ai_addr,
                                    pDest->ai_addrlen) == static_cast<ssize_t>(nPayload)) {
        ++nSent;
    }
    EXPECT_EQ(nSent, nCount) << "sendto " << strDest << ": " << std::strerror(errno);
}

CSocketServer::CSocketServer(const std::string& strAddress, uint16_t nPort, int nType,
                             void (*serve)(CSocketServer&))
    : m_fdSocket(MakeSocket(strAddress, nType, true, nPort)), m_worker(serve, std::ref(*this)) {}

CSocketServer::~CSocketServer() {
    m_stopEvent.Set();
    m_worker.join();
}

CUdpSink::CUdpSink(const std::string& strAddress, uint16_t nPort)
    : CSocketServer(strAddress, nPort, SOCK_DGRAM, [](CSocketServer& self) {
          // A one-byte read consumes the whole datagram; each wake-up drains what is queued.
          for (char c; WaitReadable(self.m_fdSocket.Get(), self.m_stopEvent);) {
              while (recv(self.m_fdSocket.Get(), &c, 1, MSG_DONTWAIT) >= 0) {
                  ++self.m_nReceived;
              }
          }
      }) {
    // Room for a burst of thousands of datagrams while the drain thread waits for the processor.
    const int nBytes = 64 << 20;
    setsockopt(m_fdSocket.Get(), SOL_SOCKET, SO_RCVBUFFORCE, &nBytes, sizeof nBytes);
}

size_t CUdpSink::WaitFor(size_t nCount) {
    WaitUntil([this, nCount] { return m_nReceived.load() >= nCount; });
    return m_nReceived.load();
}

CTcpEcho::CTcpEcho(const std::string& strAddress, uint16_t nPort)
    : CSocketServer(strAddress, nPort, SOCK_STREAM, [](CSocketServer& self) {
          std::vector<uint8_t> buffer(65536);
          while (WaitReadable(self.m_fdSocket.Get(), self.m_stopEvent)) {
              const CZarnFd peerFd(accept4(self.m_fdSocket.Get(), nullptr, nullptr, SOCK_CLOEXEC));
              // Echoes the connection until its peer closes it.
              ssize_t nRead = 0;
              while (peerFd.IsOpen() && WaitReadable(peerFd.Get(), self.m_stopEvent) &&
                     (nRead = recv(peerFd.Get(), buffer.data(), buffer.size(), 0)) > 0 &&
                     send(peerFd.Get(), buffer.data(), static_cast<size_t>(nRead), MSG_NOSIGNAL) ==
                         nRead) {
              }
          }
      }) {}

CTcpSink::CTcpSink(const std::string& strAddress, uint16_t nPort)
    : CSocketServer(strAddress, nPort, SOCK_STREAM, [](CSocketServer& self) {
          std::vector<uint8_t> buffer(1 << 20);
          while (WaitReadable(self.m_fdSocket.Get(), self.m_stopEvent)) {
              const CZarnFd peerFd(accept4(self.m_fdSocket.Get(), nullptr, nullptr, SOCK_CLOEXEC));
              ssize_t nRead = 0;
              while (peerFd.IsOpen() && WaitReadable(peerFd.Get(), self.m_stopEvent) &&
                     (nRead = recv(peerFd.Get(), buffer.data(), buffer.size(), 0)) > 0) {
                  self.m_nReceived += static_cast<size_t>(nRead);
              }
          }
      }) {}

void TcpSend(const std::string& strDest, uint16_t nPort, size_t nBytes, uint32_t nPace) {
    const CZarnFd socketFd = MakeSocket(strDest, SOCK_STREAM, false, nPort);
    if (nPace != 0) {
        setsockopt(socketFd.Get(), SOL_SOCKET, SO_MAX_PACING_RATE, &nPace, sizeof nPace);
    }
    const std::vector<uint8_t> chunk(65536);
    for (size_t nDone = 0; nDone < nBytes;) {
        const ssize_t nSent = send(socketFd.Get(), chunk.data(),
                                   std::min(chunk.size(), nBytes - nDone), MSG_NOSIGNAL);
        if (nSent <= 0) {
            ADD_FAILURE() << "send to " << strDest << ": " << std::strerror(errno);
            return;
        }
        nDone += static_cast<size_t>(nSent);
    }
    shutdown(socketFd.Get(), SHUT_WR);
    uint8_t nByte = 0;
    EXPECT_EQ(recv(socketFd.Get(), &nByte, 1, 0), 0) << strDest << " did not close cleanly";
}

void TcpExchange(const std::string& strDest, uint16_t nPort, size_t nBytes) {
    const CZarnFd socketFd = MakeSocket(strDest, SOCK_STREAM, false, nPort);
    // Chunk by chunk, so that neither side blocks on a full buffer.
    std::vector<uint8_t> chunk(16384);
    for (size_t nDone = 0, nChunk = 0; nDone < nBytes; nDone += nChunk) {
        nChunk = std::min(chunk.size(), nBytes - nDone);
        const auto nExpected = static_cast<ssize_t>(nChunk);
        if (send(socketFd.Get(), chunk.data(), nChunk, MSG_NOSIGNAL) != nExpected ||
            recv(socketFd.Get(), chunk.data(), nChunk, MSG_WAITALL) != nExpected) {
            ADD_FAILURE() << "exchange with " << strDest << ": " << std::strerror(errno);
            return;
        }
    }
    shutdown(socketFd.Get(), SHUT_WR);
    EXPECT_EQ(recv(socketFd.Get(), chunk.data(), chunk.size(), 0), 0)
        << "echo from " << strDest << " did not end cleanly";
}

CTunDevice::CTunDevice(const std::string& strName, const std::string& strIPv4Cidr,
                       const std::string& strIPv6Cidr)
    : m_strName(strName), m_fdTun(open("/dev/net/tun", O_RDWR | O_CLOEXEC)) {
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", strName.c_str());
    if (!m_fdTun.IsOpen() || ioctl(m_fdTun.Get(), TUNSETIFF, &request) != 0) {
        Fail("tun device " + strName);
    }
    BringUp(strName, strIPv4Cidr, strIPv6Cidr);
}

void CTunDevice::Write(const std::vector<uint8_t>& packet) {
    EXPECT_EQ(write(m_fdTun.Get(), packet.data(), packet.size()),
              static_cast<ssize_t>(packet.size()))
        << "write to " << m_strName << ": " << std::strerror(errno);
}

std::vector<uint8_t> CTunDevice::Read(int nTimeoutMs) {
    std::vector<uint8_t> packet(65536);
    pollfd fd{m_fdTun.Get(), POLLIN, 0};
    const ssize_t nRead =
        poll(&fd, 1, nTimeoutMs) > 0 ? read(m_fdTun.Get(), packet.data(), packet.size()) : 0;
    packet.resize(std::max<ssize_t>(nRead, 0));
    return packet;
}

std::vector<uint8_t> MakeUdpPacket(const std::string& strSource, const std::string& strDest,
                                   uint16_t nSourcePort, uint16_t nDestPort, size_t nPayload) {
    const bool bIPv6 = strDest.find(':') != std::string::npos;
    const size_t nAddress = bIPv6 ? 16 : 4, nIpHeader = bIPv6 ? 40 : 20, nUdpLength = 8 + nPayload;
    std::vector<uint8_t> packet(nIpHeader + nUdpLength);
    const auto put16 = [](uint8_t* p, size_t nValue) { p[0] = nValue >> 8, p[1] = nValue & 0xFF; };
    uint8_t *pIp = packet.data(), *pSource = pIp + (bIPv6 ? 8 : 12);
    const int nFamily = bIPv6 ? AF_INET6 : AF_INET;
    if (inet_pton(nFamily, strSource.c_str(), pSource) != 1 ||
        inet_pton(nFamily, strDest.c_str(), pSource + nAddress) != 1) {
        throw std::runtime_error("addresses of one family expected: " + strSource + ", " + strDest);
    }
    pIp[0] = bIPv6 ? 0x60 : 0x45;
    put16(pIp + (bIPv6 ? 4 : 2), bIPv6 ? nUdpLength : packet.size());
    pIp[bIPv6 ? 6 : 9] = IPPROTO_UDP;
    pIp[bIPv6 ? 7 : 8] = 64; // hop limit or time to live
    if (!bIPv6) {
        put16(pIp + 10, Checksum(pIp, 20));
    }
    uint8_t* pUdp = pIp + nIpHeader;
    put16(pUdp, nSourcePort);
    put16(pUdp + 2, nDestPort);
    put16(pUdp + 4, nUdpLength);
    std::iota(pUdp + 8, pUdp + nUdpLength, uint8_t{0});
    // Pseudo-header: the protocol, the UDP length and both addresses, which in either header lie
    // just before the UDP header.
    const uint16_t nChecksum = Checksum(pSource, 2 * nAddress + nUdpLength,
                                        IPPROTO_UDP + static_cast<uint32_t>(nUdpLength));
    put16(pUdp + 6, nChecksum == 0 ? 0xFFFF : nChecksum);
    return packet;
}

bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    // The verdict is the last look's: looking once more could see a moment that has passed.
    for (;;) {
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int64_t NetworkBytesSince(const std::string& strInterface, const IfCounters& before, bool bSent) {
    const IfCounters now = ReadCounters(strInterface);
    return bSent
               ? int64_t(now.nTxBytes - before.nTxBytes - 14 * (now.nTxPackets - before.nTxPackets))
               : int64_t(now.nRxBytes - before.nRxBytes -
                         14 * (now.nRxPackets - before.nRxPackets));
}

bool IsLocal(const CAddressTable& table, const std::string& strAddress) {
    uint8_t abAddress[16] = {};
    if (inet_pton(AF_INET6, strAddress.c_str(), abAddress) == 1) {
        return table.ContainsIPv6(abAddress);
    }
    if (inet_pton(AF_INET, strAddress.c_str(), abAddress) != 1) {
        throw std::runtime_error("not an address: " + strAddress);
    }
    uint32_t nAddress = 0;
    std::memcpy(&nAddress, abAddress, sizeof nAddress);
    return table.ContainsIPv4(nAddress);
}

std::string PcapFilterError(const std::string& strFilter, int nLinkType) {
    const std::unique_ptr<pcap_t, decltype(&pcap_close)> pDead(pcap_open_dead(nLinkType, 65535),
                                                               &pcap_close);
    bpf_program program{};
    if (pcap_compile(pDead.get(), &program, strFilter.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0) {
        pcap_freecode(&program);
        throw std::runtime_error("libpcap accepts the filter " + strFilter);
    }
    return pcap_geterr(pDead.get());
}

void ExpectDescribedError(const std::function<void()>& fn, const std::string& strText) {
    try {
        fn();
        ADD_FAILURE() << "no error, expected " << strText;
    } catch (const CZarnException& e) {
        EXPECT_EQ(e.GetCode(), 0);
        EXPECT_EQ(e.GetDescription(), strText);
    }
}

void StarveThreadCreation(size_t nStackMiB, size_t nRoomBytes) {
    // A stack larger than any cached one, so that no thread's stack is reused.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, nStackMiB << 20);
    pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
    size_t nPages = 0;
    std::ifstream("/proc/self/statm") >> nPages;
    const rlimit limit{nPages * sysconf(_SC_PAGESIZE) + nRoomBytes, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
        Fail("setrlimit");
    }
}

CChildProcess::CChildProcess(const std::vector<std::string>& args, const std::string& strUid) {
    char szDir[] = "/tmp/orvek-child-XXXXXX";
    if (mkdtemp(szDir) == nullptr) {
        Fail("mkdtemp");
    }
    m_strDir = szDir;
    std::vector<std::string> command = args;
    if (!strUid.empty()) {
        command.insert(command.begin(), {"setpriv", "--reuid=" + strUid, "--regid=" + strUid,
                                         "--clear-groups", "--"});
    }
    std::vector<char*> argv;
    for (std::string& strArg : command) {
        argv.push_back(strArg.data());
    }
    argv.push_back(nullptr);
    const std::string strOut = m_strDir + "/out", strErr = m_strDir + "/err";
    m_nPid = fork();
    if (m_nPid < 0) {
        Fail("fork");
    }
    if (m_nPid == 0) {
        const int hOut = open(strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int hErr = open(strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        // Signals blocked by the test's threads must not stay blocked in the program.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (hOut < 0 || hErr < 0 || dup2(hOut, 1) < 0 || dup2(hErr, 2) < 0) {
            _exit(126);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
}

CChildProcess::~CChildProcess() {
    if (m_nStatus < 0 && m_nPid > 0) {
        kill(m_nPid, SIGKILL);
        waitpid(m_nPid, nullptr, 0);
    }
    std::filesystem::remove_all(m_strDir);
}

void CChildProcess::Signal(int nSignal) const {
    kill(m_nPid, nSignal);
}

int CChildProcess::Wait(int nTimeoutMs) {
    WaitUntil(
        [this] {
            int nStatus = 0;
            if (m_nStatus < 0 && waitpid(m_nPid, &nStatus, WNOHANG) == m_nPid) {
                m_nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
            }
            return m_nStatus >= 0;
        },
        nTimeoutMs);
    return m_nStatus;
}

std::string CChildProcess::GetOutput(const char* szName) const {
    std::ifstream file(m_strDir + "/" + szName);
    return {std::istreambuf_iterator<char>(file), {}};
}

namespace {

// What the alarm prints: the running test's name, made before the alarm can ring.
char g_szHang[512];

// Arms an alarm at each test's start and disarms it at its end, on GoogleTest's main thread.
class CHangListener : public testing::EmptyTestEventListener {
public:
    explicit CHangListener(unsigned nSeconds) : m_nSeconds(nSeconds) {}
    void OnTestStart(const testing::TestInfo& info) override {
        std::snprintf(g_szHang, sizeof g_szHang, "\nhang: %s.%s still runs after %u s; aborting\n",
                      info.test_suite_name(), info.name(), m_nSeconds);
        alarm(m_nSeconds);
    }
    void OnTestEnd(const testing::TestInfo&) override { alarm(0); }

private:
    const unsigned m_nSeconds;
};

} // namespace

void EnterPrivateMounts() {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "cannot make a private mount namespace (%s): run as root\n",
                     std::strerror(errno));
        std::abort();
    }
}

void InstallHangGuard(int nSeconds) {
    if (const char* szSeconds = std::getenv("ORVEK_TEST_HANG_SECONDS")) {
        nSeconds = std::atoi(szSeconds);
    }
    // Any thread that does not block the signal takes it; only async-signal-safe calls here.
    std::signal(SIGALRM, [](int) {
        (void)!write(STDERR_FILENO, g_szHang, std::strlen(g_szHang));
        std::abort();
    });
    // The listener list owns and deletes the listener.
    testing::UnitTest::GetInstance()->listeners().Append(new CHangListener(nSeconds));
}

} // namespace orvektest
