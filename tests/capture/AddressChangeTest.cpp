#include "AddressChange.h"

#include <cstring>
#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <memory>
#include <random>
#include <vector>

namespace {

using Buffer = std::vector<uint8_t>;

struct Attribute {
    uint16_t nType;
    Buffer payload;
};

// One rtnetlink message as the kernel lays it out: header, family record, aligned attributes.
Buffer Message(uint16_t nType, const std::vector<Attribute>& attributes = {}) {
    const bool bLink = nType == RTM_NEWLINK || nType == RTM_DELLINK;
    const size_t nBody = bLink ? sizeof(ifinfomsg) : sizeof(ifaddrmsg);
    Buffer message(NLMSG_SPACE(nBody), 0);
    for (const Attribute& attribute : attributes) {
        rtattr header{static_cast<unsigned short>(RTA_LENGTH(attribute.payload.size())),
                      attribute.nType};
        const size_t nAt = message.size();
        message.resize(nAt + RTA_SPACE(attribute.payload.size()), 0);
        std::memcpy(message.data() + nAt, &header, sizeof header);
        std::memcpy(message.data() + nAt + RTA_LENGTH(0), attribute.payload.data(),
                    attribute.payload.size());
    }
    nlmsghdr header{};
    header.nlmsg_len = static_cast<uint32_t>(message.size());
    header.nlmsg_type = nType;
    std::memcpy(message.data(), &header, sizeof header);
    return message;
}

Buffer Cat(std::initializer_list<Buffer> parts) {
    Buffer all;
    for (const Buffer& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Calls with exactly nLength bytes on the heap, so that a sanitizer sees any read beyond.
bool Check(const Buffer& buffer, size_t nLength) {
    auto pCopy = std::make_unique<uint8_t[]>(nLength);
    if (nLength > 0) {
        std::memcpy(pCopy.get(), buffer.data(), std::min(nLength, buffer.size()));
    }
    return IsAddressChange(pCopy.get(), nLength);
}
bool Check(const Buffer& buffer) {
    return Check(buffer, buffer.size());
}

const Attribute kName{IFLA_IFNAME, {'w', 'l', 'a', 'n', '0', 0}};
const Attribute kWireless{IFLA_WIRELESS, Buffer(12, 0x5A)};
const Attribute kMtu{IFLA_MTU, {0xDC, 0x05, 0, 0}};

TEST(IsAddressChange, MessageKinds) {
    const struct {
        const char* szName;
        Buffer buffer;
        bool bChange;
    } cases[] = {
        {"new address", Message(RTM_NEWADDR), true},
        {"deleted address", Message(RTM_DELADDR), true},
        {"new link", Message(RTM_NEWLINK, {kName, kMtu}), true},
        {"deleted link", Message(RTM_DELLINK, {kName}), true},
        {"link without attributes", Message(RTM_NEWLINK), true},
        {"wireless event", Message(RTM_NEWLINK, {kName, kWireless}), false},
        {"wireless attribute first", Message(RTM_NEWLINK, {kWireless, kMtu}), false},
        {"route", Message(RTM_NEWROUTE), false},
        {"done", Message(NLMSG_DONE), false},
        {"empty buffer", {}, false},
        {"wireless then route", Cat({Message(RTM_NEWLINK, {kWireless}), Message(RTM_NEWROUTE)}),
         false},
        {"wireless then address",
         Cat({Message(RTM_NEWLINK, {kName, kWireless}), Message(RTM_NEWADDR)}), true},
        {"route then link", Cat({Message(RTM_DELROUTE), Message(RTM_NEWLINK, {kMtu})}), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Check(c.buffer), c.bChange) << c.szName;
    }
}

TEST(IsAddressChange, TruncatedAndGarbageBuffersAreSafe) {
    const Buffer stream = Cat(
        {Message(RTM_NEWLINK, {kName, kWireless}), Message(RTM_NEWROUTE), Message(RTM_NEWADDR)});
    for (size_t nLength = 0; nLength <= stream.size(); ++nLength) {
        const bool bChange = Check(stream, nLength);
        if (nLength < sizeof(nlmsghdr)) {
            EXPECT_FALSE(bChange) << nLength; // not even one header
        }
    }

    // A zero length or a length beyond the buffer must not loop or read on.
    Buffer zeroLength = Message(RTM_NEWROUTE);
    std::memset(zeroLength.data(), 0, sizeof(uint32_t));
    Check(zeroLength);
    Buffer tooLong = Message(RTM_NEWROUTE);
    const uint32_t nHuge = 0xFFFFFFF0u;
    std::memcpy(tooLong.data(), &nHuge, sizeof nHuge);
    Check(tooLong);
    Buffer badAttribute = Message(RTM_NEWLINK, {kWireless});
    badAttribute[NLMSG_SPACE(sizeof(ifinfomsg))] = 0xFF; // attribute longer than its message
    Check(badAttribute);

    std::mt19937 random(1234);
    for (int i = 0; i < 2000; ++i) {
        Buffer garbage(random() % 96);
        for (uint8_t& byte : garbage) {
            byte = static_cast<uint8_t>(random());
        }
        if (garbage.size() >= sizeof(nlmsghdr) && i % 2 == 0) {
            // Plausible lengths reach the attribute walk more often than random ones.
            const uint32_t nLength = static_cast<uint32_t>(garbage.size() - random() % 4);
            std::memcpy(garbage.data(), &nLength, sizeof nLength);
            const uint16_t nType = i % 4 == 0 ? RTM_NEWLINK : RTM_NEWROUTE;
            std::memcpy(garbage.data() + 4, &nType, sizeof nType);
        }
        Check(garbage);
    }
}

} // namespace
