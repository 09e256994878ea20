#pragma once

#include <cstdint>

// The longest link header read in full: Ethernet with eight stacked VLAN tags and a PPPoE
// session (Linux cooked headers, at 20 bytes, are shorter). A longer one still parses; its
// addresses may then lie beyond a capture cut to this bound plus the network header.
constexpr uint32_t kLinkHeaderBound = 14 + 8 * 4 + 8;

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
