#include "SockDiag.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

std::string MakeRequest(const inet_diag_req_v2& request, uint16_t nFlags, uint32_t nSeq) {
    DiagRequest message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | nFlags);
    message.header.nlmsg_seq = nSeq;
    message.request = request;
    return std::string(reinterpret_cast<const char*>(&message), sizeof message);
}

void PutEnd(__be32* pAddress, __be16& nPort, const std::array<uint8_t, 16>& aAddress,
            uint16_t nHostPort) {
    std::memcpy(pAddress, aAddress.data(), 16);
    nPort = htons(nHostPort);
}

void GetEnd(const __be32* pAddress, __be16 nPort, std::array<uint8_t, 16>& aAddress,
            uint16_t& nHostPort, uint8_t nFamily) {
    std::memcpy(aAddress.data(), pAddress, nFamily == AF_INET ? 4 : 16);
    nHostPort = ntohs(nPort);
}

} // namespace

std::string BuildSocketQuery(const SocketRecord& flow, uint8_t nProtocol, uint32_t nSeq) {
    inet_diag_req_v2 request{};
    request.sdiag_family = flow.nFamily;
    request.sdiag_protocol = nProtocol;
    request.idiag_states = ~0U;
    request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    const bool bLocalFirst = nProtocol == IPPROTO_TCP;
    PutEnd(request.id.idiag_src, request.id.idiag_sport, bLocalFirst ? flow.aLocal : flow.aRemote,
           bLocalFirst ? flow.nLocalPort : flow.nRemotePort);
    PutEnd(request.id.idiag_dst, request.id.idiag_dport, bLocalFirst ? flow.aRemote : flow.aLocal,
           bLocalFirst ? flow.nRemotePort : flow.nLocalPort);
    return MakeRequest(request, 0, nSeq);
}

std::string BuildSocketDump(uint8_t nFamily, uint8_t nProtocol, uint32_t nStates, uint32_t nSeq) {
    inet_diag_req_v2 request{};
    request.sdiag_family = nFamily;
    request.sdiag_protocol = nProtocol;
    request.idiag_states = nStates;
    return MakeRequest(request, NLM_F_DUMP, nSeq);
}

bool ParseDiagReplies(std::span<const uint8_t> bytes, std::vector<DiagReply>& replies,
                      std::string& strError) {
    while (!bytes.empty()) {
        nlmsghdr header;
        if (bytes.size() < sizeof header) {
            strError = "a netlink header cut short";
            return false;
        }
        std::memcpy(&header, bytes.data(), sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > bytes.size()) {
            strError = "a netlink message of a wrong length";
            return false;
        }
        const std::span<const uint8_t> payload =
            bytes.subspan(sizeof header, header.nlmsg_len - sizeof header);
        DiagReply reply;
        reply.nSeq = header.nlmsg_seq;
        if (header.nlmsg_type == NLMSG_DONE) {
            reply.eKind = DiagReply::EKind::Done;
            replies.push_back(reply);
        } else if (header.nlmsg_type == NLMSG_ERROR) {
            nlmsgerr error;
            if (payload.size() < sizeof error.error) {
                strError = "a netlink error cut short";
                return false;
            }
            std::memcpy(&error.error, payload.data(), sizeof error.error);
            reply.eKind = error.error == 0 ? DiagReply::EKind::Done : DiagReply::EKind::Error;
            reply.nError = error.error;
            replies.push_back(reply);
        } else if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            inet_diag_msg message;
            if (payload.size() < sizeof message) {
                strError = "a socket description cut short";
                return false;
            }
            std::memcpy(&message, payload.data(), sizeof message);
            SocketRecord& socket = reply.socket;
            reply.eKind = DiagReply::EKind::Socket;
            socket.nFamily = message.idiag_family;
            if (socket.nFamily != AF_INET && socket.nFamily != AF_INET6) {
                strError = "a socket of an unknown family";
                return false;
            }
            socket.nState = message.idiag_state;
            socket.nUid = message.idiag_uid;
            socket.nInode = message.idiag_inode;
            socket.nBoundIf = message.id.idiag_if;
            GetEnd(message.id.idiag_src, message.id.idiag_sport, socket.aLocal, socket.nLocalPort,
                   socket.nFamily);
            GetEnd(message.id.idiag_dst, message.id.idiag_dport, socket.aRemote, socket.nRemotePort,
                   socket.nFamily);
            // Attributes follow, each aligned to four bytes.
            std::span<const uint8_t> attributes = payload.subspan(
                NLMSG_ALIGN(sizeof message) < payload.size() ? NLMSG_ALIGN(sizeof message)
                                                             : payload.size());
            while (attributes.size() >= sizeof(nlattr)) {
                nlattr attribute;
                std::memcpy(&attribute, attributes.data(), sizeof attribute);
                if (attribute.nla_len < sizeof attribute || attribute.nla_len > attributes.size()) {
                    strError = "a socket attribute of a wrong length";
                    return false;
                }
                if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_CGROUP_ID &&
                    attribute.nla_len >= sizeof attribute + sizeof socket.nCgroupId) {
                    std::memcpy(&socket.nCgroupId, attributes.data() + sizeof attribute,
                                sizeof socket.nCgroupId);
                    socket.bHasCgroup = true;
                }
                const size_t nStep = NLA_ALIGN(attribute.nla_len);
                attributes =
                    attributes.subspan(nStep < attributes.size() ? nStep : attributes.size());
            }
            replies.push_back(reply);
        }
        // Other types (NLMSG_NOOP, NLMSG_OVERRUN) carry nothing for us.
        const size_t nStep = NLMSG_ALIGN(header.nlmsg_len);
        bytes = bytes.subspan(nStep < bytes.size() ? nStep : bytes.size());
    }
    return true;
}

uint64_t ParseSocketLink(std::string_view link) {
    constexpr std::string_view kPrefix = "socket:[";
    if (!link.starts_with(kPrefix) || !link.ends_with(']')) {
        return 0;
    }
    const std::string_view digits = link.substr(kPrefix.size(), link.size() - kPrefix.size() - 1);
    uint64_t nInode = 0;
    const auto [pEnd, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), nInode);
    return error == std::errc() && pEnd == digits.data() + digits.size() ? nInode : 0;
}

bool IsIPv4Mapped(const std::array<uint8_t, 16>& aAddress) {
    constexpr std::array<uint8_t, 12> kPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::equal(kPrefix.begin(), kPrefix.end(), aAddress.begin());
}
