#pragma once

#include "AdapterListener.h"

#include <cstdint>
#include <pcap/pcap.h>

// Whether libpcap's filter "tcp or udp" passes a frame of the given link type (DLT_*), as the
// kernel ran it on a live capture: so that one capture of every IP packet ("ip or ip6") can count
// apart what a capture with that filter would have counted. Pure: reads at most nCapLen bytes of
// pData. It reads what the compiled filter reads, at the same places: IPv4's protocol field (of
// every fragment), IPv6's next header or, after a fragment header only, that header's; a field
// beyond the capture fails, as the filter's load does. Only Ethernet differs from the filter run
// on the same bytes: one 802.1Q or 802.1ad tag is stepped over, since the kernel keeps a
// received tag (and an offloaded sent one) apart from the frame its filter reads, and libpcap puts
// it back into the bytes it delivers; a frame with more tags fails, as the kernel's filter fails
// it. A link type libpcap cannot compile the filter for fails.
bool PassesTcpOrUdp(int nLinkType, const uint8_t* pData, uint32_t nCapLen);

// The same for a delivered packet; untagged Ethernet with IPv4, nearly every packet, in line.
inline bool PassesTcpOrUdp(const PacketInfo& info) {
    constexpr int kEthernet = 1;                        // DLT_EN10MB
    constexpr uint32_t kProtocol = kEthernetHeader + 9; // IPv4's protocol field
    if (info.nLinkType == kEthernet && info.nLinkHeaderLength == kEthernetHeader &&
        info.eNetworkProtocol == ENetworkProtocol::IPv4) [[likely]] {
        return info.pHeader->caplen > kProtocol &&
               (info.pData[kProtocol] == 6 || info.pData[kProtocol] == 17);
    }
    return PassesTcpOrUdp(info.nLinkType, info.pData, info.pHeader->caplen);
}
