#pragma once

// User-space tunnels: a VPN program (OpenVPN, a user-space WireGuard client...) reads the packets
// of a tun device and sends them, wrapped, over a UDP or TCP socket of its own, so that they count
// again on the device that socket's traffic leaves through. The holder of a tun device is the
// process with a /dev/net/tun descriptor attached to it (its fdinfo names the device); its
// connected UDP and TCP sockets (socket diagnostics, which need no privilege) and the route to
// their peers name that device. Only processes whose descriptors this process may read are seen:
// the user's own, or all of them for root.

#include "LinkTable.h"
#include "SockDiag.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Pure: the device named by the "iff:" line of a descriptor's /proc/PID/fdinfo text, which the
// kernel writes for a /dev/net/tun descriptor attached to a device; empty without one.
std::string ParseTunFdinfo(std::string_view text);

// An RTM_GETROUTE request for the route this host takes to an address (AF_INET: its first four
// bytes).
std::string BuildRouteQuery(uint8_t nFamily, const std::array<uint8_t, 16>& aAddress,
                            uint32_t nSeq);

// What the answer to a route request says: the device the route leaves through, or the kernel's
// error (positive errno, ENETUNREACH when there is no route).
struct RouteVerdict {
    int nOutIndex = 0; // RTA_OIF; 0: none given
    int nError = 0;
    bool bAnswered = false; // a route or an error was read
};
// Pure: reads the messages of one received datagram; the first RTM_NEWROUTE or error answers.
// Bytes that are no sequence of well-formed messages answer nothing (bAnswered false).
RouteVerdict ParseRouteReply(std::span<const uint8_t> bytes);

// A process that holds tun devices, with the sockets among its descriptors.
struct TunHolder {
    int nPid = 0;
    std::string strCommand;           // /proc/PID/comm
    std::vector<std::string> vecTuns; // the devices its tun descriptors are attached to
    std::vector<uint64_t> vecSockets; // inodes of its socket descriptors
};

// Every process under szProc (normally "/proc") that this process may read and that holds a tun
// device; nUnreadable counts the processes whose descriptors it may not read.
struct TunHolderScan {
    std::vector<TunHolder> holders;
    size_t nUnreadable = 0;
};
TunHolderScan ScanTunHolders(const char* szProc = "/proc");

// What was decided about one tun or tap device.
struct TunVerdict {
    // The device its packets leave the host inside (the lowest of a stack); empty: not a tunnel,
    // it counts as any device.
    std::string strCarrier;
    // Why, in a user's words: "openvpn sends it over UDP to 192.0.2.1:1194", or why nothing was
    // found ("held by tunsrv, which has no UDP or TCP connection").
    std::string strReason;
    // Its outer packets: those of its holder's socket.
    OuterFlow outer = {};
};

// Pure: how the packets of a connected socket of nProtocol (UDP, TCP) are told among the host's
// flows: its peer's address and port (an IPv4 peer of an IPv6 socket as the IPv4 packets that
// carry them).
OuterFlow OuterFlowOf(const SocketRecord& socket, uint8_t nProtocol);

// Pure: the verdict for one tun device from its holders, the connected sockets of the host (from
// socket diagnostics; UDP ones marked by bUdp) and the device each socket's traffic leaves through
// (by inode; 0 when unknown). nUnreadable: processes whose descriptors could not be read.
struct ConnectedSocket {
    SocketRecord socket;
    bool bUdp = false;
    int nOutIndex = 0;
};
TunVerdict DecideTunVerdict(const LinkRecord& tun, const std::vector<const TunHolder*>& holders,
                            const std::vector<ConnectedSocket>& sockets, const CLinkTable& links,
                            size_t nUnreadable);

// Decides which tun and tap devices are user-space tunnels, keeping each verdict until the device
// changes. Looking costs a walk over the readable processes' descriptors, four socket dumps and a
// route request per connected socket of a holder: it is done only for a device that appeared or
// changed, and again while a device is not found to be a tunnel (its VPN may connect later):
// after kFirstRecheck, then after waits that double up to kLastRecheck. A tunnel is looked at
// again every kLastRecheck, as its program may reconnect to another server; a look that finds no
// connection keeps the tunnel (a VPN between two connections still carries nothing else). One
// thread at a time (the caller's lock).
class CUserTunnels {
public:
    static constexpr std::chrono::seconds kFirstRecheck{1}, kLastRecheck{60};

    // The verdicts for the tun and tap devices of links that are up, looking where due at now.
    // Never throws: what cannot be read leaves a device counted as any other, its reason saying
    // why.
    const std::map<std::string, TunVerdict>& Update(const CLinkTable& links,
                                                    std::chrono::steady_clock::time_point now);
    // When the next look at a tun or tap device is due; max() when there is none.
    std::chrono::steady_clock::time_point GetNextCheck() const;

private:
    struct Tracked {
        int nIndex = 0;
        std::chrono::steady_clock::time_point tNext; // when it is looked at again, if no tunnel
        std::chrono::seconds wait = kFirstRecheck;   // the wait after that look
    };
    std::map<std::string, Tracked> m_tracked;
    std::map<std::string, TunVerdict> m_verdicts;
};
