// The capture library's pure parts: the rtnetlink link dump and address monitor readers, the
// link-header parser, the link table, the address table's index and the capture loop's rest.

#include "Adapter.h"
#include "AddressChange.h"
#include "AddressTable.h"
#include "LinkLayer.h"
#include "LinkTable.h"
#include "Segments.h"
#include "UserTunnels.h"
#include "ZarnException.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/rtnetlink.h>
#include <memory>
#include <pcap/dlt.h>
#include <random>
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

// The first nLength bytes in exactly that many bytes on the heap, so that a sanitizer sees any read
// beyond. copy_n, not memcpy: an empty vector's data() may be null.
std::unique_ptr<uint8_t[]> OnHeap(const Bytes& bytes, size_t nLength) {
    auto pCopy = std::make_unique<uint8_t[]>(nLength);
    std::copy_n(bytes.begin(), nLength, pCopy.get());
    return pCopy;
}

// bytes with value written over them at nAt.
template <class T> Bytes Overwritten(Bytes bytes, size_t nAt, T value) {
    std::memcpy(bytes.data() + nAt, &value, sizeof value);
    return bytes;
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

Bytes Link(const ifinfomsg& info, const Bytes& attributes, uint16_t nFlags = NLM_F_MULTI) {
    return Message(RTM_NEWLINK, Raw(info) + attributes, nFlags);
}

// Index, name, flags, hardware type, master, kind, carrier changes of one record.
using Fields = std::tuple<int, std::string, unsigned, unsigned short, int, std::string, unsigned>;
// Whether the dump ended, the exception's code (0 without one), the records kept.
using Outcome = std::tuple<bool, int, std::vector<Fields>>;

Outcome Parse(const Bytes& buffer) {
    Outcome outcome;
    std::vector<LinkRecord> links;
    try {
        std::get<0>(outcome) =
            ParseLinkMessages(OnHeap(buffer, buffer.size()).get(), buffer.size(), links);
    } catch (const CZarnException& e) {
        EXPECT_FALSE(e.HasDescription());
        std::get<1>(outcome) = e.GetCode();
    }
    for (const LinkRecord& link : links) {
        std::get<2>(outcome).emplace_back(link.nIndex, link.strName, link.nFlags, link.nType,
                                          link.nMasterIndex, link.strKind, link.nCarrierChanges);
    }
    return outcome;
}

// Loopback, an empty attribute before its name; an unrelated message; a bridge port with its kind
// nested after padded link information, its peer's index (a link, not its master) and a name
// without its zero; a bridge. The last two end unpadded.
const Bytes g_loopback =
    Link({0, 0, ARPHRD_LOOPBACK, 1, IFF_UP | IFF_LOOPBACK, 0},
         Attribute(IFLA_AF_SPEC | NLA_F_NESTED, {}) + Attribute(IFLA_IFNAME, Raw("lo")));
const Bytes g_address = Message(RTM_NEWADDR, Bytes(24, 0x11));
const Bytes g_port = Link(
    {0, 0, ARPHRD_ETHER, 7, IFF_UP, 0},
    Attribute(IFLA_MTU, Raw(1500)) +
        Attribute(IFLA_LINKINFO | NLA_F_NESTED, Attribute(IFLA_INFO_DATA, Bytes(11, 0x22)) +
                                                    Attribute(IFLA_INFO_KIND, Raw("veth"))) +
        Attribute(IFLA_MASTER, Raw(5)) + Attribute(IFLA_CARRIER_CHANGES, Raw(3)) +
        Attribute(IFLA_LINK, Raw(6)) + Attribute(IFLA_IFNAME, {'v', 'e', 't', 'h', '1'}, false));
const Bytes g_bridge = Link({0, 0, ARPHRD_ETHER, 5, 0, 0},
                            Attribute(IFLA_LINKINFO, Attribute(IFLA_INFO_KIND, Raw("bridge"))) +
                                Attribute(IFLA_IFNAME, Raw("br10"), false));
const Bytes g_stream = g_loopback + g_address + g_port + g_bridge + Message(NLMSG_DONE, Raw(0));
const std::vector<Fields> g_links = {
    {1, "lo", IFF_UP | IFF_LOOPBACK, ARPHRD_LOOPBACK, 0, "", 0},
    {7, "veth1", IFF_UP, ARPHRD_ETHER, 5, "veth", 3},
    {5, "br10", 0, ARPHRD_ETHER, 0, "bridge", 0},
};

TEST(ParseLinkMessages, WholeDumpsKernelErrorsAndInterruptions) {
    const Bytes tail(16, 0); // the request an error or acknowledgement answers
    const std::vector<Fields> lo = {g_links[0]};
    const uint16_t nInterrupted = NLM_F_MULTI | NLM_F_DUMP_INTR;
    const std::pair<Bytes, Outcome> cases[] = {
        {g_stream + Bytes(7, 0xEE), {true, 0, g_links}}, // nothing after DONE is read
        // A message too short for a device record names none; the next one still counts.
        {Message(RTM_NEWLINK, Bytes(8, 0)) + g_bridge, {false, 0, {g_links[2]}}},
        {Message(NLMSG_ERROR, Raw(-EPERM) + tail, 0), {false, EPERM, {}}},
        {g_loopback + Message(NLMSG_ERROR, Raw(0) + tail, 0), {true, 0, lo}},
        {g_loopback + Message(NLMSG_DONE, Raw(-ENOBUFS)), {false, ENOBUFS, lo}},
        {g_loopback + Link({}, {}, nInterrupted), {false, EAGAIN, lo}},
        {g_loopback + Message(NLMSG_DONE, Raw(0), nInterrupted), {false, EAGAIN, lo}},
        {Message(NLMSG_ERROR, Raw(uint16_t{1}), 0), {false, EBADMSG, {}}},
        {Message(NLMSG_ERROR, Raw(INT32_MIN) + tail, 0), {false, EBADMSG, {}}},
        {g_loopback + Message(NLMSG_DONE, Raw(5)), {false, EBADMSG, lo}},
        // A buffer cut between messages, or in a message's padding, holds whole messages; one cut
        // within a message lies about it.
        {g_loopback + g_address, {false, 0, lo}},
        {g_loopback + Bytes(g_port.begin(), g_port.end() - 1), {false, 0, {lo[0], g_links[1]}}},
        {g_loopback + Bytes(g_port.begin(), g_port.end() - 4), {false, EBADMSG, lo}},
    };
    for (const auto& [buffer, expected] : cases) {
        EXPECT_EQ(Parse(buffer), expected) << &buffer - &cases[0].first;
    }
}

// Every cut and every lying length is the fuzzer's (FuzzPacket.cpp); these are the verdicts.
TEST(ParseLinkMessages, LyingLengths) {
    // Message lengths that lie (zero, short of a header, past the end, huge) end parsing; the
    // record before stays.
    const size_t nPort = g_loopback.size() + g_address.size();
    for (const uint32_t nLie : {0u, 15u, uint32_t(g_stream.size() - nPort + 1), 0xFFFFFFFFu}) {
        EXPECT_EQ(Parse(Overwritten(g_stream, nPort, nLie)), Outcome(false, EBADMSG, {g_links[0]}))
            << nLie;
    }

    // An attribute that lies (its own length, a nested one's, a master or carrier count too short
    // for its number) ends its message's attributes only: the record keeps what came before it,
    // and the messages after are read.
    const size_t nAttributes = nPort + NLMSG_LENGTH(sizeof(ifinfomsg));
    const size_t nLinkInfo = nAttributes + RTA_SPACE(4),
                 nMaster = nLinkInfo + RTA_SPACE(RTA_SPACE(11) + RTA_SPACE(5));
    // Offset of the length to change, new length, kind, master and carrier left in the record.
    const std::tuple<size_t, uint16_t, const char*, int, unsigned> lies[] = {
        {nAttributes, 0, "", 0, 0},
        {nAttributes, uint16_t(g_port.size() - NLMSG_LENGTH(sizeof(ifinfomsg)) + 1), "", 0, 0},
        {nLinkInfo + RTA_LENGTH(0), uint16_t(RTA_SPACE(11) + RTA_SPACE(5) + 1), "", 0, 0},
        {nMaster, RTA_LENGTH(3), "veth", 0, 0},
        {nMaster + RTA_SPACE(4), RTA_LENGTH(3), "veth", 5, 0},
    };
    for (const auto& [nAt, nLie, szKind, nMasterIndex, nCarrier] : lies) {
        const Fields port(7, "", IFF_UP, ARPHRD_ETHER, nMasterIndex, szKind, nCarrier);
        EXPECT_EQ(Parse(Overwritten(g_stream, nAt, nLie)),
                  Outcome(true, 0, {g_links[0], port, g_links[2]}))
            << nAt << " " << nLie;
    }
}

// One table for how devices are shown and which are aggregated ports: masters of each kind with
// one port each (of assorted kinds), a port whose master is gone, devices of other types.
TEST(CLinkTable, KindsShownAndAggregatedPorts) {
    // Record (index, name, flags, hardware type, master, kind, wireless), shown as, port.
    const std::tuple<LinkRecord, const char*, bool> cases[] = {
        {{1, "lo", IFF_LOOPBACK | IFF_UP, ARPHRD_LOOPBACK, 0, ""}, "loopback", false},
        {{2, "eth0", 0, ARPHRD_ETHER, 0, ""}, "Ethernet", false},
        {{3, "wlan0", 0, ARPHRD_ETHER, 0, "", true}, "Wi-Fi", false},
        {{10, "br0", 0, ARPHRD_ETHER, 0, "bridge"}, "bridge", false},
        {{11, "bond0", 0, ARPHRD_ETHER, 0, "bond"}, "virtual", false},
        {{12, "team0", 0, ARPHRD_ETHER, 0, "team"}, "virtual", false},
        {{13, "ovs0", 0, ARPHRD_ETHER, 0, "openvswitch"}, "bridge", false},
        {{14, "vrf0", 0, ARPHRD_ETHER, 0, "vrf"}, "virtual", false},
        {{20, "port-br", 0, ARPHRD_ETHER, 10, "veth"}, "virtual", true},
        {{21, "port-bond", 0, ARPHRD_ETHER, 11, ""}, "Ethernet", true},
        {{22, "port-team", 0, ARPHRD_ETHER, 12, "tun"}, "virtual", true}, // a tap device
        {{23, "port-ovs", 0, ARPHRD_ETHER, 13, "gretap"}, "tunnel", true},
        {{24, "port-vrf", 0, ARPHRD_ETHER, 14, "vlan"}, "VLAN", false},
        {{30, "orphan", 0, ARPHRD_ETHER, 99, "vxlan"}, "virtual", false},
        {{31, "tun0", IFF_POINTOPOINT, ARPHRD_NONE, 0, "tun"}, "tunnel", false},
        {{32, "ppp0", 0, ARPHRD_PPP, 0, ""}, "tunnel", false},
    };
    std::vector<LinkRecord> links;
    for (const auto& [link, szShown, bPort] : cases) {
        links.push_back(link);
    }
    const CLinkTable table(links);
    for (const auto& [link, szShown, bPort] : cases) {
        EXPECT_STREQ(DescribeKind(link, link.bWireless), szShown) << link.strName;
        EXPECT_EQ(table.IsAggregatedPort(link), bPort) << link.strName;
    }
    EXPECT_EQ(table.Find("port-team")->nIndex, 22);
    EXPECT_EQ(table.Find("port"), nullptr);
}

// Stacked devices as the kernel describes them (IFLA_LINK, the kind in IFLA_LINKINFO): a VLAN on
// a VLAN on eth0 (802.1ad), ipvlan, macvlan and macvtap devices lead to eth0; a macvlan whose
// lower device is in another namespace (IFLA_LINK_NETNSID), a veth (IFLA_LINK is its peer), a
// loop of VLANs and a VLAN on a device missing from the table lead nowhere.
TEST(CLinkTable, StackedDevicesLeadToTheirLowestDevice) {
    const auto text = [](const std::string& str) { return Bytes(str.begin(), str.end() + 1); };
    const auto stacked = [&](int nIndex, const char* szName, const char* szKind, int nLink,
                             const Bytes& more = {}) {
        return Link({0, 0, ARPHRD_ETHER, nIndex, IFF_UP, 0},
                    Attribute(IFLA_IFNAME, text(szName)) + Attribute(IFLA_LINK, Raw(nLink)) + more +
                        Attribute(IFLA_LINKINFO | NLA_F_NESTED,
                                  Attribute(IFLA_INFO_KIND, text(szKind)) +
                                      Attribute(IFLA_INFO_DATA | NLA_F_NESTED, Bytes(8, 0x33))));
    };
    const Bytes dump =
        Link({0, 0, ARPHRD_ETHER, 2, IFF_UP, 0}, Attribute(IFLA_IFNAME, Raw("eth0"))) +
        stacked(3, "eth0.100", "vlan", 2) + stacked(4, "eth0.100.5", "vlan", 3) +
        stacked(5, "ipv0", "ipvlan", 2) + stacked(6, "mv0", "macvlan", 2) +
        stacked(7, "mvtap0", "macvtap", 6) + stacked(8, "ipvt0", "ipvtap", 5) +
        stacked(9, "mvns", "macvlan", 2, Attribute(IFLA_LINK_NETNSID, Raw(1))) +
        stacked(10, "veth0", "veth", 2) + stacked(11, "loop1", "vlan", 12) +
        stacked(12, "loop2", "vlan", 11) + stacked(13, "lost", "vlan", 99) +
        Message(NLMSG_DONE, Raw(0));
    std::vector<LinkRecord> links;
    ASSERT_TRUE(ParseLinkMessages(OnHeap(dump, dump.size()).get(), dump.size(), links));
    const CLinkTable table(links);
    // Device, its lowest device ("" for none).
    const std::pair<const char*, std::string> expected[] = {
        {"eth0", ""},    {"eth0.100", "eth0"}, {"eth0.100.5", "eth0"}, {"ipv0", "eth0"},
        {"mv0", "eth0"}, {"mvtap0", "eth0"},   {"ipvt0", "eth0"},      {"mvns", ""},
        {"veth0", ""},   {"loop1", ""},        {"loop2", ""},          {"lost", ""},
    };
    for (const auto& [szName, strLowest] : expected) {
        const LinkRecord* pLink = table.Find(szName);
        ASSERT_NE(pLink, nullptr) << szName;
        const LinkRecord* pLowest = table.FindLowest(*pLink);
        EXPECT_EQ(pLowest != nullptr ? pLowest->strName : "", strLowest) << szName;
    }
}

// Kernel tunnels as the kernel describes them: GRE and IP-in-IP bound to a device (IFLA_LINK)
// or not, SIT, an IPv6 tunnel, WireGuard, xfrm, VXLAN bound by its own data (IFLA_VXLAN_LINK,
// before or after its kind) or with its underlay in another namespace, Geneve. Not tunnels in
// this sense: a tun device (its packets go to a process) and a VLAN. A VXLAN or Geneve device
// tells its outer flow by its UDP port and unicast peer (a multicast group is no peer); other
// tunnels tell none.
TEST(CLinkTable, KernelTunnelsAndTheDeviceTheyAreBoundTo) {
    const auto text = [](const std::string& str) { return Bytes(str.begin(), str.end() + 1); };
    // Index, name, hardware type, kind, IFLA_LINK (0: none), what else goes in the link info.
    const auto device = [&](int nIndex, const char* szName, unsigned short nType,
                            const char* szKind, int nLink, const Bytes& info = {},
                            const Bytes& more = {}) {
        const Bytes kind = Attribute(IFLA_INFO_KIND, text(szKind));
        return Link({0, 0, nType, nIndex, IFF_UP, 0},
                    Attribute(IFLA_IFNAME, text(szName)) +
                        (nLink != 0 ? Attribute(IFLA_LINK, Raw(nLink)) : Bytes{}) + more +
                        Attribute(IFLA_LINKINFO | NLA_F_NESTED, info.empty() ? kind : info));
    };
    const auto port = [](uint16_t nPort) { return Bytes{uint8_t(nPort >> 8), uint8_t(nPort)}; };
    const auto vxlanData = [&](int nLink, const Bytes& group = Bytes{10, 82, 0, 2}) {
        return Attribute(IFLA_INFO_DATA | NLA_F_NESTED, Attribute(IFLA_VXLAN_ID, Raw(42)) +
                                                            Attribute(IFLA_VXLAN_LINK, Raw(nLink)) +
                                                            Attribute(IFLA_VXLAN_GROUP, group) +
                                                            Attribute(IFLA_VXLAN_PORT, port(4789)));
    };
    Bytes remote6(16, 0);
    remote6[0] = 0xfd;
    remote6[15] = 2;
    const Bytes geneve =
        Attribute(IFLA_INFO_KIND, text("geneve")) +
        Attribute(IFLA_INFO_DATA | NLA_F_NESTED, Attribute(IFLA_GENEVE_REMOTE6, remote6) +
                                                     Attribute(IFLA_GENEVE_PORT, port(6081)));
    const Bytes vxlanKind = Attribute(IFLA_INFO_KIND, text("vxlan"));
    const Bytes dump =
        Link({0, 0, ARPHRD_ETHER, 2, IFF_UP, 0}, Attribute(IFLA_IFNAME, Raw("eth0"))) +
        device(3, "gre1", ARPHRD_IPGRE, "gre", 2) + device(4, "ipip1", ARPHRD_TUNNEL, "ipip", 0) +
        device(5, "sit1", ARPHRD_SIT, "sit", 0) +
        device(6, "ip6tnl1", ARPHRD_TUNNEL6, "ip6tnl", 2) +
        device(7, "wg0", ARPHRD_NONE, "wireguard", 0) + device(8, "xfrm1", ARPHRD_NONE, "xfrm", 2) +
        device(9, "vx1", ARPHRD_ETHER, "", 0, vxlanKind + vxlanData(2)) +
        device(10, "vx2", ARPHRD_ETHER, "", 0, vxlanData(2, {239, 1, 1, 1}) + vxlanKind) +
        device(11, "vx3", ARPHRD_ETHER, "", 0, vxlanKind + vxlanData(2),
               Attribute(IFLA_LINK_NETNSID, Raw(0))) +
        device(12, "gnv0", ARPHRD_ETHER, "", 0, geneve) +
        device(13, "tun0", ARPHRD_NONE, "tun", 0) + device(14, "eth0.7", ARPHRD_ETHER, "vlan", 2) +
        Message(NLMSG_DONE, Raw(0));
    std::vector<LinkRecord> links;
    ASSERT_TRUE(ParseLinkMessages(OnHeap(dump, dump.size()).get(), dump.size(), links));
    const CLinkTable table(links);
    // Device, whether it is a kernel tunnel, the device it is bound to ("" for none), its outer
    // UDP port and the family of its peer (0: none told).
    const std::tuple<const char*, bool, std::string, uint16_t, uint8_t> expected[] = {
        {"eth0", false, "", 0, 0},       {"gre1", true, "eth0", 0, 0},
        {"ipip1", true, "", 0, 0},       {"sit1", true, "", 0, 0},
        {"ip6tnl1", true, "eth0", 0, 0}, {"wg0", true, "", 0, 0},
        {"xfrm1", true, "eth0", 0, 0},   {"vx1", true, "eth0", 4789, 4},
        {"vx2", true, "eth0", 4789, 0},  {"vx3", true, "", 4789, 4},
        {"gnv0", true, "", 6081, 6},     {"tun0", false, "", 0, 0},
        {"eth0.7", false, "", 0, 0},
    };
    for (const auto& [szName, bTunnel, strCarrier, nPort, nFamily] : expected) {
        const LinkRecord* pLink = table.Find(szName);
        ASSERT_NE(pLink, nullptr) << szName;
        EXPECT_EQ(IsKernelTunnel(*pLink), bTunnel) << szName;
        const LinkRecord* pCarrier = table.FindCarrier(*pLink);
        EXPECT_EQ(pCarrier != nullptr ? pCarrier->strName : "", strCarrier) << szName;
        EXPECT_EQ(pLink->outer.nPort, nPort) << szName;
        EXPECT_EQ(pLink->outer.nRemoteFamily, nFamily) << szName;
    }
    EXPECT_EQ(std::vector<uint8_t>(table.Find("vx1")->outer.aRemote.begin(),
                                   table.Find("vx1")->outer.aRemote.begin() + 4),
              (std::vector<uint8_t>{10, 82, 0, 2}));
    EXPECT_EQ(
        Bytes(table.Find("gnv0")->outer.aRemote.begin(), table.Find("gnv0")->outer.aRemote.end()),
        remote6);
}

// A tun descriptor's fdinfo as the kernel writes it names the device; anything that is no device
// name, and every link that is not exactly a socket's, reads as none.
TEST(UserTunnels, FdinfoNamesTheDeviceAndSocketLinksTheirInode) {
    const std::string strFdinfo = "pos:\t0\nflags:\t02100002\nmnt_id:\t23\nino:\t103\niff:\ttq0\n";
    EXPECT_EQ(ParseTunFdinfo(strFdinfo), "tq0");
    EXPECT_EQ(ParseTunFdinfo("pos:\t0\niff:\tvpn-0 \r"), "vpn-0");
    for (const char* szNone : {"pos:\t0\nflags:\t02\n", "iff:\t\n", "iff:\t0123456789abcdef\n",
                               "iff:\ta/b\n", "iff:\ta b\n", "xiff:\ttun0\n", ""}) {
        EXPECT_EQ(ParseTunFdinfo(szNone), "") << szNone;
    }
    EXPECT_EQ(ParseSocketLink("socket:[7022690]"), 7022690U);
    EXPECT_EQ(ParseSocketLink("socket:[12345]"), 12345U);
    EXPECT_EQ(ParseSocketLink("socket:[9999999999999999999]"), 9999999999999999999U);
    for (const char* szNone : {"socket:[]", "socket:[12a]", "socket:[12x]", "socket:[-1]",
                               "socket:[99999999999999999999]", "pipe:[5]", "pipe:[12]",
                               "socket:[5", "socket:[12", "/dev/net/tun", "/dev/null"}) {
        EXPECT_EQ(ParseSocketLink(szNone), 0U) << szNone;
    }
}

// A route request asks for the host route to the address; its answer names the device, or the
// kernel's error. Cut or lying answers answer nothing.
TEST(UserTunnels, RouteRepliesNameTheDeviceOrTheError) {
    std::array<uint8_t, 16> aPeer{};
    inet_pton(AF_INET, "192.0.2.1", aPeer.data());
    const std::string strQuery = BuildRouteQuery(AF_INET, aPeer, 7);
    ASSERT_EQ(strQuery.size(), NLMSG_LENGTH(sizeof(rtmsg)) + RTA_LENGTH(4));
    EXPECT_EQ(strQuery.substr(strQuery.size() - 4), std::string("\xC0\x00\x02\x01", 4));

    rtmsg route{};
    route.rtm_family = AF_INET;
    route.rtm_dst_len = 32;
    const Bytes reply =
        Message(RTM_NEWROUTE,
                Raw(route) + Attribute(RTA_TABLE, Raw(254)) + Attribute(RTA_DST, Bytes(4, 1)) +
                    Attribute(RTA_OIF, Raw(uint32_t{3})) + Attribute(RTA_PREFSRC, Bytes(4, 2)),
                0);
    const auto parse = [](const Bytes& bytes) {
        const auto pCopy = OnHeap(bytes, bytes.size());
        const RouteVerdict verdict = ParseRouteReply({pCopy.get(), bytes.size()});
        return std::tuple(verdict.bAnswered, verdict.nOutIndex, verdict.nError);
    };
    EXPECT_EQ(parse(reply), std::tuple(true, 3, 0));
    EXPECT_EQ(parse(Message(NLMSG_ERROR, Raw(int32_t{-ENETUNREACH}) + Bytes(16, 0), 0)),
              std::tuple(true, 0, ENETUNREACH));
    EXPECT_EQ(parse(Message(NLMSG_ERROR, Raw(int32_t{INT32_MIN}), 0)),
              std::tuple(true, 0, EBADMSG));
    EXPECT_EQ(parse(Overwritten(reply, NLMSG_LENGTH(sizeof route), uint16_t{200})),
              std::tuple(false, 0, 0));
    for (size_t nCut = 0; nCut < reply.size(); ++nCut) {
        EXPECT_FALSE(std::get<0>(parse(Bytes(reply.begin(), reply.begin() + long(nCut))))) << nCut;
    }
}

// The carrier is the lowest device that a holder's connected socket leaves through; sockets to
// this host, or into the tun itself, carry nothing out; and every other case says why.
TEST(UserTunnels, VerdictsNameTheLowestCarrierOrSayWhyNot) {
    const auto link = [](int nIndex, const char* szName, unsigned nFlags, const char* szKind,
                         int nLink) {
        LinkRecord record;
        record.nIndex = nIndex;
        record.strName = szName;
        record.nFlags = nFlags;
        record.strKind = szKind;
        record.nLinkIndex = nLink;
        return record;
    };
    const CLinkTable links({link(1, "lo", IFF_UP | IFF_LOOPBACK, "", 0),
                            link(2, "eth0", IFF_UP, "", 0), link(3, "eth0.7", IFF_UP, "vlan", 2),
                            link(4, "tun0", IFF_UP, "tun", 0)});
    const LinkRecord& tun = links.GetAll()[3];
    const auto socket = [](uint64_t nInode, const char* szPeer, uint16_t nPort, int nOut,
                           bool bUdp) {
        ConnectedSocket connected;
        connected.socket.nFamily = std::strchr(szPeer, ':') != nullptr ? AF_INET6 : AF_INET;
        inet_pton(connected.socket.nFamily, szPeer, connected.socket.aRemote.data());
        connected.socket.nRemotePort = nPort;
        connected.socket.nInode = nInode;
        connected.nOutIndex = nOut;
        connected.bUdp = bUdp;
        return connected;
    };
    const std::vector<ConnectedSocket> sockets = {
        socket(10, "127.0.0.1", 53, 1, true), socket(11, "10.8.0.1", 80, 4, false),
        socket(12, "192.0.2.1", 1194, 3, true), socket(13, "2001:db8::1", 443, 2, false)};
    const TunHolder openvpn{100, "openvpn", {"tun0"}, {10, 11, 12}};
    const TunHolder client{101, "client", {"tun0"}, {13}};
    const TunHolder local{102, "tunsrv", {"tun0"}, {10, 11, 99}};
    const TunHolder quiet{103, "quiet", {"tun0"}, {}};
    const auto verdict = [&](std::vector<const TunHolder*> holders, size_t nUnreadable = 0) {
        const TunVerdict decided = DecideTunVerdict(tun, holders, sockets, links, nUnreadable);
        return decided.strCarrier + " | " + decided.strReason;
    };
    EXPECT_EQ(verdict({&openvpn}), "eth0 | openvpn sends it over UDP to 192.0.2.1:1194");
    EXPECT_EQ(verdict({&quiet, &client}), "eth0 | client sends it over TCP to [2001:db8::1]:443");
    EXPECT_EQ(verdict({&local}), " | held by tunsrv, whose connections stay on this host");
    EXPECT_EQ(verdict({&quiet, &local}),
              " | held by quiet, tunsrv, whose connections stay on this host");
    EXPECT_EQ(verdict({&quiet}), " | held by quiet, which has no UDP or TCP connection");
    EXPECT_EQ(verdict({}), " | held by no process");
    EXPECT_EQ(verdict({}, 3), " | held by no process whose descriptors Orvek may read");

    // The outer packets are told by the carrier's protocol and peer, as the packets carry them.
    const auto outer = [](uint16_t nPort, uint8_t nFamily, std::initializer_list<uint8_t> address,
                          uint8_t nProtocol) {
        OuterFlow flow{nPort, nFamily, {}, nProtocol};
        std::ranges::copy(address, flow.aRemote.begin());
        return flow;
    };
    EXPECT_EQ(DecideTunVerdict(tun, {&openvpn}, sockets, links, 0).outer,
              outer(1194, 4, {192, 0, 2, 1}, IPPROTO_UDP));
    EXPECT_EQ(
        DecideTunVerdict(tun, {&client}, sockets, links, 0).outer,
        outer(443, 6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, IPPROTO_TCP));
    EXPECT_EQ(OuterFlowOf(socket(0, "::ffff:192.0.2.9", 51820, 0, true).socket, IPPROTO_UDP),
              outer(51820, 4, {192, 0, 2, 9}, IPPROTO_UDP));
}

TEST(IsAddressChange, AllButWirelessAndPromiscuityOnlyLinksAndSurvivesGarbage) {
    const auto IsChange = [](const Bytes& buffer) {
        return IsAddressChange(OnHeap(buffer, buffer.size()).get(), buffer.size());
    };
    // Wireless news after a padded attribute.
    const Bytes wireless =
        Link({}, Attribute(IFLA_IFNAME, Raw("w0")) + Attribute(IFLA_WIRELESS, {}));
    const Bytes route = Message(RTM_NEWROUTE, Bytes(28, 0));
    const auto Flipped = [](unsigned nChange) {
        return Link({0, 0, ARPHRD_ETHER, 2, IFF_UP, nChange}, {});
    };
    const Bytes stream = wireless + route + Flipped(IFF_PROMISC);
    const size_t nFirst = NLMSG_SPACE(sizeof(ifinfomsg)); // the wireless message's first attribute
    const std::pair<Bytes, bool> cases[] = {
        {stream, false},
        {Flipped(IFF_PROMISC | IFF_UP), true},
        {Flipped(0), true}, // as most link events come
        {wireless + Message(RTM_NEWADDR, {}), true},
        {route + Message(RTM_DELADDR, {}), true},
        {route + Message(RTM_DELLINK, {}), true},
        // Better a needless refresh than a missed one: a message that says it is shorter than a
        // header or longer than what is left counts, and so does a cut past a header (a cut
        // within one holds nothing); an attribute that lies hides the wireless one after it.
        {Overwritten(stream, wireless.size(), uint16_t(3)), true},
        {Overwritten(stream, wireless.size(), uint16_t(0xFFFF)), true},
        {Bytes(stream.begin(), stream.end() - 1), true},
        {Bytes(stream.begin(), stream.begin() + wireless.size() + 15), false},
        {Overwritten(stream, nFirst, uint16_t(0xFFFF)), true},
    };
    for (const auto& [buffer, bChange] : cases) {
        EXPECT_EQ(IsChange(buffer), bChange) << &buffer - &cases[0].first;
    }
}

TEST(ParseLinkHeader, KnownHeadersAtEveryCapLength) {
    using P = ENetworkProtocol;
    const Bytes macs(12, 0x11), pppoe = {0x11, 0x00, 0x12, 0x34, 0x00, 0x40};
    const auto Type = [](uint16_t n) { return Bytes{uint8_t(n >> 8), uint8_t(n)}; };
    const auto tag = [&](uint16_t nTpid) { return Type(nTpid) + Bytes{0x00, 0x07}; };
    // Link type, exactly the bytes a verdict needs, header length, protocol, bytes from which on
    // the protocol is known (-1: all).
    const std::tuple<int, Bytes, uint32_t, P, int> samples[] = {
        {DLT_EN10MB, macs + Type(0x0800), 14, P::IPv4, -1},
        {DLT_EN10MB, macs + tag(0x88A8) + tag(0x8100) + Type(0x86DD), 22, P::IPv6, -1},
        {DLT_EN10MB, macs + tag(0x9100) + Type(0x8864) + pppoe + Type(0x0057), 26, P::IPv6, -1},
        {DLT_RAW, {0x45}, 0, P::IPv4, -1},
        {101, {0x60}, 0, P::IPv6, -1},
        {DLT_IPV4, {0x45}, 0, P::IPv4, 0},
        {DLT_LINUX_SLL, Bytes(14, 0x22) + Type(0x0040), 16, P::Other, -1},
        {DLT_LINUX_SLL2, Type(0x86DD) + Bytes(18, 0x22), 20, P::IPv6, 2},
        {DLT_NULL, {2, 0, 0, 0}, 4, P::IPv4, -1},
        {DLT_LOOP, {0, 0, 0, 24}, 4, P::IPv6, -1},
        {DLT_PPP, {0x00, 0x57}, 2, P::IPv6, -1},
        {DLT_PPP_SERIAL, {0xFF, 0x03, 0xC0, 0x21}, 4, P::Other, -1},
        {DLT_PPP_ETHER, pppoe + Type(0x0021), 8, P::IPv4, -1},
        {9999, Bytes(20, 0x45), 14, P::Other, 0},
    };
    for (const auto& [nLinkType, bytes, nHeaderLength, eProtocol, nNeeded] : samples) {
        const uint32_t nSize = static_cast<uint32_t>(bytes.size());
        for (uint32_t nCapLen = 0; nCapLen <= nSize; ++nCapLen) {
            SCOPED_TRACE(testing::Message() << nLinkType << " " << nSize << " caplen " << nCapLen);
            const LinkVerdict verdict =
                ParseLinkHeader(nLinkType, OnHeap(bytes, nCapLen).get(), nCapLen);
            EXPECT_EQ(verdict.eProtocol,
                      nCapLen >= (nNeeded < 0 ? nSize : uint32_t(nNeeded)) ? eProtocol : P::Other);
            if (nCapLen == nSize) {
                EXPECT_EQ(verdict.nHeaderLength, nHeaderLength);
            }
        }
    }
}

// A merged packet is the segments its MTU lets TCP (or a UDP sender of full segments) make of it,
// each with the packet's own headers: IPv4 and IPv6, TCP with options, UDP, a last segment short
// or full, a wire longer than an IPv4 length can say. Nothing else is taken for merged, and a
// capture cut anywhere in the headers counts one packet without reading past its end.
TEST(CountSegments, MergedTcpAndUdpAsTheirSegmentsAndNothingElse) {
    using P = ENetworkProtocol;
    // IP header (version, fragment bits, protocol; IPv6 next header) and a transport header of
    // nTcpWords 32-bit words (UDP: 8 bytes).
    const auto Headers = [](bool bIPv6, uint8_t nProtocol, uint8_t nTcpWords, uint8_t nFragment) {
        Bytes bytes(bIPv6 ? 40 : 20, 0);
        bytes[0] = bIPv6 ? 0x60 : 0x45;
        bytes[bIPv6 ? 6 : 9] = nProtocol;
        if (!bIPv6) {
            bytes[6] = nFragment;
        }
        Bytes transport(nProtocol == 6 ? std::max<size_t>(13, nTcpWords * 4u) : 8, 0);
        if (nProtocol == 6) {
            transport[12] = uint8_t(nTcpWords << 4);
        }
        return bytes + transport;
    };
    // Protocol, headers, network length, MTU, segments and extra bytes expected.
    const std::tuple<P, Bytes, uint32_t, uint32_t, uint32_t, uint64_t> samples[] = {
        {P::IPv4, Headers(false, 6, 8, 0), 52 + 45 * 1448, 1500, 45, 44 * 52},
        {P::IPv4, Headers(false, 6, 8, 0), 52 + 3 * 1448 + 1, 1500, 4, 3 * 52},
        {P::IPv4, Headers(false, 6, 5, 0), 40 + 185'000, 9000, 21, 20 * 40},
        {P::IPv6, Headers(true, 6, 5, 0), 60 + 2 * 1440, 1500, 2, 60},
        {P::IPv4, Headers(false, 17, 0, 0), 28 + 64 * 1472, 1500, 64, 63 * 28},
        {P::IPv6, Headers(true, 17, 0, 0), 48 + 1452 + 1, 1500, 2, 48},
        {P::IPv4, Headers(false, 6, 8, 0), 1500, 1500, 1, 0},    // not longer than the MTU
        {P::IPv4, Headers(false, 6, 8, 0x20), 9000, 1500, 1, 0}, // a fragment
        {P::IPv4, Headers(false, 1, 0, 0), 9000, 1500, 1, 0},    // neither TCP nor UDP
        {P::IPv6, Headers(true, 0, 0, 0), 9000, 1500, 1, 0},     // an extension header first
        {P::IPv4, Headers(false, 6, 4, 0), 9000, 1500, 1, 0},    // a TCP header too short
        {P::IPv4, Headers(false, 6, 8, 0), 9000, 52, 1, 0},      // no room for a payload
        {P::IPv6, Headers(false, 6, 8, 0), 9000, 1500, 1, 0},    // not the version it says
        {P::Other, Headers(false, 6, 8, 0), 9000, 1500, 1, 0},
    };
    for (const auto& [eProtocol, bytes, nLength, nMtu, nSegments, nExtra] : samples) {
        const uint32_t nSize = static_cast<uint32_t>(bytes.size());
        for (uint32_t nCapLen = 0; nCapLen <= nSize; ++nCapLen) {
            SCOPED_TRACE(testing::Message() << nLength << " MTU " << nMtu << " caplen " << nCapLen);
            const SegmentVerdict verdict =
                CountSegments(eProtocol, OnHeap(bytes, nCapLen).get(), nCapLen, nLength, nMtu);
            // Read are the IP header and, of TCP, up to its header's length.
            const bool bIPv6 = bytes[0] == 0x60;
            const uint32_t nIpHeader = bIPv6 ? 40 : 20;
            const bool bKnown = nCapLen >= nIpHeader + (bytes[bIPv6 ? 6 : 9] == 6 ? 13 : 0);
            EXPECT_EQ(verdict.nSegments, bKnown ? nSegments : 1);
            EXPECT_EQ(verdict.nExtraBytes, bKnown ? nExtra : 0);
        }
    }
}

// The table's index answers as a search of its addresses would, for tables of every size (slots
// shared by several addresses, and then by nearly all, included), for the all-zero address and
// for the keys that fill free slots; Find never claims what the addresses do not say.
TEST(CAddressTable, IndexAnswersAsTheAddressesDo) {
    using Address6 = CAddressTable::Address6;
    std::mt19937 random(11);
    const auto has = [](const auto& all, const auto& one) {
        return std::ranges::find(all, one) != all.end();
    };
    for (const size_t nSize : {0, 1, 5, 40, 400}) {
        SCOPED_TRACE(nSize);
        std::vector<uint32_t> ipv4(1), broadcast4; // each family with its all-zero address
        std::vector<Address6> ipv6(1);
        for (size_t n = 0; n < nSize; ++n) {
            ipv4.push_back(random());
            broadcast4.push_back(ipv4.back() ^ 0xFF000000);
            ipv6.emplace_back();
            std::generate(ipv6.back().begin(), ipv6.back().end(), std::ref(random));
        }
        CAddressTable table;
        std::ranges::for_each(ipv4, [&](uint32_t n) { table.AddIPv4(n); });
        std::ranges::for_each(broadcast4, [&](uint32_t n) { table.AddBroadcastIPv4(n); });
        std::ranges::for_each(ipv6, [&](const Address6& address) { table.AddIPv6(address); });
        table.Seal();
        std::vector<uint32_t> probes4 = ipv4;
        for (uint32_t n = 1; n < 300; ++n) {
            probes4.insert(probes4.end(), {n, n ^ 0xFF000000, static_cast<uint32_t>(random())});
        }
        for (const uint32_t nProbe : probes4) {
            ASSERT_EQ(table.ContainsIPv4(nProbe), has(ipv4, nProbe)) << nProbe;
            ASSERT_NE(table.FindIPv4(nProbe),
                      has(ipv4, nProbe) ? EMembership::Absent : EMembership::Present);
            ASSERT_EQ(table.ContainsBroadcastIPv4(nProbe), has(broadcast4, nProbe));
        }
        std::vector<Address6> probes6 = ipv6;
        for (uint8_t n = 1; n < 255; ++n) {
            probes6.emplace_back().fill(0);
            probes6.back()[0] = n;
            probes6.back()[15] = n;
        }
        for (const Address6& probe : probes6) {
            ASSERT_EQ(table.ContainsIPv6(probe.data()), has(ipv6, probe));
            ASSERT_NE(table.FindIPv6(probe.data()),
                      has(ipv6, probe) ? EMembership::Absent : EMembership::Present);
        }
    }
}

// A replaced table is kept exactly while a reader that was inside a batch when it was replaced is
// still in that batch; one replaced between batches goes at once; a shared table outlives the map's
// hold; an unchanged table replaces nothing.
TEST(CAddressMap, KeepsReplacedTablesOnlyForBatchesThatMayReadThem) {
    CAddressMap map;
    CBatchMark busy, idle;
    const auto table = [](uint32_t nAddress) {
        CAddressTable result;
        result.AddIPv4(nAddress);
        return result;
    };
    const std::shared_ptr<const CAddressTable> pFirst = map.Share();
    busy.Enter();
    map.Publish(table(1), {&busy, &idle});
    map.Publish(table(2), {&busy, &idle});
    const CAddressTable* pHeld = &map.GetCurrent();
    EXPECT_EQ(map.GetKeptCount(), 2u); // both may be read by the busy batch
    map.Publish(table(2), {&busy, &idle});
    EXPECT_EQ(&map.GetCurrent(), pHeld);
    busy.Leave();
    busy.Enter();
    map.Publish(table(3), {&busy, &idle});
    EXPECT_EQ(map.GetKeptCount(), 1u); // only 2, read by the new batch
    busy.Leave();
    for (uint32_t n = 4; n < 1000; ++n) {
        map.Publish(table(n), {&busy, &idle});
    }
    EXPECT_EQ(map.GetKeptCount(), 0u);
    EXPECT_TRUE(map.GetCurrent().ContainsIPv4(999));
    EXPECT_FALSE(pFirst->ContainsIPv4(1));
    busy.Enter();
    map.Publish(table(1), {&busy});
    map.Trim();
    EXPECT_EQ(map.GetKeptCount(), 0u);
}

// A capture thread rests only while blocks come faster than a rest, never so long that the ring
// fills more than half at the batch's pace, and never past the bound.
TEST(CAdapter, RestsOnlyWhileBlocksComeFasterWithinHalfTheRing) {
    constexpr int kRing = 10'000;
    constexpr int64_t kMax = CAdapter::kMaxRestNs;
    // 400 000 packets a second, 1 500 in 3.75 ms: half the ring would take 12.5 ms, more than the
    // bound. Begun after a wait of 3.7 ms; kept while a block was ready when a rest ended.
    EXPECT_EQ(CAdapter::ChooseRestNs(1'500, 3'750'000, 3'700'000, false, kRing), kMax);
    EXPECT_EQ(CAdapter::ChooseRestNs(4'000, 10'000'000, 20'000, true, kRing), kMax);
    // Not begun when a block takes nearly as long as a rest (170 000 a second); ended when the
    // thread had to wait 1 ms for one after a rest.
    EXPECT_EQ(CAdapter::ChooseRestNs(1'500, 8'800'000, 8'750'000, false, kRing), 0);
    EXPECT_EQ(CAdapter::ChooseRestNs(1'500, 11'000'000, 1'000'000, true, kRing), 0);
    // 1.6 million a second: half the ring in 3.125 ms.
    EXPECT_EQ(CAdapter::ChooseRestNs(1'500, 937'500, 500'000, false, kRing), 3'125'000);
    // A ring that fills faster than the shortest rest (whole packets), nothing read, a batch cut
    // at its bound: no rest.
    EXPECT_EQ(CAdapter::ChooseRestNs(1'500, 3'750'000, 0, true, 127), 0);
    EXPECT_EQ(CAdapter::ChooseRestNs(0, 3'750'000, 0, true, kRing), 0);
    EXPECT_EQ(CAdapter::ChooseRestNs(CAdapter::kBatchPackets, 3'750'000, 0, true, kRing), 0);
}

} // namespace
