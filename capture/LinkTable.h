#pragma once

// The host's network devices as rtnetlink describes them: what libpcap's device list lacks,
// namely each device's master (bridge, bond, team) and kind. The meter skips ports of aggregating
// masters, whose packets the master shows again, so that each packet is counted once.

#include "AdapterListener.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One device of an RTM_GETLINK dump.
struct LinkRecord {
    int nIndex = 0;
    std::string strName;          // IFLA_IFNAME
    unsigned nFlags = 0;          // ifi_flags: IFF_UP, IFF_LOOPBACK, ...
    unsigned short nType = 0;     // ifi_type: ARPHRD_*
    int nMasterIndex = 0;         // IFLA_MASTER, 0 without a master
    std::string strKind;          // IFLA_INFO_KIND ("veth", "bridge", ...); empty for hardware
    bool bWireless = false;       // never set by the parser: CLinkTable asks sysfs
    unsigned nCarrierChanges = 0; // IFLA_CARRIER_CHANGES: grows with every carrier flip
    int nLinkIndex = 0;          // IFLA_LINK: the device it is stacked on or sends through; 0: none
    bool bLinkElsewhere = false; // IFLA_LINK_NETNSID: nLinkIndex is of another namespace
    int nVxlanLink = 0;          // IFLA_VXLAN_LINK of a VXLAN device: where its packets go out
    // A VXLAN or Geneve device's UDP port and unicast peer (IFLA_VXLAN_PORT, IFLA_VXLAN_GROUP,
    // IFLA_GENEVE_PORT, IFLA_GENEVE_REMOTE and their IPv6 forms): how its outer packets are told.
    OuterFlow outer = {};
};

// Reads one received buffer of an RTM_GETLINK dump and appends a record for each RTM_NEWLINK
// message to vecLinks; other message types are passed over. Returns true once NLMSG_DONE (or an
// acknowledgement) ends the dump, false when more buffers are to come. Pure: reads at most
// nLength bytes. Errors end parsing with an exception; the records read before stay appended:
// - CZarnException(errno) for NLMSG_ERROR, or an NLMSG_DONE that carries the kernel's error;
// - CZarnException(EAGAIN) when the kernel marks the dump interrupted (NLM_F_DUMP_INTR: devices
//   changed meanwhile, so the records may be inconsistent; dump again);
// - CZarnException(EBADMSG) when a message length does not fit the buffer.
// An attribute whose length lies ends the reading of its message only: the record keeps what
// came before it.
bool ParseLinkMessages(const uint8_t* pBuffer, size_t nLength, std::vector<LinkRecord>& vecLinks);

// Whether the device is a kernel tunnel (VXLAN, Geneve, GRE, IP-in-IP, SIT, IPv6 tunnels,
// WireGuard, IPsec's xfrm and VTI devices): the kernel itself wraps its packets into outer
// packets of this host that leave through another device. Pure.
bool IsKernelTunnel(const LinkRecord& link);

// How a device is shown: "Ethernet", "Wi-Fi", "tunnel", "bridge", "VLAN", "virtual" or
// "loopback". Pure.
const char* DescribeKind(const LinkRecord& link, bool bWireless);

// The devices of the calling thread's network namespace at one moment.
class CLinkTable {
public:
    // Dumps the links over a fresh NETLINK_ROUTE socket and asks sysfs which are wireless.
    // Throws CZarnException(errno) on socket errors, or as ParseLinkMessages does; a dump the
    // kernel keeps interrupting (devices changing all the time) ends in CZarnException(EAGAIN).
    CLinkTable();
    // Takes records as they are, for callers that parsed them themselves.
    explicit CLinkTable(std::vector<LinkRecord> vecLinks) : m_vecLinks(std::move(vecLinks)) {}

    const LinkRecord* Find(const char* szName) const;
    const LinkRecord* FindIndex(int nIndex) const;
    const std::vector<LinkRecord>& GetAll() const { return m_vecLinks; }

    // Whether the device is a port of a bridge, bond, team or Open vSwitch datapath: the host's
    // own packets on it pass the master as well (for Open vSwitch, the switch's internal port),
    // so counting the port too would count them twice. A master missing from the table (gone
    // since the dump) counts as none: better counted twice than not at all.
    bool IsAggregatedPort(const LinkRecord& link) const;

    // The lowest device of this namespace that a stacked device (VLAN, macvlan, macvtap, ipvlan,
    // ipvtap) is stacked on, through any stack of them: every frame of the stacked device
    // crosses it too, and its capture shows them. Null for any other device, and for one whose
    // lower device is in another namespace, missing from the table or part of a loop.
    const LinkRecord* FindLowest(const LinkRecord& link) const;

    // The device a kernel tunnel is bound to send its outer packets through (IFLA_LINK of IP
    // tunnels, IFLA_VXLAN_LINK), when it is bound to one of this namespace. Null otherwise: the
    // outer packets then leave through whatever device routes them to the tunnel's peer.
    const LinkRecord* FindCarrier(const LinkRecord& link) const;

private:
    std::vector<LinkRecord> m_vecLinks;
};
