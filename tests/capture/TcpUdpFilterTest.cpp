// The classification of captured frames as "tcp or udp" against libpcap itself: the filter
// compiled for each link type the meter reads, run on the same crafted frames at every captured
// length.

#include "TcpUdpFilter.h"

#include <gtest/gtest.h>
#include <memory>
#include <pcap/pcap.h>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// libpcap's compiled "tcp or udp" for one link type: the oracle.
class COracle {
public:
    explicit COracle(int nLinkType) : m_pPcap(pcap_open_dead(nLinkType, 65535), pcap_close) {
        if (!m_pPcap ||
            pcap_compile(m_pPcap.get(), &m_program, "tcp or udp", 1, PCAP_NETMASK_UNKNOWN) != 0) {
            throw std::runtime_error("cannot compile for link type " + std::to_string(nLinkType));
        }
    }
    COracle(const COracle&) = delete;
    COracle& operator=(const COracle&) = delete;
    ~COracle() { pcap_freecode(&m_program); }

    bool Passes(const Bytes& frame, uint32_t nCapLen) const {
        pcap_pkthdr header{};
        header.caplen = nCapLen;
        header.len = static_cast<uint32_t>(frame.size());
        return pcap_offline_filter(&m_program, &header, frame.data()) != 0;
    }

private:
    std::unique_ptr<pcap_t, void (*)(pcap_t*)> m_pPcap;
    bpf_program m_program{};
};

// The classifier on exactly nCapLen bytes on the heap, so that a sanitizer sees a read beyond.
bool Classify(int nLinkType, const Bytes& frame, uint32_t nCapLen) {
    auto pCopy = std::make_unique<uint8_t[]>(nCapLen);
    std::copy_n(frame.begin(), nCapLen, pCopy.get());
    return PassesTcpOrUdp(nLinkType, pCopy.get(), nCapLen);
}

// The network-layer packets: IPv4 of several protocols, first and later fragments; IPv6 with
// TCP, UDP, ICMPv6 and ESP, behind a fragment header and behind other extension headers.
std::vector<Bytes> IPv4Packets() {
    std::vector<Bytes> packets;
    for (const uint8_t nProtocol : {6, 17, 1, 50, 47, 4, 41, 132}) {
        for (const uint16_t nFragment : {0x0000, 0x2000, 0x00B9, 0x4000}) {
            Bytes packet(48, 0);
            packet[0] = 0x45;
            packet[3] = 48;
            packet[6] = static_cast<uint8_t>(nFragment >> 8);
            packet[7] = static_cast<uint8_t>(nFragment);
            packet[8] = 64;
            packet[9] = nProtocol;
            packets.push_back(packet);
        }
    }
    return packets;
}

std::vector<Bytes> IPv6Packets() {
    std::vector<Bytes> packets;
    // Next header chains: the first in the fixed header, each later one in the header before.
    const std::vector<std::vector<uint8_t>> chains = {
        {6}, {17}, {58}, {50}, {44, 6}, {44, 17}, {44, 58}, {0, 6}, {43, 17}, {60, 6}, {44, 0, 6}};
    for (const auto& chain : chains) {
        Bytes packet(40, 0);
        packet[0] = 0x60;
        packet[6] = chain[0];
        packet[7] = 64;
        for (size_t i = 1; i < chain.size(); ++i) {
            Bytes extension(8, 0);
            extension[0] = chain[i];
            packet = packet + extension;
        }
        packets.push_back(packet + Bytes(16, 0xAB));
    }
    return packets;
}

struct LinkCase {
    int nLinkType;
    Bytes ipv4Header, ipv6Header, otherHeader;
};

std::vector<LinkCase> LinkCases() {
    const Bytes macs(12, 0x02);
    return {
        {DLT_EN10MB, macs + Bytes{0x08, 0x00}, macs + Bytes{0x86, 0xDD}, macs + Bytes{0x08, 0x06}},
        {DLT_LINUX_SLL, Bytes(14, 0) + Bytes{0x08, 0x00}, Bytes(14, 0) + Bytes{0x86, 0xDD},
         Bytes(14, 0) + Bytes{0x88, 0x64}},
        {DLT_LINUX_SLL2, Bytes{0x08, 0x00} + Bytes(18, 0), Bytes{0x86, 0xDD} + Bytes(18, 0),
         Bytes{0x08, 0x06} + Bytes(18, 0)},
        {DLT_RAW, {}, {}, {0x50}},
        {DLT_IPV4, {}, {}, {}},
        {DLT_IPV6, {}, {}, {}},
        {DLT_PPP, {0xFF, 0x03, 0x00, 0x21}, {0xFF, 0x03, 0x00, 0x57}, {0xFF, 0x03, 0xC0, 0x21}},
        {DLT_PPP_SERIAL,
         {0xFF, 0x03, 0x00, 0x21},
         {0x00, 0x57, 0x00, 0x57},
         {0x00, 0x21, 0x80, 0x21}},
        {DLT_PPP_ETHER, Bytes(6, 0) + Bytes{0x00, 0x21}, Bytes(6, 0) + Bytes{0x00, 0x57},
         Bytes(6, 0) + Bytes{0x80, 0x57}},
        {DLT_NULL, {2, 0, 0, 0}, {10, 0, 0, 0}, {0, 0, 0, 2}},
        {DLT_LOOP, {0, 0, 0, 2}, {0, 0, 0, 10}, {2, 0, 0, 0}},
    };
}

// Every packet behind each header, at every captured length: the classifier says what the
// filter says.
TEST(TcpUdpFilter, AgreesWithLibpcapOnEveryLinkTypeAndLength) {
    int nPassed = 0, nChecked = 0;
    for (const LinkCase& link : LinkCases()) {
        const COracle oracle(link.nLinkType);
        std::vector<Bytes> frames;
        for (const Bytes& packet : IPv4Packets()) {
            frames.push_back(link.ipv4Header + packet);
            frames.push_back(link.ipv6Header + packet);
            frames.push_back(link.otherHeader + packet);
        }
        for (const Bytes& packet : IPv6Packets()) {
            frames.push_back(link.ipv6Header + packet);
            frames.push_back(link.ipv4Header + packet);
        }
        for (const Bytes& frame : frames) {
            for (uint32_t nCapLen = 0; nCapLen <= frame.size(); ++nCapLen) {
                const bool bExpected = oracle.Passes(frame, nCapLen);
                ASSERT_EQ(Classify(link.nLinkType, frame, nCapLen), bExpected)
                    << "link type " << link.nLinkType << ", " << frame.size() << " bytes cut to "
                    << nCapLen;
                nPassed += bExpected ? 1 : 0;
                ++nChecked;
            }
        }
    }
    EXPECT_GT(nPassed, nChecked / 20); // both verdicts were exercised
}

// A tagged Ethernet frame is judged as the kernel's filter saw it, its first tag kept apart when
// it is 802.1Q or 802.1ad: as libpcap judges the frame without that tag. Other tags, and a second
// one, stay in the frame.
TEST(TcpUdpFilter, TaggedEthernetAsTheKernelFiltersIt) {
    const COracle oracle(DLT_EN10MB);
    const Bytes macs(12, 0x02);
    for (const Bytes& tag : {Bytes{0x81, 0x00, 0x00, 0x64}, Bytes{0x88, 0xA8, 0x00, 0x0A},
                             Bytes{0x91, 0x00, 0x00, 0x0A}}) {
        for (const Bytes& packet : IPv4Packets()) {
            for (const Bytes& inner :
                 {Bytes{0x08, 0x00}, Bytes{0x81, 0x00, 0x00, 0x05, 0x08, 0x00}}) {
                const Bytes tagged = macs + tag + inner + packet;
                const bool bStepped = tag[0] != 0x91;
                const Bytes seen = bStepped ? macs + inner + packet : tagged;
                for (uint32_t nCapLen = 0; nCapLen <= tagged.size(); ++nCapLen) {
                    const uint32_t nSeen = bStepped ? (nCapLen < 16 ? 0 : nCapLen - 4) : nCapLen;
                    ASSERT_EQ(Classify(DLT_EN10MB, tagged, nCapLen), oracle.Passes(seen, nSeen))
                        << "tag " << int{tag[0]} << ", cut to " << nCapLen;
                }
            }
        }
        for (const Bytes& packet : IPv6Packets()) {
            const Bytes tagged = macs + tag + Bytes{0x86, 0xDD} + packet;
            EXPECT_EQ(Classify(DLT_EN10MB, tagged, static_cast<uint32_t>(tagged.size())),
                      tag[0] != 0x91 && oracle.Passes(macs + Bytes{0x86, 0xDD} + packet,
                                                      static_cast<uint32_t>(tagged.size() - 4)));
        }
    }
}

// Random frames, biased towards the fields read: no disagreement, no read beyond the capture.
TEST(TcpUdpFilter, AgreesOnRandomFrames) {
    std::mt19937 random(31);
    for (const LinkCase& link : LinkCases()) {
        const COracle oracle(link.nLinkType);
        for (int i = 0; i < 20000; ++i) {
            const Bytes& header = i % 3 == 0   ? link.ipv4Header
                                  : i % 3 == 1 ? link.ipv6Header
                                               : link.otherHeader;
            Bytes frame = header + Bytes(random() % 80, 0);
            for (size_t n = header.size(); n < frame.size(); ++n) {
                const uint32_t nPick = random() % 8;
                frame[n] = nPick < 3   ? std::array<uint8_t, 3>{6, 17, 44}[nPick]
                           : nPick < 5 ? std::array<uint8_t, 2>{0x45, 0x60}[nPick - 3]
                                       : static_cast<uint8_t>(random());
            }
            const uint32_t nCapLen = static_cast<uint32_t>(random() % (frame.size() + 1));
            if (link.nLinkType == DLT_EN10MB && nCapLen >= 14 &&
                (frame[12] == 0x81 || frame[12] == 0x88)) {
                continue; // tags: the test above
            }
            ASSERT_EQ(Classify(link.nLinkType, frame, nCapLen), oracle.Passes(frame, nCapLen))
                << "link type " << link.nLinkType << ", frame " << i;
        }
    }
}

} // namespace
