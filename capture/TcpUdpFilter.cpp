#include "TcpUdpFilter.h"

#include <cstring>
#include <pcap/dlt.h>

namespace {

constexpr uint8_t kTcp = 6, kUdp = 17, kIPv6Fragment = 44;
constexpr uint32_t kIPv4Protocol = 9, kIPv6NextHeader = 6, kIPv6Header = 40;
constexpr uint32_t kFamilyIPv4 = 2, kFamilyIPv6 = 10; // the filter's, as Linux numbers them

bool IsTcpOrUdp(uint8_t nProtocol) {
    return nProtocol == kTcp || nProtocol == kUdp;
}

bool PassesIPv4(const uint8_t* pData, uint32_t nCapLen, uint32_t nNetwork) {
    return nCapLen > nNetwork + kIPv4Protocol && IsTcpOrUdp(pData[nNetwork + kIPv4Protocol]);
}

bool PassesIPv6(const uint8_t* pData, uint32_t nCapLen, uint32_t nNetwork) {
    if (nCapLen <= nNetwork + kIPv6NextHeader) {
        return false;
    }
    const uint8_t nNext = pData[nNetwork + kIPv6NextHeader];
    if (IsTcpOrUdp(nNext)) {
        return true;
    }
    // The filter follows a fragment header, and no other extension header.
    return nNext == kIPv6Fragment && nCapLen > nNetwork + kIPv6Header &&
           IsTcpOrUdp(pData[nNetwork + kIPv6Header]);
}

// A link header that names its network protocol in a 16-bit big-endian field at nType.
bool PassesByType(const uint8_t* pData, uint32_t nCapLen, uint32_t nType, uint32_t nNetwork,
                  uint32_t nIPv4, uint32_t nIPv6) {
    if (nCapLen < nType + 2) {
        return false;
    }
    const uint16_t nValue = ReadBig16(pData + nType);
    return nValue == nIPv4   ? PassesIPv4(pData, nCapLen, nNetwork)
           : nValue == nIPv6 ? PassesIPv6(pData, nCapLen, nNetwork)
                             : false;
}

bool PassesEthernet(const uint8_t* pData, uint32_t nCapLen) {
    constexpr uint32_t kType = 12, kTag = 4;
    if (nCapLen < kType + 2) {
        return false;
    }
    const uint16_t nType = ReadBig16(pData + kType);
    const uint32_t nShift = nType == kEtherVlan || nType == kEtherQinQ ? kTag : 0;
    return PassesByType(pData, nCapLen, kType + nShift, kEthernetHeader + nShift, kEtherIPv4,
                        kEtherIPv6);
}

// A BSD-style loopback header: the family in 4 bytes, in host order (bBig false) or network
// order.
bool PassesFamily(const uint8_t* pData, uint32_t nCapLen, bool bBig) {
    constexpr uint32_t kNetwork = 4;
    if (nCapLen < kNetwork) {
        return false;
    }
    uint32_t nFamily;
    std::memcpy(&nFamily, pData, sizeof nFamily);
    if (bBig) {
        nFamily = (uint32_t{pData[0]} << 24) | (uint32_t{pData[1]} << 16) |
                  (uint32_t{pData[2]} << 8) | pData[3];
    }
    return nFamily == kFamilyIPv4   ? PassesIPv4(pData, nCapLen, kNetwork)
           : nFamily == kFamilyIPv6 ? PassesIPv6(pData, nCapLen, kNetwork)
                                    : false;
}

} // namespace

bool PassesTcpOrUdp(int nLinkType, const uint8_t* pData, uint32_t nCapLen) {
    switch (nLinkType) {
    case DLT_EN10MB:
        return PassesEthernet(pData, nCapLen);
    case DLT_LINUX_SLL:
        return PassesByType(pData, nCapLen, 14, 16, kEtherIPv4, kEtherIPv6);
    case DLT_LINUX_SLL2:
        return PassesByType(pData, nCapLen, 0, 20, kEtherIPv4, kEtherIPv6);
    case DLT_RAW:
    case kLinkTypeRaw:
        if (nCapLen < 1) {
            return false;
        }
        return (pData[0] >> 4) == 4   ? PassesIPv4(pData, nCapLen, 0)
               : (pData[0] >> 4) == 6 ? PassesIPv6(pData, nCapLen, 0)
                                      : false;
    case DLT_IPV4:
        return PassesIPv4(pData, nCapLen, 0);
    case DLT_IPV6:
        return PassesIPv6(pData, nCapLen, 0);
    case DLT_PPP:
    case DLT_PPP_SERIAL:
        // The filter reads the protocol after an address and a control byte, compressed or not.
        return PassesByType(pData, nCapLen, 2, 4, kPppIPv4, kPppIPv6);
    case DLT_PPP_ETHER:
        return PassesByType(pData, nCapLen, 6, 8, kPppIPv4, kPppIPv6);
    case DLT_NULL:
        return PassesFamily(pData, nCapLen, false);
    case DLT_LOOP:
        return PassesFamily(pData, nCapLen, true);
    default:
        return false;
    }
}
