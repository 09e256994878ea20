// The in-kernel flow owners on real sockets: a child process in a control group of its own, as
// another user, makes a TCP connection (IPv4) and a UDP exchange (IPv6) over loopback and closes
// them at once; after it exited, both flows' owners are known (group, user, pid and name), the
// accepting end's flow is the test's own, and the resolver books the closed connection's bytes to
// the child's group, where the socket diagnostics alone find the socket closed. Destroyed, no
// program of theirs is left; without the privilege, or without a cgroup v2 root, loading is refused
// without throwing.

#include "AppResolver.h"
#include "Capabilities.h"
#include "Cgroups.h"
#include "Frames.h"
#include "KernelFlowOwners.h"
#include "NetNs.h"
#include "ZarnFd.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace orvektest;

namespace {

constexpr uid_t kChildUid = 65534;

uint64_t InodeOf(const std::string& strPath) {
    struct stat info {};
    return ::stat(strPath.c_str(), &info) == 0 ? info.st_ino : 0;
}

// A control group for this test's child below the cgroup v2 root, removed with the test.
class CChildCgroup {
public:
    CChildCgroup() {
        const std::string strRoot = CCgroupIndex().GetRoot();
        if (strRoot.empty()) {
            throw std::runtime_error("no cgroup v2 hierarchy is mounted");
        }
        m_strDir = strRoot + "/orvek-kernel-test-" + std::to_string(::getpid());
        std::filesystem::create_directory(m_strDir);
    }
    ~CChildCgroup() { ::rmdir(m_strDir.c_str()); }
    const std::string& GetDir() const { return m_strDir; }

private:
    std::string m_strDir;
};

FlowKey Key(int nFamily, uint8_t nProtocol, uint16_t nLocalPort, uint16_t nRemotePort) {
    FlowKey key;
    key.nFamily = static_cast<uint8_t>(nFamily);
    key.nProtocol = nProtocol;
    if (nFamily == 4) {
        key.aLocal = key.aRemote = {127, 0, 0, 1};
    } else {
        key.aLocal[15] = key.aRemote[15] = 1;
    }
    key.nLocalPort = nLocalPort;
    key.nRemotePort = nRemotePort;
    return key;
}

uint16_t PortOf(int hFd) {
    sockaddr_storage address{};
    socklen_t nLength = sizeof address;
    ::getsockname(hFd, reinterpret_cast<sockaddr*>(&address), &nLength);
    return ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(address).sin_port
                                              : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
}

// In the forked child (plain system calls only): joins the group, becomes kChildUid, connects to
// the TCP port, sends to the UDP port and reads the answer, closes both and writes its two local
// ports to hReport.
[[noreturn]] void RunChild(const std::string& strCgroup, uint16_t nTcpPort, uint16_t nUdpPort,
                           int hReport) {
    const int hProcs = ::open((strCgroup + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
    if (hProcs < 0 || ::write(hProcs, "0\n", 2) != 2 || ::setgroups(0, nullptr) != 0 ||
        ::setresgid(kChildUid, kChildUid, kChildUid) != 0 ||
        ::setresuid(kChildUid, kChildUid, kChildUid) != 0) {
        ::_exit(10);
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::prctl(PR_SET_NAME, "orvek-kflow");
    sockaddr_in tcp{};
    tcp.sin_family = AF_INET;
    tcp.sin_port = htons(nTcpPort);
    tcp.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int hTcp = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(hTcp, reinterpret_cast<sockaddr*>(&tcp), sizeof tcp) != 0 ||
        ::send(hTcp, "hello", 5, 0) != 5) {
        ::_exit(11);
    }
    sockaddr_in6 udp{};
    udp.sin6_family = AF_INET6;
    udp.sin6_port = htons(nUdpPort);
    udp.sin6_addr = in6addr_loopback;
    const int hUdp = ::socket(AF_INET6, SOCK_DGRAM, 0);
    char aAnswer[8];
    if (::connect(hUdp, reinterpret_cast<sockaddr*>(&udp), sizeof udp) != 0 ||
        ::send(hUdp, "ping", 4, 0) != 4 || ::recv(hUdp, aAnswer, sizeof aAnswer, 0) != 4) {
        ::_exit(12);
    }
    const uint16_t aPorts[2] = {PortOf(hTcp), PortOf(hUdp)};
    ::close(hTcp);
    ::close(hUdp);
    ::_exit(::write(hReport, aPorts, sizeof aPorts) == sizeof aPorts ? 0 : 13);
}

// One sent IPv4 TCP (or UDP) packet of nBytes from the local port to the remote one on loopback,
// counted into tap as a capture thread counts it.
void AddSent(CFlowTap& tap, uint16_t nLocalPort, uint16_t nRemotePort, int64_t nBytes,
             uint8_t nProtocol = IPPROTO_TCP) {
    std::vector<uint8_t> frame = MakeIpFrame(14, false, 14 + 40, "127.0.0.1", "127.0.0.1");
    frame[14 + 6] = frame[14 + 7] = 0; // not a fragment
    frame[14 + 9] = nProtocol;
    const uint16_t aPorts[2] = {htons(nLocalPort), htons(nRemotePort)};
    std::memcpy(frame.data() + 14 + 20, aPorts, sizeof aPorts);
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<uint32_t>(frame.size());
    const PacketInfo info{&header, frame.data(), 14, ENetworkProtocol::IPv4};
    tap.Add(info, true, nBytes);
}

// The rows a resolver gives one such packet.
std::vector<AppUsage> ResolveSent(IFlowOwners* pOwners, uint16_t nLocalPort, uint16_t nRemotePort,
                                  int64_t nBytes) {
    CAppResolver resolver;
    resolver.SetFlowOwners(pOwners);
    CFlowTap tap;
    resolver.AddTap(&tap);
    AddSent(tap, nLocalPort, nRemotePort, nBytes);
    resolver.DrainStopped();
    std::vector<AppUsage> rows = resolver.GetUsage();
    resolver.RemoveTap(&tap);
    return rows;
}

} // namespace

TEST(KernelFlowOwners, NamesClosedFlowsOwners) {
    std::string strRefusal;
    const auto pOwners = CKernelFlowOwners::TryLoad(strRefusal);
    ASSERT_NE(pOwners, nullptr) << strRefusal;
    const CChildCgroup cgroup;

    const CZarnFd fdListen(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in tcp{};
    tcp.sin_family = AF_INET;
    tcp.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fdListen.Get(), reinterpret_cast<sockaddr*>(&tcp), sizeof tcp), 0);
    ASSERT_EQ(::listen(fdListen.Get(), 4), 0);
    const CZarnFd fdUdp(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 udp{};
    udp.sin6_family = AF_INET6;
    udp.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::bind(fdUdp.Get(), reinterpret_cast<sockaddr*>(&udp), sizeof udp), 0);
    const uint16_t nTcpPort = PortOf(fdListen.Get()), nUdpPort = PortOf(fdUdp.Get());

    int aPipe[2];
    ASSERT_EQ(::pipe2(aPipe, O_CLOEXEC), 0);
    const CZarnFd fdRead(aPipe[0]), fdWrite(aPipe[1]);
    const pid_t nChild = ::fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0) {
        RunChild(cgroup.GetDir(), nTcpPort, nUdpPort, fdWrite.Get());
    }
    // The UDP answer, then the accepted connection, read to its end: the child closed it.
    char aBuffer[16];
    sockaddr_in6 from{};
    socklen_t nFromLength = sizeof from;
    ASSERT_EQ(::recvfrom(fdUdp.Get(), aBuffer, sizeof aBuffer, 0,
                         reinterpret_cast<sockaddr*>(&from), &nFromLength),
              4);
    ASSERT_EQ(::sendto(fdUdp.Get(), "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), nFromLength),
              4);
    CZarnFd fdAccepted(::accept4(fdListen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(fdAccepted.IsOpen());
    while (::recv(fdAccepted.Get(), aBuffer, sizeof aBuffer, 0) > 0) {
    }
    int nStatus = -1;
    ASSERT_EQ(::waitpid(nChild, &nStatus, 0), nChild);
    ASSERT_EQ(nStatus, 0);
    uint16_t aPorts[2] = {};
    ASSERT_EQ(::read(fdRead.Get(), aPorts, sizeof aPorts), static_cast<ssize_t>(sizeof aPorts));

    const uint64_t nChildGroup = InodeOf(cgroup.GetDir());
    for (const FlowKey& key :
         {Key(4, IPPROTO_TCP, aPorts[0], nTcpPort), Key(6, IPPROTO_UDP, aPorts[1], nUdpPort)}) {
        SCOPED_TRACE(key.nProtocol);
        const std::optional<FlowOwner> owner = pOwners->Lookup(key);
        ASSERT_TRUE(owner.has_value());
        EXPECT_EQ(owner->nCgroupId, nChildGroup);
        EXPECT_EQ(owner->nUid, kChildUid);
        EXPECT_EQ(owner->nPid, static_cast<uint32_t>(nChild));
        EXPECT_EQ(owner->strComm, "orvek-kflow");
    }
    // The accepting end: its first packet was received (the connection request), so no pid; the
    // group and user are this process's.
    std::ifstream self("/proc/self/cgroup");
    std::string strLine, strOwnGroup;
    while (std::getline(self, strLine)) {
        if (strLine.starts_with("0::")) {
            strOwnGroup = strLine.substr(3);
        }
    }
    const std::optional<FlowOwner> server =
        pOwners->Lookup(Key(4, IPPROTO_TCP, nTcpPort, aPorts[0]));
    ASSERT_TRUE(server.has_value());
    EXPECT_EQ(server->nCgroupId, InodeOf(CCgroupIndex().GetRoot() + strOwnGroup));
    EXPECT_EQ(server->nUid, 0U);

    // The child's UDP port taken again by a socket of this process, to the same end: the flow's
    // owner is the new socket's, not the exited child's.
    const CZarnFd fdAgain(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 again = udp;
    again.sin6_port = htons(aPorts[1]);
    udp.sin6_port = htons(nUdpPort);
    ASSERT_EQ(::bind(fdAgain.Get(), reinterpret_cast<sockaddr*>(&again), sizeof again), 0);
    ASSERT_EQ(::sendto(fdAgain.Get(), "ping", 4, 0, reinterpret_cast<sockaddr*>(&udp), sizeof udp),
              4);
    const std::optional<FlowOwner> reused =
        pOwners->Lookup(Key(6, IPPROTO_UDP, aPorts[1], nUdpPort));
    ASSERT_TRUE(reused.has_value());
    EXPECT_EQ(reused->nCgroupId, server->nCgroupId);
    EXPECT_EQ(reused->nUid, 0U);
    EXPECT_EQ(reused->nPid, static_cast<uint32_t>(::getpid()));

    // The resolver: the closed connection's bytes go to the child's group with the owners, and to
    // no application without them.
    const std::string strGroup = std::filesystem::path(cgroup.GetDir()).filename();
    const std::vector<AppUsage> withOwners = ResolveSent(pOwners.get(), aPorts[0], nTcpPort, 1000);
    ASSERT_EQ(withOwners.size(), 1U);
    EXPECT_EQ(withOwners[0].strName, strGroup);
    EXPECT_EQ(withOwners[0].nOwnerUid, kChildUid);
    EXPECT_EQ(withOwners[0].nSentBytes, 1000);
    // Once both ends closed, the child's end waits out its time with no group or owner left.
    fdAccepted.Reset();
    const std::vector<AppUsage> without = ResolveSent(nullptr, aPorts[0], nTcpPort, 1000);
    ASSERT_EQ(without.size(), 1U);
    EXPECT_NE(without[0].nReason, 0U) << without[0].strName;

    // Forgotten flows are gone; the map holds no more than its size.
    pOwners->Forget({Key(4, IPPROTO_TCP, aPorts[0], nTcpPort)});
    EXPECT_FALSE(pOwners->Lookup(Key(4, IPPROTO_TCP, aPorts[0], nTcpPort)).has_value());
    EXPECT_TRUE(pOwners->Lookup(Key(6, IPPROTO_UDP, aPorts[1], nUdpPort)).has_value());
    EXPECT_LE(pOwners->CountFlows(), CKernelFlowOwners::kMaxFlows);
}

// Owners the test changes while the resolver's worker asks them.
struct CChangingOwners final : IFlowOwners {
    // The resolver's thread.
    std::optional<FlowOwner> Lookup(const FlowKey&) const override {
        std::lock_guard guard(mtx);
        return owner;
    }
    void Forget(const std::vector<FlowKey>&) override {}
    void Set(const FlowOwner& newOwner) {
        std::lock_guard guard(mtx);
        owner = newOwner;
    }
    mutable std::mutex mtx;
    FlowOwner owner;
};

// A program with a name longer than the kernel keeps, whose flows the resolver names while it
// runs: a flow it sent before it exited, looked up only afterwards, is still under its
// executable's row, not under the kernel's cut name.
TEST(KernelFlowOwners, AnExitedProgramsFlowsKeepItsExecutablesRow) {
    const std::string strDir = "/tmp/orvek-kflow-" + std::to_string(::getpid());
    const std::string strName = "orvek-long-program-name"; // the kernel keeps "orvek-long-prog"
    const std::string strScope =
        CCgroupIndex().GetRoot() + "/session-orvekk" + std::to_string(::getpid()) + ".scope";
    struct CCleanup {
        std::string strDir, strScope;
        pid_t nPid = -1;
        ~CCleanup() {
            if (nPid > 0) {
                ::kill(nPid, SIGKILL);
                ::waitpid(nPid, nullptr, 0);
            }
            ::rmdir(strScope.c_str());
            std::filesystem::remove_all(strDir);
        }
    } cleanup{strDir, strScope};
    std::filesystem::create_directories(strDir);
    std::filesystem::copy_file("/bin/sleep", strDir + "/" + strName);
    std::filesystem::create_directory(strScope);
    cleanup.nPid = ::fork();
    ASSERT_GE(cleanup.nPid, 0);
    if (cleanup.nPid == 0) {
        ::execl((strDir + "/" + strName).c_str(), strName.c_str(), "60", nullptr);
        ::_exit(12);
    }
    const std::string strLink = "/proc/" + std::to_string(cleanup.nPid) + "/exe";
    ASSERT_TRUE(WaitUntil([&] {
        std::error_code error;
        return std::filesystem::read_symlink(strLink, error).filename() == strName;
    }));

    // As the kernel keeps them for the meter's own user's program in a group that names none (a
    // login session's): its process and the name the kernel kept of it.
    CChangingOwners owners;
    owners.Set({InodeOf(strScope), ::getuid(), static_cast<uint32_t>(cleanup.nPid),
                strName.substr(0, 15)});
    CAppResolver resolver;
    resolver.SetFlowOwners(&owners);
    CFlowTap tap;
    resolver.AddTap(&tap);
    AddSent(tap, 40001, 443, 1000);
    resolver.DrainStopped();
    ::kill(cleanup.nPid, SIGKILL);
    ASSERT_EQ(::waitpid(cleanup.nPid, nullptr, 0), cleanup.nPid);
    cleanup.nPid = -1;
    AddSent(tap, 40002, 443, 500);
    resolver.DrainStopped();
    const std::vector<AppUsage> rows = resolver.GetUsage();
    resolver.RemoveTap(&tap);
    ASSERT_EQ(rows.size(), 1U);
    EXPECT_EQ(rows[0].strName, strName);
    EXPECT_EQ(rows[0].nSentBytes, 1500);
}

// A UDP port used again, after a quiet second, by another program to the same end: the flow's
// bytes from then on go to the new owner's row; those before stay where they were.
TEST(KernelFlowOwners, AUdpPortUsedAgainGoesToItsNewOwner) {
    const CChildCgroup first;
    const std::string strSecond = first.GetDir() + "-again";
    std::filesystem::create_directory(strSecond);
    struct CRemove {
        std::string strDir;
        ~CRemove() { ::rmdir(strDir.c_str()); }
    } removeSecond{strSecond};
    CChangingOwners owners;
    owners.Set({InodeOf(first.GetDir()), kChildUid, 0, {}});
    CAppResolver resolver;
    resolver.SetFlowOwners(&owners);
    CFlowTap tap;
    resolver.AddTap(&tap);
    resolver.Start();
    // As a capture thread: the datagram, then its table and start handed to the worker.
    const auto send = [&](int64_t nBytes) {
        AddSent(tap, 40003, 53, nBytes, IPPROTO_UDP);
        EXPECT_TRUE(tap.TakeStartSignal());
        EXPECT_TRUE(WaitUntil([&] { return tap.HandOver(CFlowTap::NowNs()); }));
        resolver.Wake();
    };
    const auto bytesOf = [&](const std::string& strDir) {
        const std::string strName = std::filesystem::path(strDir).filename();
        for (const AppUsage& row : resolver.GetUsage()) {
            if (row.strName == strName) {
                return row.nSentBytes;
            }
        }
        return int64_t{0};
    };
    send(1000);
    ASSERT_TRUE(WaitUntil([&] { return bytesOf(first.GetDir()) == 1000; }));
    owners.Set({InodeOf(strSecond), kChildUid, 0, {}});
    std::this_thread::sleep_for(CAppResolver::kQuietBeforeReuse + std::chrono::milliseconds(100));
    send(500);
    EXPECT_TRUE(WaitUntil([&] { return bytesOf(strSecond) == 500; })) << bytesOf(strSecond);
    EXPECT_EQ(bytesOf(first.GetDir()), 1000);
    resolver.StopWorker();
    resolver.RemoveTap(&tap);
}

TEST(KernelFlowOwners, LeavesNoProgramBehind) {
    std::string strRefusal;
    auto pOwners = CKernelFlowOwners::TryLoad(strRefusal);
    ASSERT_NE(pOwners, nullptr) << strRefusal;
    const std::array<uint32_t, 2> ids = pOwners->GetProgramIds();
    for (const uint32_t nId : ids) {
        ASSERT_NE(nId, 0U);
        EXPECT_EQ(Sh("bpftool prog show id " + std::to_string(nId) + " >/dev/null 2>&1"), 0);
    }
    pOwners.reset();
    for (const uint32_t nId : ids) {
        EXPECT_TRUE(WaitUntil([&] {
            return Sh("bpftool prog show id " + std::to_string(nId) + " >/dev/null 2>&1") != 0;
        })) << "program "
            << nId << " is still loaded";
    }
}

TEST(KernelFlowOwners, RefusedWithoutPrivilegeOrCgroupRoot) {
    std::string strRefusal;
    EXPECT_EQ(CKernelFlowOwners::TryLoad(strRefusal, "/nonexistent-cgroup-root"), nullptr);
    EXPECT_NE(strRefusal.find("cgroup v2 root"), std::string::npos) << strRefusal;

    // A child that gave up every capability is refused, and says what it lacks.
    int aPipe[2];
    ASSERT_EQ(::pipe2(aPipe, O_CLOEXEC), 0);
    const CZarnFd fdRead(aPipe[0]), fdWrite(aPipe[1]);
    const pid_t nChild = ::fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0) {
        std::string strText;
        try {
            KeepOnlyCapabilities({});
            const bool bRefused = CKernelFlowOwners::TryLoad(strText) == nullptr;
            strText = (bRefused ? "refused: " : "loaded: ") + strText;
        } catch (...) {
            strText = "threw";
        }
        ::_exit(::write(fdWrite.Get(), strText.data(), strText.size()) > 0 ? 0 : 1);
    }
    int nStatus = -1;
    ASSERT_EQ(::waitpid(nChild, &nStatus, 0), nChild);
    EXPECT_EQ(nStatus, 0);
    char aText[512] = {};
    ASSERT_GT(::read(fdRead.Get(), aText, sizeof aText - 1), 0);
    const std::string strText = aText;
    EXPECT_TRUE(strText.starts_with("refused: ")) << strText;
    EXPECT_NE(strText.find("CAP_BPF"), std::string::npos) << strText;
}
