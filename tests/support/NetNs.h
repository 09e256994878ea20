#pragma once

// Test hosts for live tests: a private network namespace for the test process, anonymous peer
// namespaces, veth pairs and tun devices that carry only the traffic a test sends, and exact
// interface counters. Everything lives in namespaces that vanish with the test process, so
// nothing leaks even when a test crashes, and no packet leaves this machine.

#include "AddressTable.h"
#include "ZarnFd.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace orvektest {

// Moves the whole process into a new network namespace with its loopback up. Call on the main
// thread before any other thread exists (threads inherit the namespace of their creator).
// Aborts the process with a message when it cannot (not root).
void EnterPrivateNetns();

// Gives the whole process a mount namespace of its own, its mounts private: what a test mounts
// vanishes with the process. Call on the main thread before any other thread exists.
void EnterPrivateMounts();

// /bin/sh commands in the namespace of the calling thread. Sh returns the exit status; ShOk
// fails the current test (with the command's output) unless it is 0; ShOut returns stdout.
int Sh(const std::string& strCommand);
void ShOk(const std::string& strCommand);
std::string ShOut(const std::string& strCommand);

// Runs a set-up script in the calling thread's namespace, stopping at its first failing command;
// throws std::runtime_error with its output then, as nothing sensible can follow a half-made
// host. The script may use two shell functions: quiet_up DEV brings a link up sending nothing of
// its own (no link-local address, router solicitation, DAD, ARP or multicast); neigh DEV MAC
// ADDRESS... adds static neighbours, so that nobody asks for them.
void SetUpOrThrow(const std::string& strScript);

// An anonymous network namespace held by a descriptor, with its loopback up.
class CPeerNs {
public:
    CPeerNs();
    // A path that `ip link set DEV netns PATH` accepts.
    std::string GetPath() const;
    // Runs fn on a new thread that has entered this namespace, and waits for it.
    void RunIn(const std::function<void()>& fn) const;

private:
    CZarnFd m_fdNs;
};

// Addresses of one end of a link; empty strings are not configured.
struct LinkEnd {
    std::string strName, strIPv4, strIPv6;
};

// Creates a veth pair: local.strName in the calling thread's namespace, peer.strName in peerNs,
// both up with /24 and /64 addresses. The kernel sends nothing of its own on the link (static
// neighbours, ARP and multicast off, no link-local address, no DAD), so the interface counters
// hold exactly the traffic the test makes.
void MakeVethPair(const CPeerNs& peerNs, const LinkEnd& local, const LinkEnd& peer);

// Creates a VXLAN overlay strName (VNI nId, UDP port 4789) on each end of a link that
// MakeVethPair made, its outer packets between their IPv4 addresses, with the overlay addresses
// strLocal and strPeer (/24), quiet and with static neighbours as that link is.
void MakeVxlanPair(const CPeerNs& peerNs, const std::string& strName, uint32_t nId,
                   const LinkEnd& local, const LinkEnd& peer, const std::string& strLocal,
                   const std::string& strPeer);

// Kernel counters of an interface in the calling thread's namespace.
struct IfCounters {
    uint64_t nRxBytes = 0, nRxPackets = 0, nTxBytes = 0, nTxPackets = 0;
};
IfCounters ReadCounters(const std::string& strInterface);

// Sends nCount UDP datagrams of nPayload bytes each from the calling thread's namespace, from
// strSource to strDest:nPort. IPv4 or IPv6 by the address form.
void SendUdp(const std::string& strSource, const std::string& strDest, uint16_t nPort,
             size_t nPayload, size_t nCount);

// A socket bound in the calling thread's namespace, served by a thread of its own until
// destruction.
struct CSocketServer {
    // serve runs on the server thread and returns once m_stopEvent is set.
    CSocketServer(const std::string& strAddress, uint16_t nPort, int nType,
                  void (*serve)(CSocketServer&));
    ~CSocketServer();
    CZarnFd m_fdSocket;
    CZarnEvent m_stopEvent;
    std::atomic<size_t> m_nReceived{0};
    std::thread m_worker;
};

// A UDP receiver, so that datagrams sent to it draw no ICMP reply; drains what arrives.
struct CUdpSink : CSocketServer {
    CUdpSink(const std::string& strAddress, uint16_t nPort);
    // Waits (up to a generous bound) until nCount datagrams have arrived; returns how many did.
    size_t WaitFor(size_t nCount);
};

// A TCP echo listener; TcpExchange connects to one (possibly in another namespace), sends nBytes,
// receives them echoed back, and closes.
struct CTcpEcho : CSocketServer {
    CTcpEcho(const std::string& strAddress, uint16_t nPort);
};
void TcpExchange(const std::string& strDest, uint16_t nPort, size_t nBytes);

// A TCP listener that reads what connections send (m_nReceived bytes in all) until they close;
// TcpSend connects to one, sends nBytes (at most nPace bytes a second, unless 0), and waits for
// its close.
struct CTcpSink : CSocketServer {
    CTcpSink(const std::string& strAddress, uint16_t nPort);
};
void TcpSend(const std::string& strDest, uint16_t nPort, size_t nBytes, uint32_t nPace = 0);

// A tun device (raw IP, no link header) in the calling thread's namespace, up, with the given
// addresses; packets written to it arrive on the host as received traffic, packets the host
// routes into it can be read back (empty after the time-out).
class CTunDevice {
public:
    CTunDevice(const std::string& strName, const std::string& strIPv4Cidr,
               const std::string& strIPv6Cidr);
    const std::string& GetName() const { return m_strName; }
    void Write(const std::vector<uint8_t>& packet);
    std::vector<uint8_t> Read(int nTimeoutMs);

private:
    std::string m_strName;
    CZarnFd m_fdTun; // the device lives as long as this descriptor
};

// A well-formed IPv4/UDP (or IPv6/UDP) packet with correct checksums and nPayload bytes.
std::vector<uint8_t> MakeUdpPacket(const std::string& strSource, const std::string& strDest,
                                   uint16_t nSourcePort, uint16_t nDestPort, size_t nPayload);

// Polls pred until it holds or nTimeoutMs passes; returns its last value. Only turns a hang into
// a failure: tests never depend on the time it takes.
bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs = 20000);

// What the meter counts of an Ethernet device's traffic in one direction since `before`: the
// kernel's bytes less the 14-byte link header of each packet.
int64_t NetworkBytesSince(const std::string& strInterface, const IfCounters& before, bool bSent);

// Whether the table holds an address written as IPv4 or IPv6 text.
bool IsLocal(const CAddressTable& table, const std::string& strAddress);

// libpcap's text for a filter that it refuses to compile for a link type (Ethernet by default).
std::string PcapFilterError(const std::string& strFilter, int nLinkType = 1);

// Runs fn, which must throw a CZarnException with code 0 and the text strText (libpcap's, say).
void ExpectDescribedError(const std::function<void()>& fn, const std::string& strText);

// For a forked child: from now on every new thread gets a stack of nStackMiB MiB, and the address
// space may grow by nRoomBytes only, so thread creation fails once the room is used up.
void StarveThreadCreation(size_t nStackMiB, size_t nRoomBytes);

// The value of a line of /proc/PID/status ("CapEff", "Uid": its first field), with a newline.
std::string StatusLine(pid_t nPid, const std::string& strKey);

// A program run by the test in the calling thread's namespace, its output kept in files.
class CChildProcess {
public:
    // Starts args[0] with the arguments; strUid, when given, runs it as that user and group id
    // (which leaves it no capability). Throws std::runtime_error when it cannot start.
    explicit CChildProcess(const std::vector<std::string>& args, const std::string& strUid = "");
    ~CChildProcess(); // kills and reaps a child still running
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    void Signal(int nSignal) const;
    // Waits for the exit (a generous bound turns a hang into -1); the exit status, or 128 plus
    // the signal.
    int Wait(int nTimeoutMs = 60000);
    std::string GetStdout() const { return GetOutput("out"); }
    std::string GetStderr() const { return GetOutput("err"); }
    pid_t GetPid() const { return m_nPid; }

private:
    std::string GetOutput(const char* szName) const;

    std::string m_strDir; // holds out and err
    pid_t m_nPid = -1;
    int m_nStatus = -1;
};

// Installs a watchdog that aborts the process, naming the test, when one test runs longer than
// nSeconds (ORVEK_TEST_HANG_SECONDS overrides it): a hang fails fast and says where it was.
void InstallHangGuard(int nSeconds);

} // namespace orvektest
