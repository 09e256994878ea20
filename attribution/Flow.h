#pragma once

// A flow of this host's traffic as capture threads see it: TCP or UDP between a local and a remote
// address and port, read from a captured packet's headers.

#include "AdapterListener.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <pcap/pcap.h>

#include "AppUsage.h"

// A flow's identity, local end first. IPv4 addresses take the first four bytes, the rest zero;
// ports in host order. Compared and hashed as five words.
struct FlowKey {
    std::array<uint8_t, 16> aLocal{};
    std::array<uint8_t, 16> aRemote{};
    uint16_t nLocalPort = 0, nRemotePort = 0;
    uint8_t nProtocol = 0; // IPPROTO_TCP or IPPROTO_UDP
    uint8_t nFamily = 0;   // 4 or 6
    uint16_t nPad = 0;

    bool operator==(const FlowKey& other) const {
        return std::memcmp(this, &other, sizeof *this) == 0;
    }
    bool IsIPv6() const { return nFamily == 6; }
};
static_assert(sizeof(FlowKey) == 40);

// Fibonacci hashing over the key's five words: spreads addresses and ports over every bit.
inline uint64_t HashFlowKey(const FlowKey& key) {
    uint64_t aWords[5];
    std::memcpy(aWords, &key, sizeof aWords);
    const uint64_t nMixed = aWords[0] ^ (aWords[1] * 31) ^ aWords[2] ^ (aWords[3] * 7) ^ aWords[4];
    return (nMixed ^ (nMixed >> 29)) * 0x9E3779B97F4A7C15U;
}

struct FlowKeyHash {
    size_t operator()(const FlowKey& key) const { return HashFlowKey(key); }
};

// Pure: whether a flow is a tunnel's outer flow as outer tells it (UDP from or to its port, with
// its peer when known). Never for an unknown port.
bool MatchesOuter(const FlowKey& key, const OuterFlow& outer);

// When the resolver asked for a flow's socket: at the flow's first packet (a TCP SYN, or a UDP
// flow's first datagram), sent or received; later (at a table's hand-over); or again, as the flow
// still carries bytes a while after no socket was found for it.
enum class EFlowAsk : uint8_t { Later, Again, AtSentStart, AtReceivedStart };

// Pure: why a flow has no application when no socket of this network namespace has it (nor a
// listening or bound one takes it, nor a closing one is left). NoSocket where it is not this
// host's own: its local address is none of the host's (bLocalIsHost false: forwarded, bridged, or
// another namespace's); it came in first and nothing here took it (a socket waits before a
// connection or a datagram comes: forwarded or NAT-ed on the host's own address, or refused); or
// it still carries bytes a while after no socket had it (a closed socket's flow ends within a
// few round trips: NAT-ed or forwarded on the host's own address). Closed otherwise: a socket of
// this host had it and closed before it was asked for.
EUnattributed ReasonWithoutSocket(bool bLocalIsHost, EFlowAsk eAsk);

// What a counted packet's headers tell: its flow, or why it has none.
enum class EFlowRead : uint8_t { Flow, NotTcpUdp, Fragment, HeadersCut };

// Pure: reads the flow of a counted packet whose network header starts at nLinkHeaderLength,
// reading nothing past the captured length. bLocalIsSource: the packet was sent (its source is
// the local end); otherwise its destination is. ReadFlowOther takes what the common case leaves:
// IPv4 with options, IPv6 with extension headers, anything cut short or not IP.
EFlowRead ReadFlowOther(const PacketInfo& info, bool bLocalIsSource, FlowKey& key);

// The common case in line: IPv4 without options and IPv6 without extension headers, carrying TCP
// or UDP with the ports captured.
[[gnu::always_inline]] inline EFlowRead ReadFlow(const PacketInfo& info, bool bLocalIsSource,
                                                 FlowKey& key) {
    constexpr uint8_t kTcp = 6, kUdp = 17;
    const uint8_t* pNetwork = info.pData + info.nLinkHeaderLength;
    const uint64_t nCaptured = info.pHeader->caplen;
    const uint64_t nStart = info.nLinkHeaderLength;
    if (info.eNetworkProtocol == ENetworkProtocol::IPv4 && nCaptured >= nStart + 24 &&
        pNetwork[0] == 0x45 && (pNetwork[9] == kTcp || pNetwork[9] == kUdp) &&
        (pNetwork[6] & 0x1F) == 0 && pNetwork[7] == 0) {
        key.nFamily = 4;
        key.nProtocol = pNetwork[9];
        const uint8_t* pLocal = pNetwork + (bLocalIsSource ? 12 : 16);
        const uint8_t* pRemote = pNetwork + (bLocalIsSource ? 16 : 12);
        std::memcpy(key.aLocal.data(), pLocal, 4);
        std::memcpy(key.aRemote.data(), pRemote, 4);
        const uint8_t* pPorts = pNetwork + 20;
        const uint16_t nSource = static_cast<uint16_t>(pPorts[0] << 8 | pPorts[1]);
        const uint16_t nDest = static_cast<uint16_t>(pPorts[2] << 8 | pPorts[3]);
        key.nLocalPort = bLocalIsSource ? nSource : nDest;
        key.nRemotePort = bLocalIsSource ? nDest : nSource;
        return EFlowRead::Flow;
    }
    if (info.eNetworkProtocol == ENetworkProtocol::IPv6 && nCaptured >= nStart + 44 &&
        (pNetwork[0] >> 4) == 6 && (pNetwork[6] == kTcp || pNetwork[6] == kUdp)) {
        key.nFamily = 6;
        key.nProtocol = pNetwork[6];
        std::memcpy(key.aLocal.data(), pNetwork + (bLocalIsSource ? 8 : 24), 16);
        std::memcpy(key.aRemote.data(), pNetwork + (bLocalIsSource ? 24 : 8), 16);
        const uint8_t* pPorts = pNetwork + 40;
        const uint16_t nSource = static_cast<uint16_t>(pPorts[0] << 8 | pPorts[1]);
        const uint16_t nDest = static_cast<uint16_t>(pPorts[2] << 8 | pPorts[3]);
        key.nLocalPort = bLocalIsSource ? nSource : nDest;
        key.nRemotePort = bLocalIsSource ? nDest : nSource;
        return EFlowRead::Flow;
    }
    return ReadFlowOther(info, bLocalIsSource, key);
}
