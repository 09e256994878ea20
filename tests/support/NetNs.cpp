#include "NetNs.h"

#include "ZarnFd.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace orvektest {

namespace {

[[noreturn]] void Fail(const std::string& strWhat) {
    throw std::runtime_error(strWhat +
                             (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
}

// Runs /bin/sh -c in a child process, in hNs when it is a namespace descriptor, else in the
// calling thread's namespace. With pOutput, collects standard output (and standard error when
// bWithErrors). Returns the exit status, or 128 + signal.
int RunShell(int hNs, const std::string& strCommand, std::string* pOutput, bool bWithErrors) {
    int hPipe[2] = {-1, -1};
    if (pOutput != nullptr && pipe2(hPipe, O_CLOEXEC) != 0) {
        Fail("pipe2");
    }
    CZarnFd readEnd(hPipe[0]);
    CZarnFd writeEnd(hPipe[1]);
    const pid_t nPid = fork();
    if (nPid < 0) {
        Fail("fork");
    }
    if (nPid == 0) {
        // Only async-signal-safe calls here: other threads may have held locks at the fork.
        if (hNs >= 0 && setns(hNs, CLONE_NEWNET) != 0) {
            _exit(126);
        }
        if (writeEnd.IsOpen()) {
            dup2(writeEnd.Get(), STDOUT_FILENO);
            if (bWithErrors) {
                dup2(writeEnd.Get(), STDERR_FILENO);
            }
        }
        execl("/bin/sh", "sh", "-c", strCommand.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    writeEnd.Reset();
    if (pOutput != nullptr) {
        char buffer[4096];
        for (;;) {
            const ssize_t nRead = read(readEnd.Get(), buffer, sizeof buffer);
            if (nRead > 0) {
                pOutput->append(buffer, static_cast<size_t>(nRead));
            } else if (nRead == 0 || errno != EINTR) {
                break;
            }
        }
    }
    int nStatus = 0;
    while (waitpid(nPid, &nStatus, 0) < 0) {
        if (errno != EINTR) {
            Fail("waitpid");
        }
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

void ShOkIn(int hNs, const std::string& strCommand) {
    std::string strOutput;
    const int nStatus = RunShell(hNs, strCommand, &strOutput, true);
    if (nStatus != 0) {
        ADD_FAILURE() << "`" << strCommand << "` exited with " << nStatus << ":\n" << strOutput;
    }
}

// As ShOkIn, but throws, for set-up steps after which nothing sensible can follow.
void SetUpIn(int hNs, const std::string& strCommand) {
    std::string strOutput;
    const int nStatus = RunShell(hNs, strCommand, &strOutput, true);
    if (nStatus != 0) {
        errno = 0;
        Fail("`" + strCommand + "` exited with " + std::to_string(nStatus) + ": " + strOutput);
    }
}

// Makes the kernel send nothing of its own on an interface: no IPv6 link-local address (so no
// router solicitation and no duplicate address detection), no router advertisements taken.
std::string QuietSysctls(const std::string& strInterface) {
    const std::string strPrefix = "sysctl -qw net.ipv6.conf." + strInterface + ".";
    return strPrefix + "addr_gen_mode=1 && " + strPrefix + "accept_ra=0 && " + strPrefix +
           "router_solicitations=0 && " + strPrefix + "accept_dad=0 && " + strPrefix +
           "dad_transmits=0";
}

bool IsIPv6(const std::string& strAddress) {
    return strAddress.find(':') != std::string::npos;
}

// A socket address of either family; the port in host order.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t nLength = 0;
};

SocketAddress MakeSocketAddress(const std::string& strAddress, uint16_t nPort) {
    SocketAddress address;
    if (IsIPv6(strAddress)) {
        auto* pIn6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
        pIn6->sin6_family = AF_INET6;
        pIn6->sin6_port = htons(nPort);
        if (inet_pton(AF_INET6, strAddress.c_str(), &pIn6->sin6_addr) != 1) {
            errno = 0;
            Fail("not an IPv6 address: " + strAddress);
        }
        address.nLength = sizeof(sockaddr_in6);
    } else {
        auto* pIn = reinterpret_cast<sockaddr_in*>(&address.storage);
        pIn->sin_family = AF_INET;
        pIn->sin_port = htons(nPort);
        if (inet_pton(AF_INET, strAddress.c_str(), &pIn->sin_addr) != 1) {
            errno = 0;
            Fail("not an IPv4 address: " + strAddress);
        }
        address.nLength = sizeof(sockaddr_in);
    }
    return address;
}

CZarnFd MakeSocket(const std::string& strAddress, int nType) {
    CZarnFd socketFd(socket(IsIPv6(strAddress) ? AF_INET6 : AF_INET, nType | SOCK_CLOEXEC, 0));
    if (!socketFd.IsOpen()) {
        Fail("socket");
    }
    return socketFd;
}

void SetTimeouts(int hSocket, int nSeconds) {
    timeval timeout{nSeconds, 0};
    setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(hSocket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// Waits until hFd is readable or stopEvent is set; false when the event won.
bool WaitReadable(int hFd, const CZarnEvent& stopEvent) {
    pollfd fds[2] = {{hFd, POLLIN, 0}, {stopEvent.GetFd(), POLLIN, 0}};
    for (;;) {
        const int nReady = poll(fds, 2, -1);
        if (nReady < 0 && errno == EINTR) {
            continue;
        }
        return nReady > 0 && (fds[1].revents & POLLIN) == 0;
    }
}

uint32_t SumWords(const uint8_t* pData, size_t nLength, uint32_t nSum) {
    for (size_t i = 0; i + 1 < nLength; i += 2) {
        nSum += static_cast<uint32_t>((pData[i] << 8) | pData[i + 1]);
    }
    if (nLength % 2 != 0) {
        nSum += static_cast<uint32_t>(pData[nLength - 1] << 8);
    }
    return nSum;
}

uint16_t FoldChecksum(uint32_t nSum) {
    while (nSum >> 16 != 0) {
        nSum = (nSum & 0xFFFF) + (nSum >> 16);
    }
    return static_cast<uint16_t>(~nSum & 0xFFFF);
}

void PutBig16(uint8_t* p, uint16_t nValue) {
    p[0] = static_cast<uint8_t>(nValue >> 8);
    p[1] = static_cast<uint8_t>(nValue & 0xFF);
}

std::atomic<unsigned> g_nNextMac{1};

std::string MacAddress(unsigned nIndex) {
    char szMac[32];
    std::snprintf(szMac, sizeof szMac, "02:00:5e:%02x:%02x:%02x", (nIndex >> 16) & 0xFF,
                  (nIndex >> 8) & 0xFF, nIndex & 0xFF);
    return szMac;
}

} // namespace

void EnterPrivateNetns() {
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "live tests need root to make a network namespace: unshare: %s\n",
                     std::strerror(errno));
        std::abort();
    }
    std::string strOutput;
    if (RunShell(-1, "ip link set lo up", &strOutput, true) != 0) {
        std::fprintf(stderr, "cannot bring up the loopback: %s\n", strOutput.c_str());
        std::abort();
    }
}

int Sh(const std::string& strCommand) {
    return RunShell(-1, strCommand, nullptr, false);
}

void ShOk(const std::string& strCommand) {
    ShOkIn(-1, strCommand);
}

std::string ShOut(const std::string& strCommand) {
    std::string strOutput;
    RunShell(-1, strCommand, &strOutput, false);
    return strOutput;
}

CPeerNs::CPeerNs() {
    // unshare moves only the calling thread, so a short-lived thread makes the namespace and
    // leaves a descriptor that keeps it alive.
    int nError = 0;
    std::thread maker([this, &nError] {
        if (unshare(CLONE_NEWNET) != 0) {
            nError = errno;
            return;
        }
        m_hNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (m_hNs < 0) {
            nError = errno;
        }
    });
    maker.join();
    if (m_hNs < 0) {
        errno = nError;
        Fail("cannot make a peer network namespace");
    }
    try {
        SetUpIn(m_hNs, "ip link set lo up");
    } catch (...) {
        close(m_hNs);
        throw;
    }
}

CPeerNs::~CPeerNs() {
    if (m_hNs >= 0) {
        close(m_hNs);
    }
}

std::string CPeerNs::GetPath() const {
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(m_hNs);
}

int CPeerNs::Sh(const std::string& strCommand) const {
    return RunShell(m_hNs, strCommand, nullptr, false);
}

void CPeerNs::ShOk(const std::string& strCommand) const {
    ShOkIn(m_hNs, strCommand);
}

void CPeerNs::RunIn(const std::function<void()>& fn) const {
    std::exception_ptr pError;
    std::thread runner([this, &fn, &pError] {
        try {
            if (setns(m_hNs, CLONE_NEWNET) != 0) {
                Fail("setns");
            }
            fn();
        } catch (...) {
            pError = std::current_exception();
        }
    });
    runner.join();
    if (pError) {
        std::rethrow_exception(pError);
    }
}

void MakeVethPair(const CPeerNs& peerNs, const LinkEnd& local, const LinkEnd& peer) {
    // Fixed hardware addresses, so that both sides get permanent neighbour entries and never ask.
    // ARP off keeps IPv6 from joining solicited-node groups, whose MLD reports would be traffic.
    const unsigned nMac = g_nNextMac.fetch_add(2);
    const std::string strLocalMac = MacAddress(nMac);
    const std::string strPeerMac = MacAddress(nMac + 1);
    SetUpIn(-1, "ip link add name " + local.strName + " address " + strLocalMac +
                    " type veth peer name " + peer.strName + " address " + strPeerMac + " netns " +
                    peerNs.GetPath());
    const auto configure = [](int hNs, const LinkEnd& end, const LinkEnd& other,
                              const std::string& strOtherMac) {
        SetUpIn(hNs, QuietSysctls(end.strName));
        SetUpIn(hNs, "ip link set dev " + end.strName + " multicast off arp off up");
        if (!end.strIPv4.empty()) {
            SetUpIn(hNs, "ip addr add " + end.strIPv4 + "/24 dev " + end.strName);
        }
        if (!end.strIPv6.empty()) {
            SetUpIn(hNs, "ip -6 addr add " + end.strIPv6 + "/64 dev " + end.strName + " nodad");
        }
        for (const std::string* pAddress : {&other.strIPv4, &other.strIPv6}) {
            if (!pAddress->empty()) {
                SetUpIn(hNs, "ip neigh replace " + *pAddress + " lladdr " + strOtherMac + " dev " +
                                 end.strName + " nud permanent");
            }
        }
    };
    configure(-1, local, peer, strPeerMac);
    configure(peerNs.GetFd(), peer, local, strLocalMac);
}

IfCounters ReadCounters(const std::string& strInterface) {
    // /proc/net follows the process's main thread; thread-self follows the calling thread.
    std::ifstream file("/proc/thread-self/net/dev");
    std::string strLine;
    while (std::getline(file, strLine)) {
        const size_t nColon = strLine.find(':');
        if (nColon == std::string::npos) {
            continue;
        }
        const size_t nStart = strLine.find_first_not_of(' ');
        if (strLine.compare(nStart, nColon - nStart, strInterface) != 0 ||
            nColon - nStart != strInterface.size()) {
            continue;
        }
        std::istringstream fields(strLine.substr(nColon + 1));
        uint64_t nValues[16] = {};
        for (uint64_t& nValue : nValues) {
            fields >> nValue;
        }
        IfCounters counters;
        counters.nRxBytes = nValues[0];
        counters.nRxPackets = nValues[1];
        counters.nTxBytes = nValues[8];
        counters.nTxPackets = nValues[9];
        return counters;
    }
    ADD_FAILURE() << "no interface " << strInterface << " in this namespace";
    return {};
}

void SendUdp(const std::string& strSource, const std::string& strDest, uint16_t nPort,
             size_t nPayload, size_t nCount) {
    CZarnFd socketFd = MakeSocket(strDest, SOCK_DGRAM);
    const SocketAddress source = MakeSocketAddress(strSource, 0);
    if (bind(socketFd.Get(), reinterpret_cast<const sockaddr*>(&source.storage), source.nLength) !=
        0) {
        Fail("bind " + strSource);
    }
    const SocketAddress dest = MakeSocketAddress(strDest, nPort);
    std::vector<uint8_t> payload(nPayload);
    for (size_t i = 0; i < nPayload; ++i) {
        payload[i] = static_cast<uint8_t>(i);
    }
    for (size_t i = 0; i < nCount; ++i) {
        const ssize_t nSent =
            sendto(socketFd.Get(), payload.data(), payload.size(), 0,
                   reinterpret_cast<const sockaddr*>(&dest.storage), dest.nLength);
        if (nSent != static_cast<ssize_t>(nPayload)) {
            ADD_FAILURE() << "sendto " << strDest << ": " << std::strerror(errno);
            return;
        }
    }
}

struct CUdpSink::Impl {
    CZarnFd socketFd;
    CZarnEvent stopEvent;
    std::atomic<size_t> nReceived{0};
    std::thread drainer;
};

CUdpSink::CUdpSink(const std::string& strAddress, uint16_t nPort) : m_pImpl(new Impl) {
    try {
        m_pImpl->socketFd = MakeSocket(strAddress, SOCK_DGRAM);
        const SocketAddress address = MakeSocketAddress(strAddress, nPort);
        if (bind(m_pImpl->socketFd.Get(), reinterpret_cast<const sockaddr*>(&address.storage),
                 address.nLength) != 0) {
            Fail("bind " + strAddress);
        }
    } catch (...) {
        delete m_pImpl;
        throw;
    }
    Impl* pImpl = m_pImpl;
    pImpl->drainer = std::thread([pImpl] {
        std::vector<uint8_t> buffer(65536);
        while (WaitReadable(pImpl->socketFd.Get(), pImpl->stopEvent)) {
            if (recv(pImpl->socketFd.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT) >= 0) {
                pImpl->nReceived.fetch_add(1);
            }
        }
    });
}

CUdpSink::~CUdpSink() {
    m_pImpl->stopEvent.Set();
    m_pImpl->drainer.join();
    delete m_pImpl;
}

size_t CUdpSink::WaitFor(size_t nCount) {
    WaitUntil([this, nCount] { return m_pImpl->nReceived.load() >= nCount; });
    return m_pImpl->nReceived.load();
}

struct CTcpEcho::Impl {
    CZarnFd listenFd;
    CZarnEvent stopEvent;
    std::thread server;

    // Echoes one connection until its peer closes it.
    void Serve(int hConnection) {
        std::vector<uint8_t> buffer(65536);
        while (WaitReadable(hConnection, stopEvent)) {
            const ssize_t nRead = recv(hConnection, buffer.data(), buffer.size(), 0);
            if (nRead <= 0) {
                return;
            }
            for (ssize_t nDone = 0; nDone < nRead;) {
                const ssize_t nSent = send(hConnection, buffer.data() + nDone,
                                           static_cast<size_t>(nRead - nDone), MSG_NOSIGNAL);
                if (nSent <= 0) {
                    return;
                }
                nDone += nSent;
            }
        }
    }
};

CTcpEcho::CTcpEcho(const std::string& strAddress, uint16_t nPort) : m_pImpl(new Impl) {
    try {
        m_pImpl->listenFd = MakeSocket(strAddress, SOCK_STREAM);
        const int nOn = 1;
        setsockopt(m_pImpl->listenFd.Get(), SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
        const SocketAddress address = MakeSocketAddress(strAddress, nPort);
        if (bind(m_pImpl->listenFd.Get(), reinterpret_cast<const sockaddr*>(&address.storage),
                 address.nLength) != 0 ||
            listen(m_pImpl->listenFd.Get(), 8) != 0) {
            Fail("listen " + strAddress);
        }
    } catch (...) {
        delete m_pImpl;
        throw;
    }
    Impl* pImpl = m_pImpl;
    pImpl->server = std::thread([pImpl] {
        while (WaitReadable(pImpl->listenFd.Get(), pImpl->stopEvent)) {
            CZarnFd connection(accept4(pImpl->listenFd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (connection.IsOpen()) {
                SetTimeouts(connection.Get(), 20);
                pImpl->Serve(connection.Get());
            }
        }
    });
}

CTcpEcho::~CTcpEcho() {
    m_pImpl->stopEvent.Set();
    m_pImpl->server.join();
    delete m_pImpl;
}

void TcpExchange(const std::string& strDest, uint16_t nPort, size_t nBytes) {
    CZarnFd socketFd = MakeSocket(strDest, SOCK_STREAM);
    SetTimeouts(socketFd.Get(), 20);
    const SocketAddress dest = MakeSocketAddress(strDest, nPort);
    if (connect(socketFd.Get(), reinterpret_cast<const sockaddr*>(&dest.storage), dest.nLength) !=
        0) {
        ADD_FAILURE() << "connect " << strDest << ": " << std::strerror(errno);
        return;
    }
    // Chunk by chunk, so that neither side blocks on a full buffer.
    std::vector<uint8_t> chunk(16384);
    std::vector<uint8_t> echo(chunk.size());
    for (size_t nDone = 0; nDone < nBytes;) {
        const size_t nChunk = std::min(chunk.size(), nBytes - nDone);
        if (send(socketFd.Get(), chunk.data(), nChunk, MSG_NOSIGNAL) !=
            static_cast<ssize_t>(nChunk)) {
            ADD_FAILURE() << "send to " << strDest << ": " << std::strerror(errno);
            return;
        }
        for (size_t nBack = 0; nBack < nChunk;) {
            const ssize_t nRead = recv(socketFd.Get(), echo.data(), nChunk - nBack, 0);
            if (nRead <= 0) {
                ADD_FAILURE() << "echo from " << strDest << " ended early";
                return;
            }
            nBack += static_cast<size_t>(nRead);
        }
        nDone += nChunk;
    }
    shutdown(socketFd.Get(), SHUT_WR);
    if (recv(socketFd.Get(), echo.data(), echo.size(), 0) != 0) {
        ADD_FAILURE() << "echo from " << strDest << " did not end cleanly";
    }
}

CTunDevice::CTunDevice(const std::string& strName, const std::string& strIPv4Cidr,
                       const std::string& strIPv6Cidr)
    : m_strName(strName) {
    CZarnFd tun(open("/dev/net/tun", O_RDWR | O_CLOEXEC));
    if (!tun.IsOpen()) {
        Fail("open /dev/net/tun");
    }
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", strName.c_str());
    if (ioctl(tun.Get(), TUNSETIFF, &request) != 0) {
        Fail("TUNSETIFF " + strName);
    }
    SetUpIn(-1, QuietSysctls(strName));
    SetUpIn(-1, "ip link set dev " + strName + " multicast off arp off up");
    if (!strIPv4Cidr.empty()) {
        SetUpIn(-1, "ip addr add " + strIPv4Cidr + " dev " + strName);
    }
    if (!strIPv6Cidr.empty()) {
        SetUpIn(-1, "ip -6 addr add " + strIPv6Cidr + " dev " + strName + " nodad");
    }
    // The device lives as long as this descriptor.
    m_hTun = tun.Release();
}

CTunDevice::~CTunDevice() {
    if (m_hTun >= 0) {
        close(m_hTun);
    }
}

void CTunDevice::Write(const std::vector<uint8_t>& packet) {
    if (write(m_hTun, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size())) {
        ADD_FAILURE() << "write to " << m_strName << ": " << std::strerror(errno);
    }
}

std::vector<uint8_t> CTunDevice::Read(int nTimeoutMs) {
    pollfd fd{m_hTun, POLLIN, 0};
    if (poll(&fd, 1, nTimeoutMs) <= 0) {
        return {};
    }
    std::vector<uint8_t> packet(65536);
    const ssize_t nRead = read(m_hTun, packet.data(), packet.size());
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
    uint8_t source[16];
    uint8_t dest[16];
    if (inet_pton(bIPv6 ? AF_INET6 : AF_INET, strSource.c_str(), source) != 1 ||
        inet_pton(bIPv6 ? AF_INET6 : AF_INET, strDest.c_str(), dest) != 1) {
        errno = 0;
        Fail("addresses of one family expected: " + strSource + ", " + strDest);
    }
    uint8_t* pIp = packet.data();
    if (bIPv6) {
        pIp[0] = 0x60;
        PutBig16(pIp + 4, static_cast<uint16_t>(nUdpLength));
        pIp[6] = IPPROTO_UDP;
        pIp[7] = 64;
        std::memcpy(pIp + 8, source, 16);
        std::memcpy(pIp + 24, dest, 16);
    } else {
        pIp[0] = 0x45;
        PutBig16(pIp + 2, static_cast<uint16_t>(packet.size()));
        pIp[8] = 64;
        pIp[9] = IPPROTO_UDP;
        std::memcpy(pIp + 12, source, 4);
        std::memcpy(pIp + 16, dest, 4);
        PutBig16(pIp + 10, FoldChecksum(SumWords(pIp, 20, 0)));
    }
    uint8_t* pUdp = pIp + nIpHeader;
    PutBig16(pUdp, nSourcePort);
    PutBig16(pUdp + 2, nDestPort);
    PutBig16(pUdp + 4, static_cast<uint16_t>(nUdpLength));
    for (size_t i = 0; i < nPayload; ++i) {
        pUdp[8 + i] = static_cast<uint8_t>(i);
    }
    // Pseudo-header: both addresses, the protocol and the UDP length.
    uint32_t nSum = SumWords(source, nAddress, 0);
    nSum = SumWords(dest, nAddress, nSum);
    nSum += IPPROTO_UDP + static_cast<uint32_t>(nUdpLength);
    const uint16_t nChecksum = FoldChecksum(SumWords(pUdp, nUdpLength, nSum));
    PutBig16(pUdp + 6, nChecksum == 0 ? 0xFFFF : nChecksum);
    return packet;
}

bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

CHangGuard::CHangGuard(std::string strWhat, int nTimeoutMs) : m_strWhat(std::move(strWhat)) {
    m_watcher = std::thread([this, nTimeoutMs] {
        std::unique_lock<std::mutex> guard(m_mtx);
        if (!m_cv.wait_for(guard, std::chrono::milliseconds(nTimeoutMs),
                           [this] { return m_bDone; })) {
            std::fprintf(stderr, "hang: %s did not return within %d ms\n", m_strWhat.c_str(),
                         nTimeoutMs);
            std::abort();
        }
    });
}

CHangGuard::~CHangGuard() {
    {
        std::lock_guard<std::mutex> guard(m_mtx);
        m_bDone = true;
    }
    m_cv.notify_all();
    m_watcher.join();
}

} // namespace orvektest
