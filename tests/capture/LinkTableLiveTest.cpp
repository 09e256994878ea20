// The link table on the kernel's own dump, in this test's private namespace (its devices vanish
// with it). The table's kinds and ports on crafted messages are in LinkTableTest; the meter's
// host-shape tests follow real ports joining and leaving a bridge.
#include "LinkTable.h"
#include "NetNs.h"

#include <gtest/gtest.h>
#include <iterator>
#include <net/if.h>
#include <set>
#include <sstream>

using namespace orvektest;

namespace {

// Eighty veth devices make a dump of well over 32 KiB, the most the kernel puts in one datagram,
// so the table must read on until the dump's end: every device once, under the kernel's index.
// One veth is a bridge's port, the bridge its master; its peer, which names it as its link, is
// no port.
TEST(LinkTableLive, DumpOverManyDatagrams) {
    ShOk("for i in $(seq 1 40); do echo \"link add ltm$i type veth peer name ltm${i}x\"; done | "
         "ip -batch -\nip link add ltbr0 type bridge && ip link set ltm1 master ltbr0");
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
    ASSERT_TRUE(table.Find("ltm1") != nullptr && table.Find("ltm1x") != nullptr);
    EXPECT_EQ(table.Find("ltm1")->nMasterIndex, static_cast<int>(if_nametoindex("ltbr0")));
    EXPECT_TRUE(table.IsAggregatedPort(*table.Find("ltm1")));
    EXPECT_FALSE(table.IsAggregatedPort(*table.Find("ltm1x")));
}

} // namespace
