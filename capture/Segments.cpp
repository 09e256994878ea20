#include "Segments.h"

namespace {

constexpr uint8_t kTcp = 6, kUdp = 17;
constexpr uint32_t kUdpHeader = 8, kIPv6Header = 40;

// The transport header's length at pTransport (nCaptured bytes), 0 when it cannot be read.
uint32_t TransportHeaderLength(uint8_t nProtocol, const uint8_t* pTransport, uint32_t nCaptured) {
    if (nProtocol == kUdp) {
        return kUdpHeader;
    }
    constexpr uint32_t kDataOffset = 12, kMinimumTcp = 20;
    if (nProtocol != kTcp || nCaptured <= kDataOffset) {
        return 0;
    }
    const uint32_t nLength = uint32_t{pTransport[kDataOffset]} >> 4 << 2;
    return nLength >= kMinimumTcp ? nLength : 0;
}

} // namespace

SegmentVerdict CountSegments(ENetworkProtocol eProtocol, const uint8_t* pNetwork,
                             uint32_t nCaptured, uint32_t nNetworkLength, uint32_t nMtu) {
    if (nNetworkLength <= nMtu) {
        return {};
    }
    uint32_t nNetworkHeader = 0;
    uint8_t nProtocol = 0;
    if (eProtocol == ENetworkProtocol::IPv4 && nCaptured >= 20 && pNetwork[0] >> 4 == 4) {
        // A fragment is no merged packet: the kernel fragments before any capture sees it.
        const bool bFragment = ((pNetwork[6] & 0x3F) | pNetwork[7]) != 0;
        nNetworkHeader = bFragment ? 0 : (pNetwork[0] & 0x0Fu) * 4;
        nProtocol = pNetwork[9];
    } else if (eProtocol == ENetworkProtocol::IPv6 && nCaptured >= kIPv6Header &&
               pNetwork[0] >> 4 == 6) {
        nNetworkHeader = kIPv6Header;
        nProtocol = pNetwork[6];
    }
    if (nNetworkHeader < 20 || nCaptured < nNetworkHeader) {
        return {};
    }
    const uint32_t nTransportHeader =
        TransportHeaderLength(nProtocol, pNetwork + nNetworkHeader, nCaptured - nNetworkHeader);
    const uint32_t nHeaders = nNetworkHeader + nTransportHeader;
    if (nTransportHeader == 0 || nMtu <= nHeaders) {
        return {};
    }
    const uint32_t nSegmentPayload = nMtu - nHeaders;
    const uint32_t nPayload = nNetworkLength - nHeaders;
    const auto nSegments =
        static_cast<uint32_t>((uint64_t{nPayload} + nSegmentPayload - 1) / nSegmentPayload);
    return {nSegments, uint64_t{nSegments - 1} * nHeaders};
}
