#pragma once

// Test hosts for live tests: a private network namespace for the test process, anonymous peer
// namespaces, veth pairs and tun devices that carry only the traffic a test sends, and exact
// interface counters. Everything lives in namespaces that vanish with the test process, so
// nothing leaks even when a test crashes, and no packet leaves this machine.

#include "ZarnFd.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvektest {

// Moves the whole process into a new network namespace with its loopback up. Call on the main
// thread before any other thread exists (threads inherit the namespace of their creator).
// Aborts the process with a message when it cannot (not root).
void EnterPrivateNetns();

// Runs a /bin/sh command in the namespace of the calling thread; returns its exit status.
int Sh(const std::string& strCommand);
// As Sh, and fails the current test (with the command's output) when the status is not 0.
void ShOk(const std::string& strCommand);
// Runs a command and returns its standard output.
std::string ShOut(const std::string& strCommand);

// An anonymous network namespace held by a descriptor, with its loopback up.
class CPeerNs {
public:
    CPeerNs();

    // A path that `ip link set DEV netns PATH` accepts.
    std::string GetPath() const;
    // Runs a /bin/sh command inside this namespace, as orvektest::ShOk.
    void ShOk(const std::string& strCommand) const;
    // Runs fn on a new thread that has entered this namespace, and waits for it.
    void RunIn(const std::function<void()>& fn) const;

private:
    CZarnFd m_fdNs;
};

// Addresses of one end of a link; empty strings are not configured.
struct LinkEnd {
    std::string strName;
    std::string strIPv4; // e.g. "10.77.0.1"
    std::string strIPv6; // e.g. "fd77::1"
};

// Creates a veth pair: local.strName in the calling thread's namespace, peer.strName in peerNs.
// Both ends are up with /24 and /64 addresses (no duplicate address detection), static neighbour
// entries on both sides, multicast and ARP off (so no solicited-node group is joined and no MLD
// report sent) and no IPv6 link-local address, so the kernel sends nothing of its own on the
// link: the interface counters hold exactly the traffic the test makes.
void MakeVethPair(const CPeerNs& peerNs, const LinkEnd& local, const LinkEnd& peer);

// Kernel counters of an interface in the calling thread's namespace (from /proc/net/dev).
struct IfCounters {
    uint64_t nRxBytes = 0;
    uint64_t nRxPackets = 0;
    uint64_t nTxBytes = 0;
    uint64_t nTxPackets = 0;
};
IfCounters ReadCounters(const std::string& strInterface);

// Sends nCount UDP datagrams of nPayload bytes each from the calling thread's namespace (use
// CPeerNs::RunIn for a peer), from strSource to strDest:nPort. IPv4 or IPv6 by the address form.
void SendUdp(const std::string& strSource, const std::string& strDest, uint16_t nPort,
             size_t nPayload, size_t nCount);

// A UDP receiver bound in the calling thread's namespace, so that datagrams sent to it draw no
// ICMP reply; it drains what arrives until destroyed.
class CUdpSink {
public:
    CUdpSink(const std::string& strAddress, uint16_t nPort);
    ~CUdpSink();
    // Waits (up to a generous bound) until nCount datagrams have arrived; returns how many did.
    size_t WaitFor(size_t nCount);

private:
    std::unique_ptr<struct CSocketWorker> m_pWorker;
};

// Connects from the calling thread's namespace to a TCP listener of this class (which may live in
// another namespace), sends nBytes, receives them echoed back, and closes.
class CTcpEcho {
public:
    // Listens on strAddress:nPort in the namespace of the calling thread.
    CTcpEcho(const std::string& strAddress, uint16_t nPort);
    ~CTcpEcho();

private:
    std::unique_ptr<struct CSocketWorker> m_pWorker;
};
void TcpExchange(const std::string& strDest, uint16_t nPort, size_t nBytes);

// A tun device (raw IP, no link header) in the calling thread's namespace, up, with the given
// addresses; packets written to it arrive on the host as received traffic, packets the host
// routes into it can be read back.
class CTunDevice {
public:
    CTunDevice(const std::string& strName, const std::string& strIPv4Cidr,
               const std::string& strIPv6Cidr);

    const std::string& GetName() const { return m_strName; }
    // Injects one IP packet as if it had arrived on the device.
    void Write(const std::vector<uint8_t>& packet);
    // Reads one packet the host sent into the device; empty after the time-out.
    std::vector<uint8_t> Read(int nTimeoutMs);

private:
    std::string m_strName;
    CZarnFd m_fdTun; // the device lives as long as this descriptor
};

// Builds a well-formed IPv4/UDP (or IPv6/UDP) packet with correct checksums and nPayload bytes.
std::vector<uint8_t> MakeUdpPacket(const std::string& strSource, const std::string& strDest,
                                   uint16_t nSourcePort, uint16_t nDestPort, size_t nPayload);

// Polls pred every few milliseconds until it holds or nTimeoutMs passes; returns its last value.
// Only turns a hang into a failure: tests never depend on the time it takes.
bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs = 20000);

// Turns a hang into a failure: aborts the process with a message naming strWhat when the guard
// is not destroyed within nTimeoutMs. For calls that must return (Stop, Close), not for timing.
class CHangGuard {
public:
    explicit CHangGuard(std::string strWhat, int nTimeoutMs = 20000);
    ~CHangGuard();

private:
    std::promise<void> m_done;
    std::thread m_watcher; // aborts unless m_done is set in time
};

} // namespace orvektest
