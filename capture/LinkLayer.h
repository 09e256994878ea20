#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// The longest link header read in full: Ethernet with eight stacked VLAN tags and a PPPoE
// session (Linux cooked headers, at 20 bytes, are shorter). A longer one still parses; its
// addresses may then lie beyond a capture cut to this bound plus the network header.
constexpr uint32_t kLinkHeaderBound = 14 + 8 * 4 + 8;

constexpr uint32_t kEthernetHeader = 14;
constexpr uint16_t kEtherIPv4 = 0x0800;
constexpr uint16_t kEtherIPv6 = 0x86DD;
constexpr uint16_t kEtherVlan = 0x8100;
constexpr uint16_t kEtherQinQ = 0x88A8;
constexpr uint16_t kPppIPv4 = 0x0021;
constexpr uint16_t kPppIPv6 = 0x0057;
constexpr int kLinkTypeRaw = 101; // LINKTYPE_RAW as some builds report it

// A 16-bit field in network byte order.
inline uint16_t ReadBig16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

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
// without a call, since every captured packet passes here: its network protocol after a 14-byte
// header. Other for every other frame, which ParseLinkHeader reads.
inline ENetworkProtocol ParseCommonLinkHeader(int nLinkType, const uint8_t* pData,
                                              uint32_t nCapLen) {
    constexpr int kEthernet = 1; // DLT_EN10MB
    if (nLinkType != kEthernet || nCapLen < kEthernetHeader) {
        return ENetworkProtocol::Other;
    }
    // The type as it lies in memory, compared with the constants in that order: no byte swap.
    constexpr auto InMemory = [](uint16_t nType) {
        return std::endian::native == std::endian::big
                   ? nType
                   : static_cast<uint16_t>((nType >> 8) | (nType << 8));
    };
    uint16_t nType;
    std::memcpy(&nType, pData + 12, sizeof nType);
    return nType == InMemory(kEtherIPv4)   ? ENetworkProtocol::IPv4
           : nType == InMemory(kEtherIPv6) ? ENetworkProtocol::IPv6
                                           : ENetworkProtocol::Other;
}
