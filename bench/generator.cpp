// Sends a fixed number of identical UDP/IPv4 frames out of one interface through an AF_PACKET
// socket, batched with sendmmsg, at full speed or at a fixed rate. The frames are addressed to
// the peer's MAC but to an IPv4 address nobody holds, so the receiving host drops them in IP
// input without answering (forwarding is off in a fresh namespace): the link carries nothing but
// these frames.
//
// Usage: orvek_bench_generator IFACE DST_MAC FRAME_BYTES COUNT RATE_PPS(0 = full speed)
// Environment: ORVEK_GENERATOR_PROTOCOL, the IP protocol number (17, UDP; 1 makes the same frames
// ICMP, which a capture filtered for TCP and UDP never sees).
// Prints: sent=N seconds=S pps=P

#include "ZarnFd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kBatch = 64;
constexpr size_t kMinFrame = 14 + 20 + 8;
constexpr size_t kMaxFrame = 1514;

bool ParseMac(const char* szMac, uint8_t* pbMac) {
    unsigned n[6];
    if (std::sscanf(szMac, "%x:%x:%x:%x:%x:%x", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) != 6) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        pbMac[i] = static_cast<uint8_t>(n[i]);
    }
    return true;
}

uint16_t IpChecksum(const uint8_t* pb, size_t nLength) {
    uint32_t nSum = 0;
    for (size_t i = 0; i + 1 < nLength; i += 2) {
        nSum += static_cast<uint32_t>(pb[i] << 8 | pb[i + 1]);
    }
    while (nSum >> 16) {
        nSum = (nSum & 0xffff) + (nSum >> 16);
    }
    return static_cast<uint16_t>(~nSum);
}

// One Ethernet + IPv4 + UDP frame of nFrame bytes (no FCS), source 10.231.0.1, destination
// 10.231.0.99 (held by nobody), ports 40000 -> 9.
std::vector<uint8_t> MakeFrame(const uint8_t* pbDst, const uint8_t* pbSrc, size_t nFrame,
                               uint8_t nProtocol) {
    std::vector<uint8_t> frame(nFrame, 0);
    uint8_t* p = frame.data();
    std::memcpy(p, pbDst, 6);
    std::memcpy(p + 6, pbSrc, 6);
    p[12] = 0x08;
    p[13] = 0x00;
    uint8_t* pIp = p + 14;
    const size_t nIp = nFrame - 14;
    pIp[0] = 0x45;
    pIp[2] = static_cast<uint8_t>(nIp >> 8);
    pIp[3] = static_cast<uint8_t>(nIp);
    pIp[8] = 64;
    pIp[9] = nProtocol;
    const uint8_t src[4] = {10, 231, 0, 1};
    const uint8_t dst[4] = {10, 231, 0, 99};
    std::memcpy(pIp + 12, src, 4);
    std::memcpy(pIp + 16, dst, 4);
    const uint16_t nSum = IpChecksum(pIp, 20);
    pIp[10] = static_cast<uint8_t>(nSum >> 8);
    pIp[11] = static_cast<uint8_t>(nSum);
    uint8_t* pUdp = pIp + 20;
    const size_t nUdp = nIp - 20;
    pUdp[0] = 40000 >> 8;
    pUdp[1] = 40000 & 0xff;
    pUdp[3] = 9;
    pUdp[4] = static_cast<uint8_t>(nUdp >> 8);
    pUdp[5] = static_cast<uint8_t>(nUdp);
    return frame;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s IFACE DST_MAC FRAME_BYTES COUNT RATE_PPS\n", argv[0]);
        return 2;
    }
    const char* szIface = argv[1];
    uint8_t dstMac[6];
    const size_t nFrame = std::strtoul(argv[3], nullptr, 10);
    const uint64_t nCount = std::strtoull(argv[4], nullptr, 10);
    const double dRate = std::strtod(argv[5], nullptr);
    if (!ParseMac(argv[2], dstMac) || nFrame < kMinFrame || nFrame > kMaxFrame) {
        std::fprintf(stderr, "bad MAC or frame size (%zu..%zu)\n", kMinFrame, kMaxFrame);
        return 2;
    }
    const unsigned nIndex = if_nametoindex(szIface);
    if (nIndex == 0) {
        std::perror(szIface);
        return 1;
    }
    const CZarnFd hSocket(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (!hSocket.IsOpen()) {
        std::perror("socket");
        return 1;
    }
    // Straight to the driver: the queueing discipline is not what is measured.
    const int nOne = 1;
    ::setsockopt(hSocket.Get(), SOL_PACKET, PACKET_QDISC_BYPASS, &nOne, sizeof nOne);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = 0; // send only: no receive queue to fill
    address.sll_ifindex = static_cast<int>(nIndex);
    if (::bind(hSocket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        return 1;
    }
    const uint8_t srcMac[6] = {0x02, 0x00, 0x00, 0xbe, 0x0c, 0x01};
    const char* szProtocol = std::getenv("ORVEK_GENERATOR_PROTOCOL");
    const auto nProtocol =
        static_cast<uint8_t>(szProtocol != nullptr ? std::strtoul(szProtocol, nullptr, 10) : 17);
    std::vector<uint8_t> frame = MakeFrame(dstMac, srcMac, nFrame, nProtocol);

    iovec iov{frame.data(), frame.size()};
    std::vector<mmsghdr> messages(kBatch);
    for (auto& message : messages) {
        message.msg_hdr = {};
        message.msg_hdr.msg_iov = &iov;
        message.msg_hdr.msg_iovlen = 1;
    }

    using Clock = std::chrono::steady_clock;
    const auto tStart = Clock::now();
    uint64_t nSent = 0;
    while (nSent < nCount) {
        if (dRate > 0) {
            // Keeps the average rate; a late batch is not made up for with a burst larger than one.
            const auto tDue = tStart + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(nSent / dRate));
            while (Clock::now() < tDue) {
            }
        }
        const auto nWant = static_cast<unsigned>(std::min<uint64_t>(kBatch, nCount - nSent));
        const int nDone = ::sendmmsg(hSocket.Get(), messages.data(), nWant, 0);
        if (nDone < 0) {
            if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) {
                continue;
            }
            std::perror("sendmmsg");
            return 1;
        }
        nSent += static_cast<uint64_t>(nDone);
    }
    const double dSeconds = std::chrono::duration<double>(Clock::now() - tStart).count();
    std::printf("sent=%llu seconds=%.3f pps=%.0f\n", static_cast<unsigned long long>(nSent),
                dSeconds, nSent / dSeconds);
    return 0;
}
