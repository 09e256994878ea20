#pragma once

// What the meter's connections are: the flows it counted lately, each with its ends and its
// application, for the views that list them. Plain data; addresses as their raw bytes, so that a
// client formats them and asks for their names itself.

#include <cstdint>
#include <string>

// One TCP connection or UDP exchange seen in the resolver's flow expiry, with its bytes since it
// was first seen.
struct ConnectionUsage {
    uint32_t nProtocol = 0; // IPPROTO_TCP (6) or IPPROTO_UDP (17)
    // The addresses' bytes in network order: 4 for IPv4, 16 for IPv6 (anything else is shown as
    // "?": it came from a peer).
    std::string strLocal, strRemote;
    uint32_t nLocalPort = 0, nRemotePort = 0;
    // The application's row name, or the reason's description when nReason is not 0.
    std::string strApp;
    uint32_t nReason = 0;
    int64_t nSentBytes = 0, nRecvBytes = 0;
    // The uid of the socket's user, as its application row's; UINT32_MAX when none is known
    // (the bytes not attributed).
    uint32_t nOwnerUid = UINT32_MAX;

    template <class Io> void Fields(Io& io) {
        io(nProtocol, strLocal, strRemote, nLocalPort, nRemotePort, strApp, nReason, nSentBytes,
           nRecvBytes, nOwnerUid);
    }
    bool operator==(const ConnectionUsage&) const = default;
};

// "tcp", "udp", or the number.
std::string ConnectionProtocolName(uint32_t nProtocol);
// An address's text ("10.0.0.1", "fd00::1"), or "?" for bytes that are no address.
std::string FormatAddress(const std::string& strAddress);
// An end as "10.0.0.1:443" or "[fd00::1]:443"; strHost replaces the address when not empty.
std::string FormatEndpoint(const std::string& strAddress, uint32_t nPort,
                           const std::string& strHost = {});
