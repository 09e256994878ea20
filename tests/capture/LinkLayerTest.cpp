#include "LinkLayer.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <pcap/dlt.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using P = ENetworkProtocol;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const Bytes kMacs(12, 0x11);
Bytes Type(uint16_t nType) {
    return {static_cast<uint8_t>(nType >> 8), static_cast<uint8_t>(nType)};
}
Bytes Tag(uint16_t nTpid) {
    return Cat({Type(nTpid), {0x00, 0x07}});
}
// PPPoE session header: version/type, code, session id, length.
const Bytes kPppoeSession = {0x11, 0x00, 0x12, 0x34, 0x00, 0x40};

struct Sample {
    const char* szName;
    int nLinkType;
    Bytes bytes; // exactly what a verdict needs to see
    uint32_t nHeaderLength;
    ENetworkProtocol eProtocol;
    // Bytes from which on the protocol is known; -1: all of them.
    int nNeeded = -1;
};

std::vector<Sample> Samples() {
    return {
        {"ethernet ipv4", DLT_EN10MB, Cat({kMacs, Type(0x0800)}), 14, P::IPv4},
        {"ethernet ipv6", DLT_EN10MB, Cat({kMacs, Type(0x86DD)}), 14, P::IPv6},
        {"ethernet arp", DLT_EN10MB, Cat({kMacs, Type(0x0806)}), 14, P::Other},
        {"802.3 length frame", DLT_EN10MB, Cat({kMacs, Type(0x0040)}), 14, P::Other},
        {"802.1q ipv4", DLT_EN10MB, Cat({kMacs, Tag(0x8100), Type(0x0800)}), 18, P::IPv4},
        {"802.1ad 802.1q ipv6", DLT_EN10MB, Cat({kMacs, Tag(0x88A8), Tag(0x8100), Type(0x86DD)}),
         22, P::IPv6},
        {"old q-in-q ipv4", DLT_EN10MB, Cat({kMacs, Tag(0x9100), Tag(0x8100), Type(0x0800)}), 22,
         P::IPv4},
        {"802.1q arp", DLT_EN10MB, Cat({kMacs, Tag(0x8100), Type(0x0806)}), 18, P::Other},
        {"pppoe ipv4", DLT_EN10MB, Cat({kMacs, Type(0x8864), kPppoeSession, Type(0x0021)}), 22,
         P::IPv4},
        {"802.1q pppoe ipv6", DLT_EN10MB,
         Cat({kMacs, Tag(0x8100), Type(0x8864), kPppoeSession, Type(0x0057)}), 26, P::IPv6},
        {"pppoe lcp", DLT_EN10MB, Cat({kMacs, Type(0x8864), kPppoeSession, Type(0xC021)}), 22,
         P::Other},
        {"raw ipv4", DLT_RAW, {0x45}, 0, P::IPv4},
        {"raw ipv6", DLT_RAW, {0x60}, 0, P::IPv6},
        {"raw other", DLT_RAW, {0x50}, 0, P::Other},
        {"linktype raw ipv6", 101, {0x60}, 0, P::IPv6},
        {"ipv4 link", DLT_IPV4, {0x45}, 0, P::IPv4, 0},
        {"ipv6 link", DLT_IPV6, {0x60}, 0, P::IPv6, 0},
        {"cooked v1 ipv4", DLT_LINUX_SLL, Cat({Bytes(14, 0x22), Type(0x0800)}), 16, P::IPv4},
        {"cooked v1 ipv6", DLT_LINUX_SLL, Cat({Bytes(14, 0x22), Type(0x86DD)}), 16, P::IPv6},
        {"cooked v2 ipv6", DLT_LINUX_SLL2, Cat({Type(0x86DD), Bytes(18, 0x22)}), 20, P::IPv6, 2},
        {"cooked v2 ipv4", DLT_LINUX_SLL2, Cat({Type(0x0800), Bytes(18, 0x08)}), 20, P::IPv4, 2},
        {"null ipv4 little", DLT_NULL, {2, 0, 0, 0}, 4, P::IPv4},
        {"null ipv4 big", DLT_NULL, {0, 0, 0, 2}, 4, P::IPv4},
        {"null ipv6 linux little", DLT_NULL, {10, 0, 0, 0}, 4, P::IPv6},
        {"null ipv6 bsd big", DLT_NULL, {0, 0, 0, 24}, 4, P::IPv6},
        {"null ipv6 freebsd", DLT_NULL, {28, 0, 0, 0}, 4, P::IPv6},
        {"loop ipv6 macos", DLT_LOOP, {0, 0, 0, 30}, 4, P::IPv6},
        {"loop other family", DLT_LOOP, {0, 0, 0, 7}, 4, P::Other},
        {"ppp with address and control", DLT_PPP, {0xFF, 0x03, 0x00, 0x21}, 4, P::IPv4},
        {"ppp compressed", DLT_PPP, {0x00, 0x57}, 2, P::IPv6},
        {"ppp serial", DLT_PPP_SERIAL, {0xFF, 0x03, 0x00, 0x57}, 4, P::IPv6},
        {"ppp lcp", DLT_PPP, {0xFF, 0x03, 0xC0, 0x21}, 4, P::Other},
        {"pppoe link", DLT_PPP_ETHER, Cat({kPppoeSession, Type(0x0021)}), 8, P::IPv4},
        {"unknown link type", 9999, Bytes(20, 0x45), 14, P::Other, 0},
    };
}

TEST(ParseLinkHeader, KnownHeadersAndEveryTruncation) {
    for (const Sample& sample : Samples()) {
        SCOPED_TRACE(sample.szName);
        const uint32_t nSize = static_cast<uint32_t>(sample.bytes.size());
        const uint32_t nNeeded = sample.nNeeded < 0 ? nSize : static_cast<uint32_t>(sample.nNeeded);
        if (sample.nLinkType != 9999) {
            EXPECT_TRUE(IsKnownLinkType(sample.nLinkType));
        }
        for (uint32_t nCapLen = 0; nCapLen <= nSize; ++nCapLen) {
            SCOPED_TRACE(nCapLen);
            // Exactly nCapLen bytes on the heap, so that a sanitizer sees any read beyond.
            auto pCopy = std::make_unique<uint8_t[]>(nCapLen);
            std::memcpy(pCopy.get(), sample.bytes.data(), nCapLen);
            const LinkVerdict verdict = ParseLinkHeader(sample.nLinkType, pCopy.get(), nCapLen);
            if (nCapLen >= nNeeded) {
                EXPECT_EQ(verdict.eProtocol, sample.eProtocol);
            } else {
                EXPECT_EQ(verdict.eProtocol, P::Other);
            }
            if (nCapLen == nSize) {
                EXPECT_EQ(verdict.nHeaderLength, sample.nHeaderLength);
            }
        }
    }
    EXPECT_FALSE(IsKnownLinkType(9999));
}

} // namespace
