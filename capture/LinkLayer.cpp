#include "LinkLayer.h"

#include <pcap/dlt.h>

namespace {

constexpr uint32_t kVlanTag = 4;
constexpr uint32_t kPppoeSession = 6;
constexpr uint16_t kEtherQinQOld = 0x9100;
constexpr uint16_t kEtherPppoe = 0x8864;

ENetworkProtocol FromEtherType(uint16_t nType) {
    if (nType == kEtherIPv4) {
        return ENetworkProtocol::IPv4;
    }
    if (nType == kEtherIPv6) {
        return ENetworkProtocol::IPv6;
    }
    return ENetworkProtocol::Other;
}

ENetworkProtocol FromPppProtocol(uint16_t nProtocol) {
    if (nProtocol == kPppIPv4) {
        return ENetworkProtocol::IPv4;
    }
    if (nProtocol == kPppIPv6) {
        return ENetworkProtocol::IPv6;
    }
    return ENetworkProtocol::Other;
}

ENetworkProtocol FromVersionNibble(const uint8_t* pData, uint32_t nCapLen) {
    if (nCapLen < 1) {
        return ENetworkProtocol::Other;
    }
    switch (pData[0] >> 4) {
    case 4:
        return ENetworkProtocol::IPv4;
    case 6:
        return ENetworkProtocol::IPv6;
    default:
        return ENetworkProtocol::Other;
    }
}

// BSD-style loopback header: the socket family, in host or network byte order.
ENetworkProtocol FromFamily(uint32_t nFamily) {
    switch (nFamily) {
    case 2:
        return ENetworkProtocol::IPv4;
    case 10: // Linux
    case 24: // NetBSD, OpenBSD
    case 28: // FreeBSD
    case 30: // macOS
        return ENetworkProtocol::IPv6;
    default:
        return ENetworkProtocol::Other;
    }
}

LinkVerdict ParseEthernet(const uint8_t* pData, uint32_t nCapLen) {
    uint32_t nOffset = kEthernetHeader;
    if (nCapLen < nOffset) {
        return {nOffset, ENetworkProtocol::Other};
    }
    uint16_t nType = ReadBig16(pData + nOffset - 2);
    while (nType == kEtherVlan || nType == kEtherQinQ || nType == kEtherQinQOld) {
        nOffset += kVlanTag;
        if (nCapLen < nOffset) {
            return {nOffset, ENetworkProtocol::Other};
        }
        nType = ReadBig16(pData + nOffset - 2);
    }
    if (nType == kEtherPppoe) {
        // PPPoE session header, then the PPP protocol field.
        nOffset += kPppoeSession + 2;
        if (nCapLen < nOffset) {
            return {nOffset, ENetworkProtocol::Other};
        }
        return {nOffset, FromPppProtocol(ReadBig16(pData + nOffset - 2))};
    }
    return {nOffset, FromEtherType(nType)};
}

LinkVerdict ParsePpp(const uint8_t* pData, uint32_t nCapLen) {
    // Address 0xFF and control 0x03 may be present or compressed away.
    uint32_t nOffset = 0;
    if (nCapLen >= 2 && pData[0] == 0xFF && pData[1] == 0x03) {
        nOffset = 2;
    }
    if (nCapLen < nOffset + 2) {
        return {nOffset + 2, ENetworkProtocol::Other};
    }
    return {nOffset + 2, FromPppProtocol(ReadBig16(pData + nOffset))};
}

} // namespace

LinkVerdict ParseLinkHeader(int nLinkType, const uint8_t* pData, uint32_t nCapLen) {
    static_assert(DLT_EN10MB == 1);
    if (const ENetworkProtocol eProtocol = ParseCommonLinkHeader(nLinkType, pData, nCapLen);
        eProtocol != ENetworkProtocol::Other) {
        return {kEthernetHeader, eProtocol};
    }
    switch (nLinkType) {
    case DLT_EN10MB:
        return ParseEthernet(pData, nCapLen);
    case DLT_RAW:
    case kLinkTypeRaw:
        return {0, FromVersionNibble(pData, nCapLen)};
    case DLT_IPV4:
        return {0, ENetworkProtocol::IPv4};
    case DLT_IPV6:
        return {0, ENetworkProtocol::IPv6};
    case DLT_LINUX_SLL:
        return {16, nCapLen >= 16 ? FromEtherType(ReadBig16(pData + 14)) : ENetworkProtocol::Other};
    case DLT_LINUX_SLL2:
        return {20, nCapLen >= 2 ? FromEtherType(ReadBig16(pData)) : ENetworkProtocol::Other};
    case DLT_NULL:
    case DLT_LOOP: {
        if (nCapLen < 4) {
            return {4, ENetworkProtocol::Other};
        }
        const uint32_t nBig = (uint32_t{pData[0]} << 24) | (uint32_t{pData[1]} << 16) |
                              (uint32_t{pData[2]} << 8) | pData[3];
        const uint32_t nLittle = (uint32_t{pData[3]} << 24) | (uint32_t{pData[2]} << 16) |
                                 (uint32_t{pData[1]} << 8) | pData[0];
        // The family is small in whichever order it was written.
        return {4, FromFamily(nBig < 256 ? nBig : nLittle)};
    }
    case DLT_PPP:
    case DLT_PPP_SERIAL:
        return ParsePpp(pData, nCapLen);
    case DLT_PPP_ETHER: {
        constexpr uint32_t nOffset = kPppoeSession + 2;
        if (nCapLen < nOffset) {
            return {nOffset, ENetworkProtocol::Other};
        }
        return {nOffset, FromPppProtocol(ReadBig16(pData + kPppoeSession))};
    }
    default:
        return {kEthernetHeader, ENetworkProtocol::Other};
    }
}
