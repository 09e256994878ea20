#include "LinkTable.h"
#include "ZarnException.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <memory>
#include <tuple>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

template <class T> Bytes Raw(const T& value) {
    const auto* pbValue = reinterpret_cast<const uint8_t*>(&value);
    return Bytes(pbValue, pbValue + sizeof value);
}

Bytes Text(const char* szText) {
    return Bytes(szText, szText + std::strlen(szText) + 1);
}

// An attribute padded as the kernel pads every one, or cut at its length, as a sender may leave
// the last one.
Bytes Attribute(uint16_t nType, const Bytes& payload, bool bPadded = true) {
    Bytes bytes = Raw(rtattr{static_cast<uint16_t>(RTA_LENGTH(payload.size())), nType}) + payload;
    bytes.resize(bPadded ? RTA_ALIGN(bytes.size()) : bytes.size());
    return bytes;
}

// A message whose length field leaves out its trailing padding, as netlink allows.
Bytes Message(uint16_t nType, const Bytes& body, uint16_t nFlags = NLM_F_MULTI) {
    Bytes bytes = Raw(nlmsghdr{uint32_t(NLMSG_LENGTH(body.size())), nType, nFlags, 1, 0}) + body;
    bytes.resize(NLMSG_ALIGN(bytes.size()));
    return bytes;
}

Bytes Link(int nIndex, unsigned short nType, unsigned nFlags, const Bytes& attributes,
           uint16_t nMessageFlags = NLM_F_MULTI) {
    return Message(RTM_NEWLINK, Raw(ifinfomsg{0, 0, nType, nIndex, nFlags, 0}) + attributes,
                   nMessageFlags);
}

Bytes Done(int32_t nError = 0, uint16_t nFlags = NLM_F_MULTI) {
    return Message(NLMSG_DONE, Raw(nError), nFlags);
}

// Exactly nLength bytes on the heap, so that a sanitizer sees any read beyond. copy_n, not
// memcpy: an empty vector's data() may be null.
std::unique_ptr<uint8_t[]> OnHeap(const Bytes& bytes, size_t nLength) {
    auto pCopy = std::make_unique<uint8_t[]>(nLength);
    std::copy_n(bytes.begin(), std::min(nLength, bytes.size()), pCopy.get());
    return pCopy;
}

struct Outcome {
    bool bDone = false;
    int nError = 0; // the exception's code, 0 without one
    std::vector<LinkRecord> links;
    // Dump ended, error, records kept.
    auto Summary() const { return std::tuple(bDone, nError, links.size()); }
};

Outcome Parse(const Bytes& buffer, size_t nLength) {
    Outcome outcome;
    try {
        outcome.bDone = ParseLinkMessages(OnHeap(buffer, nLength).get(), nLength, outcome.links);
    } catch (const CZarnException& e) {
        EXPECT_FALSE(e.HasDescription());
        outcome.nError = e.GetCode();
    }
    return outcome;
}
Outcome Parse(const Bytes& buffer) {
    return Parse(buffer, buffer.size());
}

using Fields = std::tuple<int, std::string, unsigned, unsigned short, int, std::string>;
Fields FieldsOf(const LinkRecord& link) {
    return {link.nIndex, link.strName, link.nFlags, link.nType, link.nMasterIndex, link.strKind};
}

// Loopback; an unrelated message; a bridge port with its kind nested after other link
// information and a name without its zero; a bridge. The last two end unpadded.
const Bytes g_loopback = Link(1, ARPHRD_LOOPBACK, IFF_UP | IFF_LOOPBACK,
                              Attribute(IFLA_IFNAME, Text("lo")) + Attribute(IFLA_MTU, Raw(65536)));
const Bytes g_address = Message(RTM_NEWADDR, Bytes(24, 0x11));
const Bytes g_port = Link(
    7, ARPHRD_ETHER, IFF_UP,
    Attribute(IFLA_MTU, Raw(1500)) +
        Attribute(IFLA_LINKINFO | NLA_F_NESTED, Attribute(IFLA_INFO_DATA, Bytes(12, 0x22)) +
                                                    Attribute(IFLA_INFO_KIND, Text("veth"))) +
        Attribute(IFLA_MASTER, Raw(5)) + Attribute(IFLA_IFNAME, {'v', 'e', 't', 'h', '1'}, false));
const Bytes g_bridge = Link(5, ARPHRD_ETHER, 0,
                            Attribute(IFLA_LINKINFO, Attribute(IFLA_INFO_KIND, Text("bridge"))) +
                                Attribute(IFLA_IFNAME, Text("br10"), false));
const Bytes g_stream = g_loopback + g_address + g_port + g_bridge + Done();

const Fields g_expected[] = {
    {1, "lo", IFF_UP | IFF_LOOPBACK, ARPHRD_LOOPBACK, 0, ""},
    {7, "veth1", IFF_UP, ARPHRD_ETHER, 5, "veth"},
    {5, "br10", 0, ARPHRD_ETHER, 0, "bridge"},
};

TEST(ParseLinkMessages, ReadsEachLinkUntilDone) {
    // Bytes after DONE belong to nothing and are never read.
    const Outcome outcome = Parse(g_stream + Bytes(7, 0xEE));
    EXPECT_TRUE(outcome.bDone);
    EXPECT_EQ(outcome.nError, 0);
    ASSERT_EQ(outcome.links.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(FieldsOf(outcome.links[i]), g_expected[i]) << i;
        EXPECT_FALSE(outcome.links[i].bWireless);
    }
    // A message too short for its device record names no device; the next one still counts.
    EXPECT_EQ(Parse(Message(RTM_NEWLINK, Bytes(8, 0)) + g_bridge).Summary(),
              std::tuple(false, 0, 1u));
}

TEST(ParseLinkMessages, KernelErrorsAndInterruptedDumps) {
    const Bytes tail(16, 0); // the request an error or acknowledgement answers
    const uint16_t nInterrupted = NLM_F_MULTI | NLM_F_DUMP_INTR;
    const std::pair<Bytes, std::tuple<bool, int, size_t>> cases[] = {
        {Message(NLMSG_ERROR, Raw(-EPERM) + tail, 0), {false, EPERM, 0}},
        {g_loopback + Message(NLMSG_ERROR, Raw(0) + tail, 0), {true, 0, 1}},
        {g_loopback + Done(-ENOBUFS), {false, ENOBUFS, 1}},
        {g_loopback + Link(2, ARPHRD_ETHER, 0, {}, nInterrupted), {false, EAGAIN, 1}},
        {g_loopback + Done(0, nInterrupted), {false, EAGAIN, 1}},
        {Message(NLMSG_ERROR, Raw(uint16_t{1}), 0), {false, EBADMSG, 0}},
        {Message(NLMSG_ERROR, Raw(INT32_MIN) + tail, 0), {false, EBADMSG, 0}},
        {g_loopback + Done(5), {false, EBADMSG, 1}},
    };
    for (const auto& [buffer, expected] : cases) {
        EXPECT_EQ(Parse(buffer).Summary(), expected) << &buffer - &cases[0].first;
    }
}

TEST(ParseLinkMessages, EveryTruncationAndLyingLength) {
    // Where each message starts and how long its length field says it is.
    std::vector<std::pair<size_t, size_t>> messages;
    for (size_t nStart = 0; nStart < g_stream.size();) {
        nlmsghdr header;
        std::memcpy(&header, g_stream.data() + nStart, sizeof header);
        messages.emplace_back(nStart, header.nlmsg_len);
        nStart += NLMSG_ALIGN(header.nlmsg_len);
    }
    for (size_t nLength = 0; nLength <= g_stream.size(); ++nLength) {
        SCOPED_TRACE(nLength);
        // A cut between a message's end and its padding's end leaves whole messages; any other
        // cut, except before the first, lies about the message it cuts.
        size_t nWhole = 0, nLinks = 0;
        bool bClean = nLength == 0;
        for (const auto& [nStart, nMessage] : messages) {
            if (nStart + nMessage <= nLength) {
                ++nWhole;
                nLinks += nStart == messages[1].first || nStart >= messages.back().first ? 0 : 1;
                bClean = bClean || nLength <= NLMSG_ALIGN(nStart + nMessage);
            }
        }
        EXPECT_EQ(Parse(g_stream, nLength).Summary(),
                  std::tuple(nWhole == messages.size(), bClean ? 0 : EBADMSG, nLinks));
    }

    // Message lengths that lie (zero, short of a header, past the end, huge) end parsing; the
    // bridge port's record before stays.
    const size_t nPort = g_loopback.size() + g_address.size();
    for (const uint32_t nLie : {0u, 15u, uint32_t(g_stream.size() - nPort + 1), 0xFFFFFFFFu}) {
        Bytes lying = g_stream;
        std::memcpy(lying.data() + nPort, &nLie, sizeof nLie);
        EXPECT_EQ(Parse(lying).Summary(), std::tuple(false, EBADMSG, 1u)) << nLie;
    }
    // Lengths of no sense that still fit: whatever comes of them, nothing beyond is read.
    for (const uint32_t nOdd : {16u, 17u, 31u, 33u}) {
        Bytes odd = g_stream;
        std::memcpy(odd.data() + nPort, &nOdd, sizeof nOdd);
        Parse(odd);
    }

    // An attribute that lies (its own length, a nested one's, a master too short to hold an
    // index) ends its message's attributes only: the record keeps what came before it, and the
    // messages after are read.
    const size_t nAttributes = nPort + NLMSG_LENGTH(sizeof(ifinfomsg));
    const size_t nLinkInfo = nAttributes + RTA_SPACE(4), nMaster = nLinkInfo + RTA_SPACE(16 + 12);
    // Offset of the length to change, new length, kind and master left in the record.
    const std::tuple<size_t, uint16_t, const char*, int> lies[] = {
        {nAttributes, 0, "", 0},
        {nAttributes, 3, "", 0},
        {nAttributes, 0xFFFF, "", 0},
        {nAttributes, uint16_t(g_port.size() - NLMSG_LENGTH(sizeof(ifinfomsg)) + 1), "", 0},
        {nLinkInfo + RTA_LENGTH(0), uint16_t(RTA_SPACE(12) + RTA_SPACE(5) + 1), "", 0},
        {nMaster, RTA_LENGTH(2), "veth", 0},
    };
    for (const auto& [nAt, nLie, szKind, nMasterIndex] : lies) {
        SCOPED_TRACE(testing::Message() << nAt << " " << nLie);
        Bytes lying = g_stream;
        std::memcpy(lying.data() + nAt, &nLie, sizeof nLie);
        const Outcome outcome = Parse(lying);
        ASSERT_EQ(outcome.Summary(), std::tuple(true, 0, 3u));
        EXPECT_EQ(FieldsOf(outcome.links[1]),
                  Fields(7, "", IFF_UP, ARPHRD_ETHER, nMasterIndex, szKind));
        EXPECT_EQ(FieldsOf(outcome.links[2]), g_expected[2]);
    }
}

TEST(DescribeKind, KindsTypesAndOrder) {
    // Hardware type, flags, kind, wireless, shown as.
    const std::tuple<unsigned short, unsigned, const char*, bool, const char*> cases[] = {
        {ARPHRD_LOOPBACK, IFF_LOOPBACK | IFF_UP, "", false, "loopback"},
        {ARPHRD_ETHER, 0, "", false, "Ethernet"},
        {ARPHRD_INFINIBAND, 0, "", false, "Ethernet"}, // other hardware: wired too
        {ARPHRD_ETHER, 0, "", true, "Wi-Fi"},
        {ARPHRD_ETHER, 0, "openvswitch", false, "bridge"},
        {ARPHRD_ETHER, 0, "vlan", false, "VLAN"},
        {ARPHRD_NONE, IFF_POINTOPOINT, "tun", false, "tunnel"},
        {ARPHRD_ETHER, 0, "tun", false, "virtual"}, // a tap device
        {ARPHRD_TUNNEL, 0, "ipip", false, "tunnel"},
        {ARPHRD_PPP, 0, "", false, "tunnel"},
        {ARPHRD_ETHER, 0, "gretap", false, "tunnel"},
        {ARPHRD_ETHER, 0, "vxlan", false, "virtual"},
    };
    for (const auto& [nType, nFlags, szKind, bWireless, szShown] : cases) {
        const LinkRecord link{1, "x", nFlags, nType, 0, szKind};
        EXPECT_STREQ(DescribeKind(link, bWireless), szShown) << nType << " " << szKind;
    }
}

TEST(CLinkTable, AggregatedPortsByMasterKind) {
    // Masters of each kind with one port each, and a port whose master is gone.
    const char* szMasters[] = {"bridge", "bond", "team", "openvswitch", "vrf"};
    std::vector<LinkRecord> links = {{30, "orphan", 0, ARPHRD_ETHER, 99, "veth"}};
    for (int i = 0; i < 5; ++i) {
        links.push_back({10 + i, szMasters[i], 0, ARPHRD_ETHER, 0, szMasters[i]});
        links.push_back({20 + i, std::string("port-") + szMasters[i], 0, ARPHRD_ETHER, 10 + i, ""});
    }
    const CLinkTable table(links);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(table.IsAggregatedPort(*table.FindIndex(20 + i)), i < 4) << szMasters[i];
        EXPECT_FALSE(table.IsAggregatedPort(*table.FindIndex(10 + i))) << szMasters[i];
    }
    EXPECT_FALSE(table.IsAggregatedPort(*table.Find("orphan")));
    EXPECT_EQ(table.Find("port-team")->nIndex, 22);
    EXPECT_EQ(table.Find("port"), nullptr);
    EXPECT_EQ(table.Find(nullptr), nullptr);
    EXPECT_EQ(table.FindIndex(99), nullptr);
}

} // namespace
