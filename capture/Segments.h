#pragma once

#include "LinkLayer.h"

#include <cstdint>

// What a packet longer than its device's MTU stands for on the wire. Such a packet is one the
// kernel merged: a TCP or UDP send that the device segments (TSO, GSO, UDP_SEGMENT), or segments
// that arrived and were merged (GRO), both captured before (or after) they are the wire's
// segments. Each segment repeats the network and transport headers, which the merged packet
// carries once.
struct SegmentVerdict {
    uint32_t nSegments = 1;   // packets on the wire
    uint64_t nExtraBytes = 0; // header bytes of all segments but the first
};

// The segments a packet of nNetworkLength bytes from its network header on (nCaptured of them at
// pNetwork) is on a device of nMtu, taking each segment but the last to be as large as the MTU
// lets it be with the packet's own IP and TCP (or UDP) headers: the segment size TCP itself
// chooses for the device, which GRO also finds in what a peer of the same MTU sent. Fewer
// segments than the wire's when the real segments were smaller (a peer's smaller MSS, a UDP
// sender's own segment size), never more. One segment for a packet no longer than the MTU, for
// anything but IPv4 or IPv6 carrying TCP or UDP right after its header, and for a capture too
// short to show the headers. Pure: reads at most nCaptured bytes.
SegmentVerdict CountSegments(ENetworkProtocol eProtocol, const uint8_t* pNetwork,
                             uint32_t nCaptured, uint32_t nNetworkLength, uint32_t nMtu);
