#pragma once

#include <cstdint>
#include <optional>

// The longest link header read in full: Ethernet with eight stacked VLAN tags and a PPPoE
// session (Linux cooked headers, at 20 bytes, are shorter). A longer one still parses; its
// addresses may then lie beyond a capture cut to this bound plus the network header.
constexpr uint32_t kLinkHeaderBound = 14 + 8 * 4 + 8;

constexpr uint32_t kEthernetHeader = 14;
constexpr uint16_t kEtherIPv4 = 0x0800;
constexpr uint16_t kEtherIPv6 = 0x86DD;

// What a captured frame carries after its link header.
enum class ENetworkProtocol : uint8_t { Other, IPv4, IPv6 };

struct LinkVerdict {
    // Bytes in front of the network-layer header.
    uint32_t nHeaderLength;
    ENetworkProtocol eProtocol;
};

// Reads the link header of one captured frame of the given libpcap link type (DLT_*). Pure: reads
// at most nCapLen bytes of pData and nothing else. Ethernet VLAN tags (802.1Q, 802.1ad) and PPPoE
// sessions are stepped over; a link type it does not know is taken as 14 bytes of unknown content.
LinkVerdict ParseLinkHeader(int nLinkType, const uint8_t* pData, uint32_t nCapLen);

// ParseLinkHeader for the frame nearly every packet is, untagged Ethernet carrying IP, in line and
// without a call, since every captured packet passes here; nothing for every other frame.
inline std::optional<LinkVerdict> ParseCommonLinkHeader(int nLinkType, const uint8_t* pData,
                                                        uint32_t nCapLen) {
    constexpr int kEthernet = 1; // DLT_EN10MB
    if (nLinkType != kEthernet || nCapLen < kEthernetHeader) {
        return std::nullopt;
    }
    const unsigned nType = (unsigned{pData[12]} << 8) | pData[13];
    if (nType == kEtherIPv4) {
        return LinkVerdict{kEthernetHeader, ENetworkProtocol::IPv4};
    }
    if (nType == kEtherIPv6) {
        return LinkVerdict{kEthernetHeader, ENetworkProtocol::IPv6};
    }
    return std::nullopt;
}
