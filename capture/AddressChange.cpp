#include "AddressChange.h"

#include <cstring>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

namespace {

// A link message that only carries wireless news: its attributes include IFLA_WIRELESS.
bool IsWirelessEvent(const uint8_t* pMessage, size_t nLength) {
    const size_t nStart = NLMSG_LENGTH(sizeof(ifinfomsg));
    if (nLength < nStart) {
        return false;
    }
    size_t nOffset = NLMSG_ALIGN(nStart);
    while (nOffset + sizeof(rtattr) <= nLength) {
        rtattr attribute;
        std::memcpy(&attribute, pMessage + nOffset, sizeof attribute);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > nLength - nOffset) {
            return false;
        }
        if (attribute.rta_type == IFLA_WIRELESS) {
            return true;
        }
        nOffset += RTA_ALIGN(attribute.rta_len);
    }
    return false;
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
    size_t nOffset = 0;
    while (nOffset + sizeof(nlmsghdr) <= nLength) {
        nlmsghdr header;
        std::memcpy(&header, pBuffer + nOffset, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > nLength - nOffset) {
            return true; // a malformed buffer is no reason to miss a change
        }
        switch (header.nlmsg_type) {
        case RTM_NEWADDR:
        case RTM_DELADDR:
        case RTM_DELLINK:
            return true;
        case RTM_NEWLINK:
            if (!IsWirelessEvent(pBuffer + nOffset, header.nlmsg_len) &&
                !IsPromiscuityOnly(pBuffer + nOffset, header.nlmsg_len)) {
                return true;
            }
            break;
        default:
            break;
        }
        nOffset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return false;
}
