#include "LinkTable.h"
#include "NetNs.h"

#include <gtest/gtest.h>
#include <iterator>
#include <net/if.h>
#include <net/if_arp.h>
#include <set>
#include <sstream>

using namespace orvektest;

namespace {

// Devices made here are named "lt..."; whatever a test leaves, even when it fails, goes with it.
class LinkTableLive : public testing::Test {
protected:
    ~LinkTableLive() override {
        Sh("for d in $(ip -o link show | sed -n 's/^[0-9]*: \\(lt[^:@]*\\).*/\\1/p'); do "
           "ip link del $d 2>/dev/null; done");
    }
};

// Bond, team and VLAN devices are not made here: this kernel has none of their drivers, and their
// ports and kinds come from the same attributes as a bridge's and a veth's.
TEST_F(LinkTableLive, BridgePortsUntilReleasedAndNoOtherPorts) {
    const CTunDevice tun("lttun0", "10.71.0.1/24", "");
    ShOk("ip link add ltbr0 type bridge && ip link set ltbr0 up\n"
         "for p in ltp1 ltp2; do ip link add $p type veth peer name ${p}x && "
         "ip link set $p master ltbr0; done\n"
         "ip tuntap add lttap0 mode tap\n"
         "ip link add link ltp2x name ltmv0 type macvlan mode bridge");
    for (const bool bReleased : {false, true}) {
        ShOk(bReleased ? "ip link set dev ltp1 nomaster" : "true");
        const CLinkTable table;
        // Name, up, hardware type, kind, master (a bridge, so: an aggregated port) or "": a tap is
        // a tun device that carries Ethernet, a macvlan's lower device is its link, not its master.
        const std::tuple<const char*, bool, unsigned short, const char*, const char*> expected[] = {
            {"lo", true, ARPHRD_LOOPBACK, "", ""},
            {"ltbr0", true, ARPHRD_ETHER, "bridge", ""},
            {"ltp1", false, ARPHRD_ETHER, "veth", bReleased ? "" : "ltbr0"},
            {"ltp2", false, ARPHRD_ETHER, "veth", "ltbr0"},
            {"ltp2x", false, ARPHRD_ETHER, "veth", ""},
            {"lttun0", true, ARPHRD_NONE, "tun", ""},
            {"lttap0", false, ARPHRD_ETHER, "tun", ""},
            {"ltmv0", false, ARPHRD_ETHER, "macvlan", ""},
        };
        for (const auto& [szName, bUp, nType, szKind, szMaster] : expected) {
            SCOPED_TRACE(testing::Message() << szName << (bReleased ? " released" : ""));
            const LinkRecord* pLink = table.Find(szName);
            ASSERT_NE(pLink, nullptr);
            EXPECT_EQ(pLink->nType, nType);
            EXPECT_EQ(pLink->strKind, szKind);
            EXPECT_EQ(pLink->nMasterIndex, static_cast<int>(if_nametoindex(szMaster)));
            EXPECT_EQ(table.IsAggregatedPort(*pLink), *szMaster != '\0');
            EXPECT_EQ((pLink->nFlags & IFF_UP) != 0, bUp);
        }
    }
}

// Eighty veth devices make a dump of well over 32 KiB, the most the kernel puts in one datagram,
// so the table must read on until the dump's end: every device once, under the kernel's index.
TEST_F(LinkTableLive, DumpOverManyDatagrams) {
    ShOk("for i in $(seq 1 40); do echo \"link add ltm$i type veth peer name ltm${i}x\"; done | "
         "ip -batch -");
    const CLinkTable table;
    std::multiset<std::string> names;
    for (const LinkRecord& link : table.GetAll()) {
        EXPECT_EQ(link.nIndex, static_cast<int>(if_nametoindex(link.strName.c_str())));
        if (link.strName.starts_with("ltm")) {
            EXPECT_EQ(link.strKind, "veth") << link.strName;
        }
        names.insert(link.strName);
    }
    std::istringstream listed(ShOut("ip -o link show | sed 's/^[0-9]*: \\([^:@]*\\).*/\\1/'"));
    EXPECT_EQ(names, std::multiset<std::string>(std::istream_iterator<std::string>(listed), {}));
}

} // namespace
