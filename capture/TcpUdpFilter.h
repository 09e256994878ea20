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

// The same for a delivered packet.
inline bool PassesTcpOrUdp(const PacketInfo& info) {
    return PassesTcpOrUdp(info.nLinkType, info.pData, info.pHeader->caplen);
}

// In line and without a call, for nearly every packet: true for untagged Ethernet carrying IPv4
// or IPv6 that PassesTcpOrUdp passes by its first protocol field; false for every other packet,
// which PassesTcpOrUdp must judge.
inline bool IsCommonTcpOrUdp(const PacketInfo& info) {
    constexpr int kEthernet = 1; // DLT_EN10MB
    if (info.nLinkType != kEthernet || info.nLinkHeaderLength != kEthernetHeader) {
        return false;
    }
    // IPv4's protocol or IPv6's next header.
    const uint32_t nField =
        kEthernetHeader + (info.eNetworkProtocol == ENetworkProtocol::IPv4   ? 9
                           : info.eNetworkProtocol == ENetworkProtocol::IPv6 ? 6
                                                                             : 0);
    if (nField == kEthernetHeader || info.pHeader->caplen <= nField) {
        return false;
    }
    return info.pData[nField] == 6 || info.pData[nField] == 17;
}
