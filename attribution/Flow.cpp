#include "Flow.h"

namespace {

constexpr uint8_t kTcp = 6, kUdp = 17;
// IPv6 extension headers that may stand between the fixed header and TCP or UDP.
constexpr uint8_t kHopByHop = 0, kRouting = 43, kFragment = 44, kAuthentication = 51,
                  kDestinationOptions = 60;
// More than this many extension headers in a row is no packet any host sends.
constexpr int kMaxExtensionHeaders = 8;

uint16_t ReadPort(const uint8_t* pb) {
    return static_cast<uint16_t>(pb[0] << 8 | pb[1]);
}

// Fills the key from addresses and the ports at nPortsOffset (from pNetwork), when captured.
EFlowRead FillKey(const PacketInfo& info, bool bLocalIsSource, FlowKey& key, uint8_t nProtocol,
                  size_t nAddressBytes, size_t nSourceOffset, size_t nDestOffset,
                  uint64_t nPortsOffset) {
    const uint8_t* pNetwork = info.pData + info.nLinkHeaderLength;
    if (uint64_t{info.pHeader->caplen} < info.nLinkHeaderLength + nPortsOffset + 4) {
        return EFlowRead::HeadersCut;
    }
    key.nFamily = nAddressBytes == 4 ? 4 : 6;
    key.nProtocol = nProtocol;
    std::memcpy(key.aLocal.data(), pNetwork + (bLocalIsSource ? nSourceOffset : nDestOffset),
                nAddressBytes);
    std::memcpy(key.aRemote.data(), pNetwork + (bLocalIsSource ? nDestOffset : nSourceOffset),
                nAddressBytes);
    const uint16_t nSource = ReadPort(pNetwork + nPortsOffset);
    const uint16_t nDest = ReadPort(pNetwork + nPortsOffset + 2);
    key.nLocalPort = bLocalIsSource ? nSource : nDest;
    key.nRemotePort = bLocalIsSource ? nDest : nSource;
    return EFlowRead::Flow;
}

EFlowRead ReadIPv4(const PacketInfo& info, bool bLocalIsSource, FlowKey& key) {
    const uint8_t* pNetwork = info.pData + info.nLinkHeaderLength;
    const uint64_t nCaptured = uint64_t{info.pHeader->caplen} - info.nLinkHeaderLength;
    if (nCaptured < 20) {
        return EFlowRead::HeadersCut;
    }
    const uint32_t nHeader = (pNetwork[0] & 0x0Fu) * 4;
    if ((pNetwork[0] >> 4) != 4 || nHeader < 20) {
        return EFlowRead::NotTcpUdp;
    }
    if ((pNetwork[6] & 0x1F) != 0 || pNetwork[7] != 0) {
        return EFlowRead::Fragment; // a later fragment: no transport header
    }
    const uint8_t nProtocol = pNetwork[9];
    if (nProtocol != kTcp && nProtocol != kUdp) {
        return EFlowRead::NotTcpUdp;
    }
    return FillKey(info, bLocalIsSource, key, nProtocol, 4, 12, 16, nHeader);
}

EFlowRead ReadIPv6(const PacketInfo& info, bool bLocalIsSource, FlowKey& key) {
    const uint8_t* pNetwork = info.pData + info.nLinkHeaderLength;
    const uint64_t nCaptured = uint64_t{info.pHeader->caplen} - info.nLinkHeaderLength;
    if (nCaptured < 40) {
        return EFlowRead::HeadersCut;
    }
    if ((pNetwork[0] >> 4) != 6) {
        return EFlowRead::NotTcpUdp;
    }
    uint8_t nNext = pNetwork[6];
    uint64_t nOffset = 40;
    for (int nHeaders = 0; nHeaders <= kMaxExtensionHeaders; ++nHeaders) {
        if (nNext == kTcp || nNext == kUdp) {
            return FillKey(info, bLocalIsSource, key, nNext, 16, 8, 24, nOffset);
        }
        if (nNext != kHopByHop && nNext != kRouting && nNext != kFragment &&
            nNext != kAuthentication && nNext != kDestinationOptions) {
            return EFlowRead::NotTcpUdp; // ICMPv6, ESP, no next header, ...
        }
        if (nCaptured < nOffset + 8) {
            return EFlowRead::HeadersCut;
        }
        const uint8_t* pHeader = pNetwork + nOffset;
        if (nNext == kFragment) {
            if ((ReadPort(pHeader + 2) & 0xFFF8) != 0) {
                return EFlowRead::Fragment;
            }
            nOffset += 8;
        } else if (nNext == kAuthentication) {
            nOffset += (uint64_t{pHeader[1]} + 2) * 4;
        } else {
            nOffset += (uint64_t{pHeader[1]} + 1) * 8;
        }
        nNext = pHeader[0];
    }
    return EFlowRead::NotTcpUdp;
}

} // namespace

EFlowRead ReadFlowOther(const PacketInfo& info, bool bLocalIsSource, FlowKey& key) {
    // Counted packets may be captured shorter than their link header: nothing to read then.
    if (info.pHeader->caplen < info.nLinkHeaderLength) {
        return info.eNetworkProtocol == ENetworkProtocol::Other ? EFlowRead::NotTcpUdp
                                                                : EFlowRead::HeadersCut;
    }
    switch (info.eNetworkProtocol) {
    case ENetworkProtocol::IPv4:
        return ReadIPv4(info, bLocalIsSource, key);
    case ENetworkProtocol::IPv6:
        return ReadIPv6(info, bLocalIsSource, key);
    case ENetworkProtocol::Other:
        break;
    }
    return EFlowRead::NotTcpUdp;
}

bool MatchesOuter(const FlowKey& key, const OuterFlow& outer) {
    const size_t nAddress = outer.nRemoteFamily == 4 ? 4 : 16;
    return outer.nPort != 0 && key.nProtocol == outer.nProtocol &&
           (key.nLocalPort == outer.nPort || key.nRemotePort == outer.nPort) &&
           (outer.nRemoteFamily == 0 ||
            (key.nFamily == outer.nRemoteFamily &&
             std::memcmp(key.aRemote.data(), outer.aRemote.data(), nAddress) == 0));
}

EUnattributed ReasonWithoutSocket(bool bLocalIsHost, EFlowAsk eAsk) {
    return !bLocalIsHost || eAsk == EFlowAsk::AtReceivedStart || eAsk == EFlowAsk::Again
               ? EUnattributed::NoSocket
               : EUnattributed::Closed;
}
