#include "HostShapes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <netdb.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>

namespace orvektest {

namespace {

// Runs a set-up script in the calling thread's namespace, stopping at the first failing command;
// throws with its output then, as nothing sensible can follow a half-made shape.
void SetUp(const std::string& strScript) {
    static const char s_szMark[] = "\nset-up exit ";
    const std::string strOutput =
        ShOut("(\nset -e\n" + strScript + "\n) 2>&1; printf '\\nset-up exit %d\\n' $?");
    const size_t nAt = strOutput.rfind(s_szMark);
    if (nAt == std::string::npos || std::atoi(strOutput.c_str() + nAt + sizeof s_szMark - 1) != 0) {
        throw std::runtime_error("set-up failed:\n" + strScript + "\n--- output:\n" + strOutput);
    }
}

// A shell function that brings a link up sending nothing of its own: no IPv6 link-local address
// (so no router solicitation and no DAD), no router advertisements taken, and with ARP off no
// solicited-node group joined whose MLD reports would be traffic.
const char* const g_szQuietUp =
    "quiet_up() {\n"
    "  for s in addr_gen_mode=1 accept_ra=0 router_solicitations=0 accept_dad=0 "
    "dad_transmits=0; do sysctl -qw net.ipv6.conf.$1.$s; done\n"
    "  ip link set dev $1 multicast off arp off up\n"
    "}\n";

std::string ReadSysctl(const std::string& strKey) {
    std::string strValue = ShOut("sysctl -n " + strKey);
    while (!strValue.empty() && (strValue.back() == '\n' || strValue.back() == ' ')) {
        strValue.pop_back();
    }
    if (strValue.empty()) {
        throw std::runtime_error("cannot read " + strKey);
    }
    return strKey + "=" + strValue;
}

// Container addresses end in 10 + N; so does the container's hardware address, in hex.
std::string ContainerMac(size_t nContainer) {
    char szMac[32];
    std::snprintf(szMac, sizeof szMac, "02:00:5e:00:61:%02zx", 10 + nContainer);
    return szMac;
}

constexpr const char* kBridgeMac = "02:00:5e:00:61:01";

// Shell lines, one command each.
std::string Script(std::initializer_list<std::string> lines) {
    std::string strScript;
    for (const std::string& strLine : lines) {
        strScript += strLine + "\n";
    }
    return strScript;
}

std::string Neighbour(const std::string& strAddress, const std::string& strMac,
                      const std::string& strDevice) {
    return "ip neigh replace " + strAddress + " lladdr " + strMac + " dev " + strDevice +
           " nud permanent";
}

size_t CheckedCount(size_t nContainers) {
    if (nContainers < 1 || nContainers > 99) {
        throw std::runtime_error("1 to 99 containers, not " + std::to_string(nContainers));
    }
    return nContainers;
}

} // namespace

CShellUndo::~CShellUndo() {
    Sh(m_strCommand);
}

CUplink::CUplink()
    : m_undo("ip link del " + std::string(kName) + " 2>/dev/null; sysctl -qw " +
             ReadSysctl("net.ipv4.ip_forward") + " " + ReadSysctl("net.ipv6.conf.all.forwarding") +
             " " + ReadSysctl("net.ipv6.conf.default.forwarding")) {
    // all.forwarding also sets default.forwarding, which then goes back off (see the class).
    SetUp("sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1 "
          "net.ipv6.conf.default.forwarding=0");
    MakeVethPair(m_internet, {kName, kHostIPv4, kHostIPv6},
                 {kPeerName, kInternetIPv4, kInternetIPv6});
    SetUp(Script({
        "ip route add default via " + std::string(kInternetIPv4) + " dev " + kName,
        "ip -6 route add default via " + std::string(kInternetIPv6) + " dev " + kName,
    }));
}

std::string CContainerBridge::GetIPv4(size_t nContainer) {
    return "10.61.0." + std::to_string(10 + nContainer);
}

std::string CContainerBridge::GetIPv6(size_t nContainer) {
    return "fd61::" + std::to_string(10 + nContainer);
}

std::string CContainerBridge::GetPortName(size_t nContainer) {
    return "vethc" + std::to_string(nContainer);
}

CContainerBridge::CContainerBridge(size_t nContainers)
    : m_containers(CheckedCount(nContainers)),
      m_undo("nft delete table inet orvek_masquerade 2>/dev/null; ip link del " +
             std::string(kName) + " 2>/dev/null; for n in $(seq 1 " + std::to_string(nContainers) +
             "); do ip link del vethc$n 2>/dev/null; done") {
    const std::string strBridge = kName;
    SetUp(g_szQuietUp +
          Script({
              "ip link add " + strBridge + " address " + kBridgeMac +
                  " type bridge stp_state 0 forward_delay 0 mcast_snooping 0",
              "quiet_up " + strBridge,
              "ip addr add " + std::string(kBridgeIPv4) + "/24 dev " + strBridge,
              "ip addr add " + std::string(kBridgeIPv6) + "/64 dev " + strBridge + " nodad",
              "nft -f - <<'EOF'",
              "table inet orvek_masquerade {",
              "    chain postrouting {",
              "        type nat hook postrouting priority srcnat; policy accept;",
              "        oifname \"up0\" ip saddr 10.61.0.0/24 masquerade",
              "        oifname \"up0\" ip6 saddr fd61::/64 masquerade",
              "    }",
              "}",
              "EOF",
          }));
    for (size_t n = 1; n <= nContainers; ++n) {
        const std::string strPort = GetPortName(n), strMac = ContainerMac(n);
        // The port carries frames only: without IPv6 it has no address to announce.
        SetUp(Script({
            "ip link add " + strPort + " type veth peer name eth0 address " + strMac + " netns " +
                GetContainer(n).GetPath(),
            "sysctl -qw net.ipv6.conf." + strPort + ".disable_ipv6=1",
            "ip link set dev " + strPort + " master " + strBridge + " multicast off arp off up",
            "bridge link set dev " + strPort + " flood off mcast_flood off",
            "bridge fdb replace " + strMac + " dev " + strPort + " master static",
            Neighbour(GetIPv4(n), strMac, strBridge),
            Neighbour(GetIPv6(n), strMac, strBridge),
        }));
        std::string strContainer =
            g_szQuietUp +
            Script({
                "quiet_up eth0",
                "ip addr add " + GetIPv4(n) + "/24 dev eth0",
                "ip addr add " + GetIPv6(n) + "/64 dev eth0 nodad",
                Neighbour(kBridgeIPv4, kBridgeMac, "eth0"),
                Neighbour(kBridgeIPv6, kBridgeMac, "eth0"),
                "ip route add default via " + std::string(kBridgeIPv4) + " dev eth0",
                "ip -6 route add default via " + std::string(kBridgeIPv6) + " dev eth0",
            });
        for (size_t m = 1; m <= nContainers; ++m) {
            if (m != n) {
                strContainer += Script({
                    Neighbour(GetIPv4(m), ContainerMac(m), "eth0"),
                    Neighbour(GetIPv6(m), ContainerMac(m), "eth0"),
                });
            }
        }
        RunInContainer(n, [&] { SetUp(strContainer); });
    }
}

CUdpSourceSink::CUdpSourceSink(const std::string& strAddress, uint16_t nPort) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* pInfo = nullptr;
    if (getaddrinfo(strAddress.c_str(), std::to_string(nPort).c_str(), &hints, &pInfo) != 0) {
        throw std::runtime_error("not an address: " + strAddress);
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> info(pInfo, freeaddrinfo);
    m_fdSocket.Reset(socket(pInfo->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!m_fdSocket.IsOpen() || bind(m_fdSocket.Get(), pInfo->ai_addr, pInfo->ai_addrlen) != 0) {
        throw std::runtime_error("UDP sink on " + strAddress + ": " + std::strerror(errno));
    }
    m_worker = std::thread(&CUdpSourceSink::Serve, this);
}

CUdpSourceSink::~CUdpSourceSink() {
    m_stopEvent.Set();
    m_worker.join();
}

void CUdpSourceSink::Serve() {
    for (;;) {
        pollfd fds[2] = {{m_fdSocket.Get(), POLLIN, 0}, {m_stopEvent.GetFd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        // A one-byte read consumes the whole datagram.
        sockaddr_storage source{};
        socklen_t nSourceLength = sizeof source;
        char c;
        if (recvfrom(m_fdSocket.Get(), &c, 1, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&source),
                     &nSourceLength) < 0) {
            continue;
        }
        char szHost[NI_MAXHOST] = "";
        getnameinfo(reinterpret_cast<const sockaddr*>(&source), nSourceLength, szHost,
                    sizeof szHost, nullptr, 0, NI_NUMERICHOST);
        {
            std::lock_guard<std::mutex> guard(m_mtx);
            m_sources.insert(szHost);
        }
        ++m_nReceived;
    }
}

size_t CUdpSourceSink::WaitFor(size_t nCount) {
    WaitUntil([this, nCount] { return m_nReceived.load() >= nCount; });
    return m_nReceived.load();
}

std::set<std::string> CUdpSourceSink::GetSources() const {
    std::lock_guard<std::mutex> guard(m_mtx);
    return m_sources;
}

} // namespace orvektest
