#include "LinkTable.h"

#include "Netlink.h"
#include "ZarnException.h"
#include "ZarnFd.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Dumps the kernel marked interrupted before giving up: each retry only races a device change.
constexpr int kDumpAttempts = 5;

// One attribute of a UDP tunnel's data: its port (network order) or its peer, IPv4 or IPv6. A
// multicast group is no peer: the outer packets come from every member's unicast address.
void ReadOuter(unsigned nType, const uint8_t* pPayload, size_t nPayload, unsigned nPortType,
               unsigned nRemoteType, unsigned nRemote6Type, OuterFlow& outer) {
    if (nType == nPortType && nPayload >= 2) {
        outer.nPort = static_cast<uint16_t>(pPayload[0] << 8 | pPayload[1]);
    } else if (nType == nRemoteType && nPayload >= 4 && (pPayload[0] & 0xF0) != 0xE0 &&
               std::any_of(pPayload, pPayload + 4, [](uint8_t b) { return b != 0; })) {
        outer.nRemoteFamily = 4;
        std::memcpy(outer.aRemote.data(), pPayload, 4);
    } else if (nType == nRemote6Type && nPayload >= 16 && pPayload[0] != 0xFF &&
               std::any_of(pPayload, pPayload + 16, [](uint8_t b) { return b != 0; })) {
        outer.nRemoteFamily = 6;
        std::memcpy(outer.aRemote.data(), pPayload, 16);
    }
}

// Fills link from the attributes of one RTM_NEWLINK message; false at a lying attribute.
bool ReadLinkAttributes(const uint8_t* pMessage, size_t nLength, LinkRecord& link) {
    return ForEachMessageAttribute(
        pMessage, nLength, sizeof(ifinfomsg),
        [&](unsigned nType, const uint8_t* pPayload, size_t nPayload) {
            switch (nType) {
            case IFLA_IFNAME:
                link.strName = ReadStringAttribute(pPayload, nPayload);
                return true;
            case IFLA_MASTER: {
                uint32_t nMaster = 0;
                const bool bRead = ReadAttribute(pPayload, nPayload, nMaster);
                link.nMasterIndex = static_cast<int>(nMaster);
                return bRead;
            }
            case IFLA_LINK: {
                uint32_t nLink = 0;
                const bool bRead = ReadAttribute(pPayload, nPayload, nLink);
                link.nLinkIndex = static_cast<int>(nLink);
                return bRead;
            }
            case IFLA_LINK_NETNSID:
                link.bLinkElsewhere = true;
                return true;
            case IFLA_CARRIER_CHANGES:
                return ReadAttribute(pPayload, nPayload, link.nCarrierChanges);
            case IFLA_LINKINFO: {
                // The kind may come after the data that only the kind explains.
                uint32_t nVxlanLink = 0;
                const uint8_t* pData = nullptr;
                size_t nData = 0;
                const bool bRead =
                    ForEachAttribute(pPayload, nPayload,
                                     [&](unsigned nInfo, const uint8_t* pInfo, size_t nInfoLength) {
                                         if (nInfo == IFLA_INFO_KIND) {
                                             link.strKind = ReadStringAttribute(pInfo, nInfoLength);
                                         } else if (nInfo == IFLA_INFO_DATA) {
                                             pData = pInfo;
                                             nData = nInfoLength;
                                         }
                                         return true;
                                     });
                if (pData != nullptr && link.strKind == "vxlan") {
                    ForEachAttribute(pData, nData, [&](unsigned nType, const uint8_t* p, size_t n) {
                        if (nType == IFLA_VXLAN_LINK) {
                            return ReadAttribute(p, n, nVxlanLink);
                        }
                        ReadOuter(nType, p, n, IFLA_VXLAN_PORT, IFLA_VXLAN_GROUP, IFLA_VXLAN_GROUP6,
                                  link.outer);
                        return true;
                    });
                    link.nVxlanLink = static_cast<int>(nVxlanLink);
                } else if (pData != nullptr && link.strKind == "geneve") {
                    ForEachAttribute(pData, nData, [&](unsigned nType, const uint8_t* p, size_t n) {
                        ReadOuter(nType, p, n, IFLA_GENEVE_PORT, IFLA_GENEVE_REMOTE,
                                  IFLA_GENEVE_REMOTE6, link.outer);
                        return true;
                    });
                }
                return bRead;
            }
            default:
                return true;
            }
        });
}

// The errno a kernel error field carries: it sends it negated, so a value that no negated errno
// can be is malformed.
int32_t ReadErrno(const uint8_t* pPayload) {
    int32_t nError = 0;
    std::memcpy(&nError, pPayload, sizeof nError);
    if (nError == 0) {
        return 0;
    }
    return nError < 0 && nError > INT32_MIN ? -nError : EBADMSG;
}

} // namespace

bool ParseLinkMessages(const uint8_t* pBuffer, size_t nLength, std::vector<LinkRecord>& vecLinks) {
    bool bDone = false;
    const ENetlinkWalk eWalk = ForEachNetlinkMessage(
        pBuffer, nLength, [&](const nlmsghdr& header, const uint8_t* pMessage) {
            if ((header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
                throw CZarnException(EAGAIN);
            }
            const uint8_t* pPayload = pMessage + NLMSG_HDRLEN;
            const size_t nPayload = header.nlmsg_len - NLMSG_HDRLEN;
            switch (header.nlmsg_type) {
            case NLMSG_DONE:
                // Carries the dump's own error when one stopped it half-way.
                if (nPayload >= sizeof(int32_t) && ReadErrno(pPayload) > 0) {
                    throw CZarnException(ReadErrno(pPayload));
                }
                bDone = true;
                return false;
            case NLMSG_ERROR:
                if (nPayload < sizeof(int32_t)) {
                    throw CZarnException(EBADMSG);
                }
                if (ReadErrno(pPayload) != 0) {
                    throw CZarnException(ReadErrno(pPayload));
                }
                bDone = true; // an acknowledgement: nothing follows it
                return false;
            case RTM_NEWLINK: {
                ifinfomsg info;
                if (nPayload < sizeof info) {
                    return true; // no device to speak of
                }
                std::memcpy(&info, pPayload, sizeof info);
                LinkRecord link;
                link.nIndex = info.ifi_index;
                link.nFlags = info.ifi_flags;
                link.nType = info.ifi_type;
                ReadLinkAttributes(pMessage, header.nlmsg_len, link);
                vecLinks.push_back(std::move(link));
                return true;
            }
            default:
                return true;
            }
        });
    if (eWalk != ENetlinkWalk::Whole) {
        throw CZarnException(EBADMSG);
    }
    return bDone;
}

bool IsKernelTunnel(const LinkRecord& link) {
    static constexpr std::string_view kTunnels[] = {
        "vxlan",     "geneve", "bareudp", "gre",    "gretap",    "ip6gre", "ip6gretap", "erspan",
        "ip6erspan", "ipip",   "sit",     "ip6tnl", "wireguard", "xfrm",   "vti",       "vti6"};
    return std::ranges::find(kTunnels, std::string_view(link.strKind)) != std::end(kTunnels);
}

const char* DescribeKind(const LinkRecord& link, bool bWireless) {
    const std::string_view kind = link.strKind;
    const auto isOneOf = [&](std::initializer_list<std::string_view> kinds) {
        for (const std::string_view candidate : kinds) {
            if (kind == candidate) {
                return true;
            }
        }
        return false;
    };
    if ((link.nFlags & IFF_LOOPBACK) != 0 || link.nType == ARPHRD_LOOPBACK) {
        return "loopback";
    }
    if (bWireless) {
        return "Wi-Fi";
    }
    // An Open vSwitch internal port is the host's way onto the switch, as a bridge device is.
    if (isOneOf({"bridge", "openvswitch"})) {
        return "bridge";
    }
    if (kind == "vlan") {
        return "VLAN";
    }
    // By hardware type first: tun devices, IP-in-IP and GRE tunnels, point-to-point links carry
    // no Ethernet header. A tap device (kind "tun" too) does, and is a virtual NIC, not a tunnel.
    switch (link.nType) {
    case ARPHRD_NONE:
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case ARPHRD_IP6GRE:
    case ARPHRD_PPP:
        return "tunnel";
    default:
        break;
    }
    // GRE tunnels that carry Ethernet frames.
    if (isOneOf({"gretap", "ip6gretap", "erspan", "ip6erspan"})) {
        return "tunnel";
    }
    // Any other software device: veth, dummy, macvlan, ipvlan, vxlan, bond, team, tap, ...
    // (vxlan and geneve are overlays of container and VM networks: shown as virtual).
    if (!kind.empty()) {
        return "virtual";
    }
    // No kind: a hardware device, shown as wired whatever its link layer.
    return "Ethernet";
}

namespace {

ssize_t RecvRetrying(int hSocket, void* pBuffer, size_t nSize, int nFlags, sockaddr_nl& sender) {
    ssize_t nReceived = 0;
    do {
        socklen_t nAddressLength = sizeof sender;
        nReceived = ::recvfrom(hSocket, pBuffer, nSize, nFlags,
                               reinterpret_cast<sockaddr*>(&sender), &nAddressLength);
    } while (nReceived < 0 && errno == EINTR);
    if (nReceived < 0) {
        throw CZarnException(errno);
    }
    return nReceived;
}

// One RTM_GETLINK dump over a socket of its own: an abandoned dump dies with its socket, and
// no reply to an earlier request can mix in.
std::vector<LinkRecord> DumpLinks() {
    CZarnFd hSocket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!hSocket.IsOpen()) {
        throw CZarnException(errno);
    }
    struct {
        nlmsghdr header;
        ifinfomsg info;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.info.ifi_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t nSent = 0;
    do {
        nSent = ::sendto(hSocket.Get(), &request, sizeof request, 0,
                         reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    } while (nSent < 0 && errno == EINTR);
    if (nSent != static_cast<ssize_t>(sizeof request)) {
        throw CZarnException(nSent < 0 ? errno : EIO);
    }

    std::vector<LinkRecord> vecLinks;
    std::vector<uint8_t> buffer(32768);
    for (bool bDone = false; !bDone;) {
        // Peeked first, so that a datagram larger than the buffer is never cut short.
        sockaddr_nl sender{};
        const size_t nSize = static_cast<size_t>(RecvRetrying(
            hSocket.Get(), buffer.data(), buffer.size(), MSG_PEEK | MSG_TRUNC, sender));
        if (nSize > buffer.size()) {
            buffer.resize(nSize);
        }
        const size_t nReceived = static_cast<size_t>(
            RecvRetrying(hSocket.Get(), buffer.data(), buffer.size(), 0, sender));
        // Only the kernel answers a dump; another process may send to our port.
        if (sender.nl_pid == 0) {
            bDone = ParseLinkMessages(buffer.data(), nReceived, vecLinks);
        }
    }
    return vecLinks;
}

// sysfs shows a wireless directory (older drivers) or a phy80211 link (cfg80211 drivers) for
// Wi-Fi devices only. It shows the namespace it was mounted in, which is the process's own
// unless the process moved to another without mounting sysfs anew.
bool IsWireless(const std::string& strName) {
    const std::string strBase = "/sys/class/net/" + strName + "/";
    return ::access((strBase + "wireless").c_str(), F_OK) == 0 ||
           ::access((strBase + "phy80211").c_str(), F_OK) == 0;
}

} // namespace

CLinkTable::CLinkTable() {
    for (int nAttempt = 1;; ++nAttempt) {
        try {
            m_vecLinks = DumpLinks();
            break;
        } catch (const CZarnException& e) {
            if (e.GetCode() != EAGAIN || e.HasDescription() || nAttempt == kDumpAttempts) {
                throw;
            }
        }
    }
    for (LinkRecord& link : m_vecLinks) {
        link.bWireless = IsWireless(link.strName);
    }
}

const LinkRecord* CLinkTable::Find(const char* szName) const {
    if (szName == nullptr) {
        return nullptr;
    }
    for (const LinkRecord& link : m_vecLinks) {
        if (link.strName == szName) {
            return &link;
        }
    }
    return nullptr;
}

const LinkRecord* CLinkTable::FindIndex(int nIndex) const {
    for (const LinkRecord& link : m_vecLinks) {
        if (link.nIndex == nIndex) {
            return &link;
        }
    }
    return nullptr;
}

bool CLinkTable::IsAggregatedPort(const LinkRecord& link) const {
    if (link.nMasterIndex == 0) {
        return false;
    }
    const LinkRecord* pMaster = FindIndex(link.nMasterIndex);
    if (pMaster == nullptr) {
        return false;
    }
    // Not a VRF: its ports are the devices to count; whether the VRF device itself, which shows
    // their packets again, is skipped is a choice about that device, not about its ports.
    const std::string& strKind = pMaster->strKind;
    return strKind == "bridge" || strKind == "bond" || strKind == "team" ||
           strKind == "openvswitch";
}

const LinkRecord* CLinkTable::FindLowest(const LinkRecord& link) const {
    const auto isStacked = [](const LinkRecord& device) {
        const std::string& strKind = device.strKind;
        return device.nLinkIndex != 0 && device.nLinkIndex != device.nIndex &&
               !device.bLinkElsewhere &&
               (strKind == "vlan" || strKind == "macvlan" || strKind == "macvtap" ||
                strKind == "ipvlan" || strKind == "ipvtap");
    };
    const LinkRecord* pLowest = &link;
    // More steps than the table has devices can only be a loop.
    for (size_t nSteps = 0; isStacked(*pLowest); ++nSteps) {
        pLowest = FindIndex(pLowest->nLinkIndex);
        if (pLowest == nullptr || nSteps == m_vecLinks.size()) {
            return nullptr;
        }
    }
    return pLowest == &link ? nullptr : pLowest;
}

const LinkRecord* CLinkTable::FindCarrier(const LinkRecord& link) const {
    if (!IsKernelTunnel(link)) {
        return nullptr;
    }
    // An underlay in another namespace also says so for a VXLAN device.
    const int nCarrier = link.bLinkElsewhere       ? 0
                         : link.strKind == "vxlan" ? link.nVxlanLink
                                                   : link.nLinkIndex;
    return nCarrier != 0 && nCarrier != link.nIndex ? FindIndex(nCarrier) : nullptr;
}
