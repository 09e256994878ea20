#pragma once

// The kernel's socket diagnostics (NETLINK_SOCK_DIAG, inet_diag) as pure functions: requests as
// bytes, and replies read from bytes. Any process may ask, for every socket of its namespace.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// One TCP or UDP socket as the kernel describes it.
struct SocketRecord {
    uint8_t nFamily = 0; // AF_INET or AF_INET6
    uint8_t nState = 0;  // TCP_ESTABLISHED, TCP_LISTEN, TCP_TIME_WAIT, ... (UDP: 7 unconnected)
    uint16_t nLocalPort = 0, nRemotePort = 0; // host order
    std::array<uint8_t, 16> aLocal{}, aRemote{};
    uint32_t nUid = 0;
    uint64_t nInode = 0; // 0: no full socket (a closing connection or a half-open one)
    uint64_t nCgroupId = 0;
    bool bHasCgroup = false;
    uint32_t nBoundIf = 0; // the device it is bound to (SO_BINDTODEVICE), 0: none
};

// What one reply message says: a socket, an error for a request (nError negative, -ENOENT for a
// socket that does not exist), or the end of a dump.
struct DiagReply {
    enum class EKind : uint8_t { Socket, Error, Done };
    EKind eKind = EKind::Done;
    uint32_t nSeq = 0;
    int32_t nError = 0;
    SocketRecord socket;
};

// A request for the one socket of a flow between the ends of flow (its family, addresses and
// ports; nothing else is read). The kernel reads a TCP flow's id local end first, a UDP flow's
// remote end first (its UDP look-up takes them as a packet's source and destination).
std::string BuildSocketQuery(const SocketRecord& flow, uint8_t nProtocol, uint32_t nSeq);
// A request for every socket of a family and protocol in the given states (a bit per state).
std::string BuildSocketDump(uint8_t nFamily, uint8_t nProtocol, uint32_t nStates, uint32_t nSeq);

// Pure: reads the messages of one datagram into replies. False, with what is wrong, for bytes
// that are no sequence of well-formed messages; what was read before stays in replies.
bool ParseDiagReplies(std::span<const uint8_t> bytes, std::vector<DiagReply>& replies,
                      std::string& strError);

// Pure: the inode of a descriptor whose /proc/PID/fd link reads "socket:[N]"; 0 for any other.
uint64_t ParseSocketLink(std::string_view link);

// Pure: whether an IPv6 address is an IPv4 one as a dual-stack socket holds it (::ffff:a.b.c.d,
// the IPv4 address in its last four bytes).
bool IsIPv4Mapped(const std::array<uint8_t, 16>& aAddress);
