#include "UserTunnels.h"

#include "Netlink.h"
#include "ZarnException.h"
#include "ZarnFd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <linux/if.h>
#include <linux/sock_diag.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

std::string ParseTunFdinfo(std::string_view text) {
    constexpr std::string_view kKey = "iff:";
    while (!text.empty()) {
        const size_t nEnd = text.find('\n');
        std::string_view line = text.substr(0, nEnd);
        text = nEnd == std::string_view::npos ? std::string_view() : text.substr(nEnd + 1);
        if (!line.starts_with(kKey)) {
            continue;
        }
        line.remove_prefix(kKey.size());
        while (!line.empty() && (line.front() == '\t' || line.front() == ' ')) {
            line.remove_prefix(1);
        }
        while (!line.empty() &&
               (line.back() == '\t' || line.back() == ' ' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        // A device name is 1 to IFNAMSIZ - 1 bytes without '/', ':' or white space.
        const bool bName =
            !line.empty() && line.size() < IFNAMSIZ && line.find_first_of("/: \t") == line.npos &&
            std::ranges::none_of(line, [](char c) { return static_cast<unsigned char>(c) < 0x20; });
        return bName ? std::string(line) : std::string();
    }
    return {};
}

std::string BuildRouteQuery(uint8_t nFamily, const std::array<uint8_t, 16>& aAddress,
                            uint32_t nSeq) {
    const size_t nAddress = nFamily == AF_INET ? 4 : 16;
    struct {
        nlmsghdr header;
        rtmsg route;
        rtattr destination;
        uint8_t aDestination[16];
    } request{};
    const size_t nLength = NLMSG_LENGTH(sizeof request.route) + RTA_LENGTH(nAddress);
    request.header.nlmsg_len = static_cast<uint32_t>(nLength);
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = nSeq;
    request.route.rtm_family = nFamily;
    request.route.rtm_dst_len = static_cast<unsigned char>(nAddress * 8);
    request.destination.rta_type = RTA_DST;
    request.destination.rta_len = static_cast<unsigned short>(RTA_LENGTH(nAddress));
    std::memcpy(request.aDestination, aAddress.data(), nAddress);
    return std::string(reinterpret_cast<const char*>(&request), nLength);
}

RouteVerdict ParseRouteReply(std::span<const uint8_t> bytes) {
    RouteVerdict verdict;
    const ENetlinkWalk eWalk = ForEachNetlinkMessage(
        bytes.data(), bytes.size(), [&](const nlmsghdr& header, const uint8_t* pMessage) {
            const size_t nPayload = header.nlmsg_len - NLMSG_HDRLEN;
            if (header.nlmsg_type == NLMSG_ERROR) {
                int32_t nError = 0;
                if (nPayload < sizeof nError) {
                    return false;
                }
                std::memcpy(&nError, pMessage + NLMSG_HDRLEN, sizeof nError);
                // The kernel sends errors negated; anything else is no errno.
                verdict.nError = nError < 0 && nError > -4096 ? -nError : EBADMSG;
                verdict.bAnswered = nError != 0;
                return !verdict.bAnswered;
            }
            if (header.nlmsg_type != RTM_NEWROUTE || nPayload < sizeof(rtmsg)) {
                return true;
            }
            int nOut = 0;
            const bool bWhole = ForEachMessageAttribute(
                pMessage, header.nlmsg_len, sizeof(rtmsg),
                [&](unsigned nType, const uint8_t* pPayload, size_t nLength) {
                    uint32_t nIndex = 0;
                    if (nType == RTA_OIF && ReadAttribute(pPayload, nLength, nIndex)) {
                        nOut = nIndex <= INT32_MAX ? static_cast<int>(nIndex) : 0;
                    }
                    return true;
                });
            verdict.nOutIndex = bWhole ? nOut : 0;
            verdict.bAnswered = bWhole;
            return false;
        });
    if (eWalk != ENetlinkWalk::Whole) {
        return {};
    }
    return verdict;
}

namespace {

// A small file's text (/proc's comm and fdinfo files); empty when it cannot be read.
std::string ReadSmallFile(int hDir, const char* szPath) {
    const CZarnFd hFile(::openat(hDir, szPath, O_RDONLY | O_CLOEXEC));
    if (!hFile.IsOpen()) {
        return {};
    }
    char buffer[1024];
    ssize_t nRead = 0;
    do {
        nRead = ::read(hFile.Get(), buffer, sizeof buffer);
    } while (nRead < 0 && errno == EINTR);
    return nRead > 0 ? std::string(buffer, static_cast<size_t>(nRead)) : std::string();
}

struct DirCloser {
    void operator()(DIR* pDir) const { ::closedir(pDir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A process directory's holder record: its tun devices and sockets; false when its descriptors
// may not be read.
bool ReadHolder(int hProcess, TunHolder& holder) {
    const int hFdDir = ::openat(hProcess, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (hFdDir < 0) {
        return errno != EACCES && errno != EPERM;
    }
    const DirPtr pFds(::fdopendir(hFdDir));
    if (!pFds) {
        ::close(hFdDir);
        return false;
    }
    const CZarnFd hFdinfo(::openat(hProcess, "fdinfo", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    while (const dirent* pEntry = ::readdir(pFds.get())) {
        if (pEntry->d_name[0] < '0' || pEntry->d_name[0] > '9') {
            continue;
        }
        char szLink[64];
        const ssize_t nLink = ::readlinkat(hFdDir, pEntry->d_name, szLink, sizeof szLink);
        if (nLink <= 0) {
            continue;
        }
        const std::string_view link(szLink, static_cast<size_t>(nLink));
        if (const uint64_t nInode = ParseSocketLink(link); nInode != 0) {
            holder.vecSockets.push_back(nInode);
        } else if (link == "/dev/net/tun" && hFdinfo.IsOpen()) {
            std::string strTun = ParseTunFdinfo(ReadSmallFile(hFdinfo.Get(), pEntry->d_name));
            if (!strTun.empty() &&
                std::ranges::find(holder.vecTuns, strTun) == holder.vecTuns.end()) {
                holder.vecTuns.push_back(std::move(strTun));
            }
        }
    }
    return true;
}

// One request to the kernel over a fresh netlink socket, its answer's datagrams handed to
// fnRead until it returns true (the answer is complete). Throws CZarnException(errno).
void AskKernel(int nProtocol, const std::string& strRequest,
               const std::function<bool(std::span<const uint8_t>)>& fnRead) {
    const CZarnFd hSocket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, nProtocol));
    if (!hSocket.IsOpen()) {
        throw CZarnException(errno);
    }
    // The kernel answers at once; this only turns a lost answer into a failure.
    const timeval timeout{1, 0};
    ::setsockopt(hSocket.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(hSocket.Get(), strRequest.data(), strRequest.size(), 0,
                 reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(strRequest.size())) {
        throw CZarnException(errno);
    }
    std::vector<uint8_t> buffer(32768);
    for (;;) {
        sockaddr_nl sender{};
        socklen_t nSender = sizeof sender;
        ssize_t nSize =
            ::recvfrom(hSocket.Get(), buffer.data(), buffer.size(), MSG_PEEK | MSG_TRUNC,
                       reinterpret_cast<sockaddr*>(&sender), &nSender);
        if (nSize < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw CZarnException(errno);
        }
        if (static_cast<size_t>(nSize) > buffer.size()) {
            buffer.resize(static_cast<size_t>(nSize));
        }
        nSize = ::recv(hSocket.Get(), buffer.data(), buffer.size(), 0);
        if (nSize < 0) {
            throw CZarnException(errno);
        }
        // Only the kernel answers; another process may send to our port.
        if (sender.nl_pid == 0 &&
            fnRead(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(nSize)))) {
            return;
        }
    }
}

// The connected TCP and UDP sockets of the host whose inodes are wanted.
std::vector<ConnectedSocket> DumpConnected(const std::set<uint64_t>& wanted) {
    std::vector<ConnectedSocket> sockets;
    uint32_t nSeq = 0;
    for (const uint8_t nFamily : {uint8_t{AF_INET}, uint8_t{AF_INET6}}) {
        for (const uint8_t nProtocol : {uint8_t{IPPROTO_UDP}, uint8_t{IPPROTO_TCP}}) {
            // A connected UDP socket is in the established state too.
            AskKernel(NETLINK_SOCK_DIAG,
                      BuildSocketDump(nFamily, nProtocol, 1U << TCP_ESTABLISHED, ++nSeq),
                      [&](std::span<const uint8_t> bytes) {
                          std::vector<DiagReply> replies;
                          std::string strError;
                          if (!ParseDiagReplies(bytes, replies, strError)) {
                              throw CZarnException(EBADMSG);
                          }
                          for (const DiagReply& reply : replies) {
                              if (reply.eKind == DiagReply::EKind::Error) {
                                  throw CZarnException(-reply.nError);
                              }
                              if (reply.eKind == DiagReply::EKind::Done) {
                                  return true;
                              }
                              if (wanted.contains(reply.socket.nInode)) {
                                  sockets.push_back({reply.socket, nProtocol == IPPROTO_UDP, 0});
                              }
                          }
                          return false;
                      });
        }
    }
    return sockets;
}

// A socket's peer as the packets to it carry it, with its family (AF_INET, AF_INET6): an IPv4
// peer of a dual-stack socket is IPv4, its address in the first four bytes.
std::pair<uint8_t, std::array<uint8_t, 16>> PeerOnTheWire(const SocketRecord& socket) {
    if (socket.nFamily == AF_INET6 && !IsIPv4Mapped(socket.aRemote)) {
        return {AF_INET6, socket.aRemote};
    }
    std::array<uint8_t, 16> aPeer{};
    const long nFrom = socket.nFamily == AF_INET6 ? 12 : 0;
    std::copy_n(socket.aRemote.begin() + nFrom, 4, aPeer.begin());
    return {AF_INET, aPeer};
}

// The device this host's packets to the socket's peer leave through: the one it is bound to, or
// the route's; 0 when neither is known.
int FindOutDevice(const SocketRecord& socket, uint32_t nSeq) {
    if (socket.nBoundIf != 0) {
        return static_cast<int>(socket.nBoundIf);
    }
    const auto [nFamily, aPeer] = PeerOnTheWire(socket);
    RouteVerdict verdict;
    AskKernel(NETLINK_ROUTE, BuildRouteQuery(nFamily, aPeer, nSeq),
              [&](std::span<const uint8_t> bytes) {
                  verdict = ParseRouteReply(bytes);
                  return true;
              });
    return verdict.nOutIndex;
}

std::string DescribePeer(const SocketRecord& socket) {
    char szAddress[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(socket.nFamily, socket.aRemote.data(), szAddress, sizeof szAddress);
    std::string strPeer;
    if (socket.nFamily == AF_INET6) {
        strPeer.append(1, '[').append(szAddress).append(1, ']');
    } else {
        strPeer.append(szAddress);
    }
    return strPeer.append(1, ':').append(std::to_string(socket.nRemotePort));
}

} // namespace

TunHolderScan ScanTunHolders(const char* szProc) {
    TunHolderScan scan;
    // A tun device is named within its network namespace: a holder in another one (a container's
    // VPN) holds another device of the same name.
    const auto readNetns = [](int hDir, const char* szPath) {
        char szLink[64];
        const ssize_t nLink = ::readlinkat(hDir, szPath, szLink, sizeof szLink);
        return nLink > 0 ? std::string(szLink, static_cast<size_t>(nLink)) : std::string();
    };
    const std::string strOwnNetns = readNetns(AT_FDCWD, "/proc/thread-self/ns/net");
    const DirPtr pProc(::opendir(szProc));
    if (!pProc) {
        return scan;
    }
    const int hProc = ::dirfd(pProc.get());
    while (const dirent* pEntry = ::readdir(pProc.get())) {
        if (pEntry->d_name[0] < '1' || pEntry->d_name[0] > '9') {
            continue; // not a process
        }
        const CZarnFd hProcess(::openat(hProc, pEntry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!hProcess.IsOpen()) {
            continue; // gone meanwhile
        }
        TunHolder holder;
        if (!ReadHolder(hProcess.Get(), holder)) {
            ++scan.nUnreadable;
            continue;
        }
        if (holder.vecTuns.empty() || readNetns(hProcess.Get(), "ns/net") != strOwnNetns) {
            continue;
        }
        holder.nPid = std::atoi(pEntry->d_name);
        holder.strCommand = ReadSmallFile(hProcess.Get(), "comm");
        while (!holder.strCommand.empty() && holder.strCommand.back() == '\n') {
            holder.strCommand.pop_back();
        }
        if (holder.strCommand.empty()) {
            holder.strCommand = "process " + std::string(pEntry->d_name);
        }
        scan.holders.push_back(std::move(holder));
    }
    return scan;
}

OuterFlow OuterFlowOf(const SocketRecord& socket, uint8_t nProtocol) {
    const auto [nFamily, aPeer] = PeerOnTheWire(socket);
    OuterFlow outer;
    outer.nPort = socket.nRemotePort;
    outer.nProtocol = nProtocol;
    outer.nRemoteFamily = nFamily == AF_INET6 ? 6 : 4;
    outer.aRemote = aPeer;
    return outer;
}

TunVerdict DecideTunVerdict(const LinkRecord& tun, const std::vector<const TunHolder*>& holders,
                            const std::vector<ConnectedSocket>& sockets, const CLinkTable& links,
                            size_t nUnreadable) {
    if (holders.empty()) {
        return {"", nUnreadable != 0 ? "held by no process whose descriptors Orvek may read"
                                     : "held by no process"};
    }
    std::string strHolders;
    bool bLocalOnly = false;
    for (const TunHolder* pHolder : holders) {
        strHolders.append(strHolders.empty() ? "" : ", ").append(pHolder->strCommand);
        for (const uint64_t nInode : pHolder->vecSockets) {
            const auto it = std::ranges::find_if(sockets, [nInode](const ConnectedSocket& socket) {
                return socket.socket.nInode == nInode;
            });
            if (it == sockets.end()) {
                continue;
            }
            const LinkRecord* pOut = links.FindIndex(it->nOutIndex);
            if (pOut == nullptr || pOut->nIndex == tun.nIndex ||
                (pOut->nFlags & IFF_LOOPBACK) != 0) {
                // Its peer is on this host (or behind the tun itself): nothing leaves.
                bLocalOnly = true;
                continue;
            }
            const LinkRecord* pLowest = links.FindLowest(*pOut);
            return {(pLowest != nullptr ? pLowest : pOut)->strName,
                    pHolder->strCommand + " sends it over " + (it->bUdp ? "UDP" : "TCP") + " to " +
                        DescribePeer(it->socket),
                    OuterFlowOf(it->socket, it->bUdp ? IPPROTO_UDP : IPPROTO_TCP)};
        }
    }
    return {"", "held by " + strHolders +
                    (bLocalOnly ? ", whose connections stay on this host"
                                : ", which has no UDP or TCP connection")};
}

const std::map<std::string, TunVerdict>&
CUserTunnels::Update(const CLinkTable& links, std::chrono::steady_clock::time_point now) {
    std::vector<const LinkRecord*> due;
    std::set<std::string> present, fresh;
    for (const LinkRecord& link : links.GetAll()) {
        if (link.strKind != "tun" || (link.nFlags & IFF_UP) == 0) {
            continue;
        }
        present.insert(link.strName);
        const auto it = m_tracked.find(link.strName);
        if (it == m_tracked.end() || it->second.nIndex != link.nIndex) {
            m_tracked[link.strName] = {link.nIndex, now, kFirstRecheck};
            due.push_back(&link);
            fresh.insert(link.strName);
        } else if (now >= it->second.tNext) {
            due.push_back(&link);
        }
    }
    std::erase_if(m_tracked, [&](const auto& entry) { return !present.contains(entry.first); });
    std::erase_if(m_verdicts, [&](const auto& entry) { return !present.contains(entry.first); });
    if (due.empty()) {
        return m_verdicts;
    }

    const TunHolderScan scan = ScanTunHolders();
    std::set<uint64_t> wanted;
    for (const TunHolder& holder : scan.holders) {
        wanted.insert(holder.vecSockets.begin(), holder.vecSockets.end());
    }
    std::vector<ConnectedSocket> sockets;
    std::string strFailure;
    try {
        if (!wanted.empty()) {
            sockets = DumpConnected(wanted);
            uint32_t nSeq = 0;
            for (ConnectedSocket& socket : sockets) {
                socket.nOutIndex = FindOutDevice(socket.socket, ++nSeq);
            }
        }
    } catch (const CZarnException& e) {
        strFailure = "its holder's sockets could not be read (" + DescribeError(e) + ")";
    }
    for (const LinkRecord* pTun : due) {
        std::vector<const TunHolder*> holders;
        for (const TunHolder& holder : scan.holders) {
            if (std::ranges::find(holder.vecTuns, pTun->strName) != holder.vecTuns.end()) {
                holders.push_back(&holder);
            }
        }
        TunVerdict decided =
            strFailure.empty() || holders.empty()
                ? DecideTunVerdict(*pTun, holders, sockets, links, scan.nUnreadable)
                : TunVerdict{"", strFailure};
        Tracked& tracked = m_tracked[pTun->strName];
        TunVerdict& verdict = m_verdicts[pTun->strName];
        if (!decided.strCarrier.empty() || verdict.strCarrier.empty() ||
            fresh.contains(pTun->strName)) {
            verdict = std::move(decided);
        }
        if (!verdict.strCarrier.empty()) {
            tracked.tNext = now + kLastRecheck;
        } else {
            tracked.tNext = now + tracked.wait;
            tracked.wait = std::min(tracked.wait * 2, std::chrono::seconds(kLastRecheck));
        }
    }
    return m_verdicts;
}

std::chrono::steady_clock::time_point CUserTunnels::GetNextCheck() const {
    auto tNext = std::chrono::steady_clock::time_point::max();
    for (const auto& entry : m_tracked) {
        tNext = std::min(tNext, entry.second.tNext);
    }
    return tNext;
}
