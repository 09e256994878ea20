#include "AddressChange.h"

#include "Netlink.h"

#include <linux/if_link.h>
#include <net/if.h>

namespace {

// A link message that only carries wireless news: its attributes include IFLA_WIRELESS.
bool IsWirelessEvent(const uint8_t* pMessage, size_t nLength) {
    bool bWireless = false;
    ForEachMessageAttribute(pMessage, nLength, sizeof(ifinfomsg),
                            [&](unsigned nType, const uint8_t*, size_t) {
                                bWireless = nType == IFLA_WIRELESS;
                                return !bWireless;
                            });
    return bWireless;
}

// A link message that only says the promiscuous flag flipped, as every capture that opens or
// closes a device in promiscuous mode causes.
bool IsPromiscuityOnly(const uint8_t* pMessage, size_t nLength) {
    if (nLength < NLMSG_LENGTH(sizeof(ifinfomsg))) {
        return false;
    }
    ifinfomsg info;
    std::memcpy(&info, pMessage + NLMSG_HDRLEN, sizeof info);
    return info.ifi_change == IFF_PROMISC;
}

} // namespace

bool IsAddressChange(const uint8_t* pBuffer, size_t nLength) {
    bool bChange = false;
    const ENetlinkWalk eWalk = ForEachNetlinkMessage(
        pBuffer, nLength, [&](const nlmsghdr& header, const uint8_t* pMessage) {
            switch (header.nlmsg_type) {
            case RTM_NEWADDR:
            case RTM_DELADDR:
            case RTM_DELLINK:
                bChange = true;
                break;
            case RTM_NEWLINK:
                bChange = !IsWirelessEvent(pMessage, header.nlmsg_len) &&
                          !IsPromiscuityOnly(pMessage, header.nlmsg_len);
                break;
            default:
                break;
            }
            return !bChange;
        });
    // A malformed message is no reason to miss a change; bytes too few for a header hold nothing.
    return bChange || eWalk == ENetlinkWalk::Malformed;
}
