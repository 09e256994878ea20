#include "NetNs.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <numeric>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orvektest {

namespace {

[[noreturn]] void Fail(const std::string& strWhat) {
    throw std::runtime_error(strWhat +
                             (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
}

int ExitStatus(int nStatus) {
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

// Runs /bin/sh -c in a child of the calling thread, so in that thread's namespace; returns its
// exit status and its standard output (with standard error when bWithErrors).
int RunShell(const std::string& strCommand, std::string& strOutput, bool bWithErrors) {
    // Redirected ahead of the command, so that a here-document at its end still closes.
    const std::string strScript = (bWithErrors ? "exec 2>&1\n" : "") + strCommand;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(strScript.c_str(), "re"), pclose);
    if (pipe == nullptr) {
        Fail("popen");
    }
    char buffer[4096];
    for (size_t nRead; (nRead = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
        strOutput.append(buffer, nRead);
    }
    return ExitStatus(pclose(pipe.release()));
}

// As ShOk, but throws, for set-up steps after which nothing sensible can follow.
void SetUp(const std::string& strCommand) {
    std::string strOutput;
    if (const int nStatus = RunShell(strCommand, strOutput, true); nStatus != 0) {
        errno = 0;
        Fail("`" + strCommand + "` exited with " + std::to_string(nStatus) + ": " + strOutput);
    }
}

// Brings a link up with its addresses, making the kernel send nothing of its own on it: no IPv6
// link-local address (so no router solicitation and no duplicate address detection), no router
// advertisements taken, and with ARP off no solicited-node group joined (whose MLD reports would
// be traffic).
void BringUp(const std::string& strName, const std::string& strIPv4Cidr,
             const std::string& strIPv6Cidr, const std::string& strThen = "") {
    std::string strCommand;
    for (const char* szSetting : {"addr_gen_mode=1", "accept_ra=0", "router_solicitations=0",
                                  "accept_dad=0", "dad_transmits=0"}) {
        strCommand += "sysctl -qw net.ipv6.conf." + strName + "." + szSetting + " && ";
    }
    strCommand += "ip link set dev " + strName + " multicast off arp off up";
    if (!strIPv4Cidr.empty()) {
        strCommand += " && ip addr add " + strIPv4Cidr + " dev " + strName;
    }
    if (!strIPv6Cidr.empty()) {
        strCommand += " && ip -6 addr add " + strIPv6Cidr + " dev " + strName + " nodad";
    }
    SetUp(strCommand + strThen);
}

bool IsIPv6(const std::string& strAddress) {
    return strAddress.find(':') != std::string::npos;
}

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t nLength = 0;
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

SocketAddress MakeSocketAddress(const std::string& strAddress, uint16_t nPort) {
    SocketAddress address;
    auto* pIn = reinterpret_cast<sockaddr_in*>(&address.storage);
    auto* pIn6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    const bool bIPv6 = IsIPv6(strAddress);
    address.storage.ss_family = bIPv6 ? AF_INET6 : AF_INET;
    (bIPv6 ? pIn6->sin6_port : pIn->sin_port) = htons(nPort);
    address.nLength = bIPv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    void* pAddress = bIPv6 ? static_cast<void*>(&pIn6->sin6_addr) : &pIn->sin_addr;
    if (inet_pton(address.storage.ss_family, strAddress.c_str(), pAddress) != 1) {
        errno = 0;
        Fail("not an address: " + strAddress);
    }
    return address;
}

// A socket with 20 s time-outs, bound to strAddress:nPort when bBind (and listening, for a
// stream), else connected to it.
CZarnFd MakeSocket(const std::string& strAddress, int nType, bool bBind, uint16_t nPort = 0) {
    CZarnFd socketFd(socket(IsIPv6(strAddress) ? AF_INET6 : AF_INET, nType | SOCK_CLOEXEC, 0));
    const timeval timeout{20, 0};
    const int nOn = 1;
    const SocketAddress address = MakeSocketAddress(strAddress, nPort);
    if (!socketFd.IsOpen() ||
        setsockopt(socketFd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        setsockopt(socketFd.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0 ||
        setsockopt(socketFd.Get(), SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn) != 0 ||
        (bBind ? bind(socketFd.Get(), address.Get(), address.nLength)
               : connect(socketFd.Get(), address.Get(), address.nLength)) != 0 ||
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

// The Internet checksum over the byte ranges, which all but the last have even lengths.
uint16_t Checksum(std::initializer_list<std::pair<const uint8_t*, size_t>> ranges, uint32_t nSum) {
    for (const auto& [pData, nLength] : ranges) {
        for (size_t i = 0; i < nLength; ++i) {
            nSum += i % 2 == 0 ? pData[i] << 8 : pData[i];
        }
    }
    nSum = (nSum & 0xFFFF) + (nSum >> 16); // twice folds any 32-bit sum
    return static_cast<uint16_t>(~(nSum + (nSum >> 16)));
}

void PutBig16(uint8_t* p, uint16_t nValue) {
    p[0] = static_cast<uint8_t>(nValue >> 8);
    p[1] = static_cast<uint8_t>(nValue);
}

std::atomic<unsigned> g_nNextMac{1};

} // namespace

void EnterPrivateNetns() {
    std::string strOutput;
    if (unshare(CLONE_NEWNET) != 0 || RunShell("ip link set lo up", strOutput, true) != 0) {
        std::fprintf(stderr, "live tests need root to make a network namespace: %s %s\n",
                     std::strerror(errno), strOutput.c_str());
        std::abort();
    }
}

int Sh(const std::string& strCommand) {
    return ExitStatus(std::system(strCommand.c_str()));
}

void ShOk(const std::string& strCommand) {
    std::string strOutput;
    const int nStatus = RunShell(strCommand, strOutput, true);
    EXPECT_EQ(nStatus, 0) << "`" << strCommand << "` failed:\n" << strOutput;
}

std::string ShOut(const std::string& strCommand) {
    std::string strOutput;
    RunShell(strCommand, strOutput, false);
    return strOutput;
}

CPeerNs::CPeerNs() {
    // unshare moves only the calling thread, so a short-lived thread makes the namespace and
    // leaves a descriptor that keeps it alive.
    std::async(std::launch::async, [this] {
        if (unshare(CLONE_NEWNET) == 0) {
            m_fdNs.Reset(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
        }
        if (!m_fdNs.IsOpen()) {
            Fail("cannot make a peer network namespace");
        }
    }).get();
    RunIn([] { SetUp("ip link set lo up"); });
}

std::string CPeerNs::GetPath() const {
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(m_fdNs.Get());
}

void CPeerNs::ShOk(const std::string& strCommand) const {
    RunIn([&] { orvektest::ShOk(strCommand); });
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
    const unsigned nMac = g_nNextMac.fetch_add(2);
    const auto mac = [](unsigned nIndex) {
        char szMac[32];
        std::snprintf(szMac, sizeof szMac, "02:00:5e:%02x:%02x:%02x", (nIndex >> 16) & 0xFF,
                      (nIndex >> 8) & 0xFF, nIndex & 0xFF);
        return std::string(szMac);
    };
    SetUp("ip link add name " + local.strName + " address " + mac(nMac) + " type veth peer name " +
          peer.strName + " address " + mac(nMac + 1) + " netns " + peerNs.GetPath());
    const auto configure = [](const LinkEnd& end, const LinkEnd& other, const std::string& strMac) {
        std::string strNeighbours;
        for (const std::string* pAddress : {&other.strIPv4, &other.strIPv6}) {
            if (!pAddress->empty()) {
                strNeighbours += " && ip neigh replace " + *pAddress + " lladdr " + strMac +
                                 " dev " + end.strName + " nud permanent";
            }
        }
        BringUp(end.strName, end.strIPv4.empty() ? "" : end.strIPv4 + "/24",
                end.strIPv6.empty() ? "" : end.strIPv6 + "/64", strNeighbours);
    };
    configure(local, peer, mac(nMac + 1));
    peerNs.RunIn([&] { configure(peer, local, mac(nMac)); });
}

IfCounters ReadCounters(const std::string& strInterface) {
    // /proc/net follows the process's main thread; thread-self follows the calling thread.
    std::ifstream file("/proc/thread-self/net/dev");
    std::string strLine;
    while (std::getline(file, strLine)) {
        // A long counter may follow the colon without a space.
        std::replace(strLine.begin(), strLine.end(), ':', ' ');
        std::istringstream fields(strLine);
        std::string strName;
        uint64_t nValues[10] = {};
        fields >> strName;
        for (uint64_t& nValue : nValues) {
            fields >> nValue;
        }
        if (strName == strInterface) {
            return {nValues[0], nValues[1], nValues[8], nValues[9]};
        }
    }
    ADD_FAILURE() << "no interface " << strInterface << " in this namespace";
    return {};
}

void SendUdp(const std::string& strSource, const std::string& strDest, uint16_t nPort,
             size_t nPayload, size_t nCount) {
    const CZarnFd socketFd = MakeSocket(strSource, SOCK_DGRAM, true);
    const SocketAddress dest = MakeSocketAddress(strDest, nPort);
    std::vector<uint8_t> payload(nPayload);
    std::iota(payload.begin(), payload.end(), uint8_t{0});
    for (size_t i = 0; i < nCount; ++i) {
        if (sendto(socketFd.Get(), payload.data(), nPayload, 0, dest.Get(), dest.nLength) !=
            static_cast<ssize_t>(nPayload)) {
            ADD_FAILURE() << "sendto " << strDest << ": " << std::strerror(errno);
            return;
        }
    }
}

// A bound socket served by a thread of its own until destruction.
struct CSocketWorker {
    // serve runs on the worker thread and returns once stopEvent is set.
    CSocketWorker(const std::string& strAddress, uint16_t nPort, int nType,
                  void (*serve)(CSocketWorker&))
        : socketFd(MakeSocket(strAddress, nType, true, nPort)), worker(serve, std::ref(*this)) {}
    ~CSocketWorker() {
        stopEvent.Set();
        worker.join();
    }
    CZarnFd socketFd;
    CZarnEvent stopEvent;
    std::atomic<size_t> nReceived{0};
    std::thread worker;
};

CUdpSink::CUdpSink(const std::string& strAddress, uint16_t nPort)
    : m_pWorker(
          std::make_unique<CSocketWorker>(strAddress, nPort, SOCK_DGRAM, [](CSocketWorker& self) {
              std::vector<uint8_t> buffer(65536);
              while (WaitReadable(self.socketFd.Get(), self.stopEvent)) {
                  if (recv(self.socketFd.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT) >= 0) {
                      self.nReceived.fetch_add(1);
                  }
              }
          })) {}

CUdpSink::~CUdpSink() = default;

size_t CUdpSink::WaitFor(size_t nCount) {
    WaitUntil([this, nCount] { return m_pWorker->nReceived.load() >= nCount; });
    return m_pWorker->nReceived.load();
}

CTcpEcho::CTcpEcho(const std::string& strAddress, uint16_t nPort)
    : m_pWorker(
          std::make_unique<CSocketWorker>(strAddress, nPort, SOCK_STREAM, [](CSocketWorker& self) {
              std::vector<uint8_t> buffer(65536);
              while (WaitReadable(self.socketFd.Get(), self.stopEvent)) {
                  const CZarnFd connection(
                      accept4(self.socketFd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                  // Echoes the connection until its peer closes it.
                  ssize_t nRead = 0;
                  while (connection.IsOpen() && WaitReadable(connection.Get(), self.stopEvent) &&
                         (nRead = recv(connection.Get(), buffer.data(), buffer.size(), 0)) > 0 &&
                         send(connection.Get(), buffer.data(), static_cast<size_t>(nRead),
                              MSG_NOSIGNAL) == nRead) {
                  }
              }
          })) {}

CTcpEcho::~CTcpEcho() = default;

void TcpExchange(const std::string& strDest, uint16_t nPort, size_t nBytes) {
    const CZarnFd socketFd = MakeSocket(strDest, SOCK_STREAM, false, nPort);
    // Chunk by chunk, so that neither side blocks on a full buffer.
    std::vector<uint8_t> chunk(16384);
    for (size_t nDone = 0; nDone < nBytes;) {
        const size_t nChunk = std::min(chunk.size(), nBytes - nDone);
        if (send(socketFd.Get(), chunk.data(), nChunk, MSG_NOSIGNAL) !=
                static_cast<ssize_t>(nChunk) ||
            recv(socketFd.Get(), chunk.data(), nChunk, MSG_WAITALL) !=
                static_cast<ssize_t>(nChunk)) {
            ADD_FAILURE() << "exchange with " << strDest << ": " << std::strerror(errno);
            return;
        }
        nDone += nChunk;
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
    if (write(m_fdTun.Get(), packet.data(), packet.size()) != static_cast<ssize_t>(packet.size())) {
        ADD_FAILURE() << "write to " << m_strName << ": " << std::strerror(errno);
    }
}

std::vector<uint8_t> CTunDevice::Read(int nTimeoutMs) {
    pollfd fd{m_fdTun.Get(), POLLIN, 0};
    std::vector<uint8_t> packet(65536);
    const ssize_t nRead =
        poll(&fd, 1, nTimeoutMs) > 0 ? read(m_fdTun.Get(), packet.data(), 65536) : 0;
    packet.resize(nRead > 0 ? static_cast<size_t>(nRead) : 0);
    return packet;
}

std::vector<uint8_t> MakeUdpPacket(const std::string& strSource, const std::string& strDest,
                                   uint16_t nSourcePort, uint16_t nDestPort, size_t nPayload) {
    const bool bIPv6 = IsIPv6(strDest);
    const size_t nAddress = bIPv6 ? 16 : 4;
    const size_t nIpHeader = bIPv6 ? 40 : 20;
    const size_t nUdpLength = 8 + nPayload;
    std::vector<uint8_t> packet(nIpHeader + nUdpLength);
    uint8_t* pIp = packet.data();
    uint8_t* pSource = pIp + (bIPv6 ? 8 : 12);
    uint8_t* pDest = pSource + nAddress;
    if (inet_pton(bIPv6 ? AF_INET6 : AF_INET, strSource.c_str(), pSource) != 1 ||
        inet_pton(bIPv6 ? AF_INET6 : AF_INET, strDest.c_str(), pDest) != 1) {
        errno = 0;
        Fail("addresses of one family expected: " + strSource + ", " + strDest);
    }
    pIp[0] = bIPv6 ? 0x60 : 0x45;
    PutBig16(pIp + (bIPv6 ? 4 : 2), static_cast<uint16_t>(bIPv6 ? nUdpLength : packet.size()));
    pIp[bIPv6 ? 6 : 9] = IPPROTO_UDP;
    pIp[bIPv6 ? 7 : 8] = 64; // hop limit or time to live
    if (!bIPv6) {
        PutBig16(pIp + 10, Checksum({{pIp, 20}}, 0));
    }
    uint8_t* pUdp = pIp + nIpHeader;
    PutBig16(pUdp, nSourcePort);
    PutBig16(pUdp + 2, nDestPort);
    PutBig16(pUdp + 4, static_cast<uint16_t>(nUdpLength));
    std::iota(pUdp + 8, pUdp + nUdpLength, uint8_t{0});
    // Pseudo-header: both addresses, the protocol and the UDP length.
    const uint16_t nChecksum =
        Checksum({{pSource, nAddress}, {pDest, nAddress}, {pUdp, nUdpLength}},
                 IPPROTO_UDP + static_cast<uint32_t>(nUdpLength));
    PutBig16(pUdp + 6, nChecksum == 0 ? 0xFFFF : nChecksum);
    return packet;
}

bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!pred() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

CHangGuard::CHangGuard(std::string strWhat, int nTimeoutMs)
    : m_watcher([strWhat = std::move(strWhat), nTimeoutMs, done = m_done.get_future()] {
          if (done.wait_for(std::chrono::milliseconds(nTimeoutMs)) != std::future_status::ready) {
              std::fprintf(stderr, "hang: %s did not return within %d ms\n", strWhat.c_str(),
                           nTimeoutMs);
              std::abort();
          }
      }) {}

CHangGuard::~CHangGuard() {
    m_done.set_value();
    m_watcher.join();
}

} // namespace orvektest
