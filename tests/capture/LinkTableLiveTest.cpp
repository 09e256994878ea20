#include "LinkTable.h"
#include "NetNs.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <set>

using namespace orvektest;

namespace {

// Devices made here are named "lt..."; whatever a test leaves, even when it fails, goes with it.
class LinkTableLive : public testing::Test {
protected:
    ~LinkTableLive() override {
        Sh("for d in $(ip -o link show | sed -n 's/^[0-9]*: \\(lt[^:@]*\\).*/\\1/p'); do "
           "ip link del $d 2>/dev/null; done");
    }

    // The device in table, failing the test when it is missing or its index is not the one the
    // kernel gives for its name.
    static const LinkRecord& Get(const CLinkTable& table, const char* szName) {
        static const LinkRecord s_missing;
        const LinkRecord* pLink = table.Find(szName);
        EXPECT_NE(pLink, nullptr) << szName << " not in the table";
        if (pLink == nullptr) {
            return s_missing;
        }
        EXPECT_EQ(pLink->nIndex, static_cast<int>(if_nametoindex(szName))) << szName;
        EXPECT_EQ(table.FindIndex(pLink->nIndex), pLink) << szName;
        return *pLink;
    }

    // A master "ltagg0" of the kind with two veth ports: they count as aggregated, their peers
    // do not, and a released port no longer does in a fresh table while the other still does.
    static void CheckPorts(const std::string& strKind, const char* szShown) {
        if (Sh("ip link add ltagg0 type " + strKind) != 0) {
            GTEST_SKIP() << "this kernel has no " << strKind << " driver (`ip link add type "
                         << strKind << "` fails), so its ports are not checked live";
        }
        ShOk("ip link set ltagg0 up\nfor p in ltag1 ltag2; do ip link add $p type veth peer name "
             "${p}x && ip link set $p master ltagg0; done");
        {
            const CLinkTable table;
            const LinkRecord& master = Get(table, "ltagg0");
            EXPECT_EQ(master.strKind, strKind);
            EXPECT_STREQ(DescribeKind(master, master.bWireless), szShown);
            EXPECT_TRUE((master.nFlags & IFF_UP) != 0 && !table.IsAggregatedPort(master));
            for (const std::string strPort : {"ltag1", "ltag2"}) {
                const LinkRecord &port = Get(table, strPort.c_str()),
                                 &peer = Get(table, (strPort + "x").c_str());
                EXPECT_TRUE(port.nMasterIndex == master.nIndex && table.IsAggregatedPort(port));
                EXPECT_TRUE(peer.nMasterIndex == 0 && !table.IsAggregatedPort(peer)) << strPort;
            }
        }
        ShOk("ip link set dev ltag1 nomaster");
        const CLinkTable table;
        EXPECT_EQ(Get(table, "ltag1").nMasterIndex, 0);
        EXPECT_FALSE(table.IsAggregatedPort(Get(table, "ltag1")));
        EXPECT_TRUE(table.IsAggregatedPort(Get(table, "ltag2")));
    }
};

TEST_F(LinkTableLive, BridgePorts) {
    CheckPorts("bridge", "bridge");
}

TEST_F(LinkTableLive, BondPorts) {
    CheckPorts("bond", "virtual");
}

TEST_F(LinkTableLive, TeamPorts) {
    CheckPorts("team", "virtual");
}

TEST_F(LinkTableLive, LoopbackTunTapAndMacvlanAreNoPorts) {
    const CTunDevice tun("lttun0", "10.71.0.1/24", "");
    ShOk("ip tuntap add lttap0 mode tap\n"
         "ip link add ltlow0 type veth peer name ltlow0x\n"
         "ip link add link ltlow0 name ltmv0 type macvlan mode bridge");
    const CLinkTable table;
    // Hardware type, kind and how it is shown: a tap is a tun device that carries Ethernet.
    const std::tuple<const char*, unsigned short, const char*, const char*> expected[] = {
        {"lo", ARPHRD_LOOPBACK, "", "loopback"},     {"lttun0", ARPHRD_NONE, "tun", "tunnel"},
        {"lttap0", ARPHRD_ETHER, "tun", "virtual"},  {"ltmv0", ARPHRD_ETHER, "macvlan", "virtual"},
        {"ltlow0", ARPHRD_ETHER, "veth", "virtual"},
    };
    for (const auto& [szName, nType, szKind, szShown] : expected) {
        const LinkRecord& link = Get(table, szName);
        EXPECT_EQ(link.nType, nType) << szName;
        EXPECT_EQ(link.strKind, szKind) << szName;
        EXPECT_STREQ(DescribeKind(link, link.bWireless), szShown) << szName;
        // A macvlan's lower device is its link, not its master.
        EXPECT_TRUE(link.nMasterIndex == 0 && !table.IsAggregatedPort(link)) << szName;
    }
    EXPECT_NE(Get(table, "lttun0").nFlags & IFF_UP, 0u);
}

TEST_F(LinkTableLive, VlanOnVeth) {
    ShOk("ip link add ltv0 type veth peer name ltv0x");
    if (Sh("ip link add link ltv0 name ltv0.7 type vlan id 7") != 0) {
        GTEST_SKIP() << "this kernel has no 802.1Q driver (`ip link add type vlan` fails), so "
                        "VLAN devices are not checked live";
    }
    const CLinkTable table;
    const LinkRecord &vlan = Get(table, "ltv0.7"), &lower = Get(table, "ltv0");
    EXPECT_EQ(vlan.strKind, "vlan");
    EXPECT_STREQ(DescribeKind(vlan, vlan.bWireless), "VLAN");
    EXPECT_TRUE(vlan.nMasterIndex == 0 && !table.IsAggregatedPort(vlan));
    EXPECT_TRUE(lower.nMasterIndex == 0 && !table.IsAggregatedPort(lower));
}

// Eighty veth devices make a dump of well over 32 KiB, the most the kernel puts in one datagram,
// so the table must read on until the dump's end.
TEST_F(LinkTableLive, DumpOverManyDatagrams) {
    ShOk("for i in $(seq 1 40); do echo \"link add ltm$i type veth peer name ltm${i}x\"; done | "
         "ip -batch -");
    const CLinkTable table;
    std::set<int> indexes;
    for (const LinkRecord& link : table.GetAll()) {
        EXPECT_TRUE(indexes.insert(link.nIndex).second) << "index twice: " << link.nIndex;
    }
    for (int i = 1; i <= 40; ++i) {
        for (const std::string& strName :
             {"ltm" + std::to_string(i), "ltm" + std::to_string(i) + "x"}) {
            EXPECT_EQ(Get(table, strName.c_str()).strKind, "veth");
        }
    }
    EXPECT_EQ(table.GetAll().size(), std::stoul(ShOut("ip -o link show | wc -l")));
}

} // namespace
