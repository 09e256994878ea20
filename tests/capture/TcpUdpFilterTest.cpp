// The classification of frames as "tcp or udp" against libpcap itself: the filter compiled for
// each link type the meter reads, run on the same crafted and random frames at every captured
// length.

#include "TcpUdpFilter.h"

#include <array>
#include <gtest/gtest.h>
#include <memory>
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
        if (pcap_compile(m_pPcap.get(), &m_program, "tcp or udp", 1, PCAP_NETMASK_UNKNOWN) != 0) {
            throw std::runtime_error("cannot compile for link type " + std::to_string(nLinkType));
        }
    }
    ~COracle() { pcap_freecode(&m_program); }
    bool Passes(const Bytes& frame, uint32_t nCapLen) const {
        const pcap_pkthdr header{{}, nCapLen, static_cast<uint32_t>(frame.size())};
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

// IPv4 of several protocols, first and later fragments; IPv6 with TCP, UDP, ICMPv6 and ESP, behind
// fragment headers and other extension headers (each chain: the fixed header's next header, then
// each extension's).
std::vector<Bytes> NetworkPackets() {
    std::vector<Bytes> packets;
    for (const uint8_t nProtocol : {6, 17, 1, 50, 47, 4, 41, 132}) {
        // Whole, first, middle and last fragments.
        for (const uint16_t nFragment : {0x0000, 0x2000, 0x20B9, 0x00B9}) {
            packets.push_back({0x45, 0, 0, 48, 0, 0, static_cast<uint8_t>(nFragment >> 8),
                               static_cast<uint8_t>(nFragment), 64, nProtocol});
            packets.back().resize(48);
        }
    }
    const std::vector<std::vector<uint8_t>> chains = {
        {6}, {17}, {58}, {50}, {44, 6}, {44, 17}, {44, 58}, {0, 6}, {43, 17}, {60, 6}, {44, 0, 6}};
    for (const auto& chain : chains) {
        Bytes packet{0x60, 0, 0, 0, 0, 64, chain[0], 64};
        packet.resize(40);
        for (size_t i = 1; i < chain.size(); ++i) {
            packet = packet + Bytes{chain[i], 0, 0, 0, 0, 0, 0, 0};
        }
        packets.push_back(packet + Bytes(16, 0xAB));
    }
    return packets;
}

// Each link type with headers saying IPv4, IPv6 and something else.
struct LinkCase {
    int nLinkType;
    std::array<Bytes, 3> headers;
};
const Bytes kMacs(12, 0x02);
const std::vector<LinkCase> kLinks = {
    {DLT_EN10MB, {kMacs + Bytes{8, 0}, kMacs + Bytes{0x86, 0xDD}, kMacs + Bytes{8, 6}}},
    {DLT_LINUX_SLL,
     {Bytes(14, 0) + Bytes{8, 0}, Bytes(14, 0) + Bytes{0x86, 0xDD}, Bytes(14, 0) + Bytes{8, 6}}},
    {DLT_LINUX_SLL2,
     {Bytes{8, 0} + Bytes(18, 0), Bytes{0x86, 0xDD} + Bytes(18, 0), Bytes{8, 6} + Bytes(18, 0)}},
    {DLT_RAW, {Bytes{}, Bytes{}, Bytes{0x50}}},
    {DLT_IPV4, {}},
    {DLT_IPV6, {}},
    {DLT_PPP, {Bytes{0xFF, 3, 0, 0x21}, Bytes{0xFF, 3, 0, 0x57}, Bytes{0xFF, 3, 0xC0, 0x21}}},
    {DLT_PPP_SERIAL,
     {Bytes{0xFF, 3, 0, 0x21}, Bytes{0, 0x57, 0, 0x57}, Bytes{0, 0x21, 0x80, 0x21}}},
    {DLT_PPP_ETHER, {Bytes(6, 0) + Bytes{0, 0x21}, Bytes(6, 0) + Bytes{0, 0x57}, Bytes(8, 0)}},
    {DLT_NULL, {Bytes{2, 0, 0, 0}, Bytes{10, 0, 0, 0}, Bytes{0, 0, 0, 2}}},
    {DLT_LOOP, {Bytes{0, 0, 0, 2}, Bytes{0, 0, 0, 10}, Bytes{2, 0, 0, 0}}},
};

// Every packet behind each header, at every captured length, then random frames biased towards
// the fields read: the classifier says what the filter says.
TEST(TcpUdpFilter, AgreesWithLibpcapOnEveryLinkTypeAndLength) {
    std::mt19937 random(31);
    int nPassed = 0, nChecked = 0;
    for (const LinkCase& link : kLinks) {
        const COracle oracle(link.nLinkType);
        std::vector<Bytes> frames;
        for (const Bytes& header : link.headers) {
            for (const Bytes& packet : NetworkPackets()) {
                frames.push_back(header + packet);
            }
        }
        for (int i = 0; i < 20000; ++i) {
            Bytes frame = link.headers[i % 3] + Bytes(random() % 80, 0);
            for (size_t n = link.headers[i % 3].size(); n < frame.size(); ++n) {
                const uint8_t aBiased[] = {6, 17, 44, 0x45, 0x60};
                frame[n] = random() % 2 ? aBiased[random() % 5] : static_cast<uint8_t>(random());
            }
            frames.push_back(frame);
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
// it is 802.1Q or 802.1ad: as libpcap judges the frame without that tag. A tag of another type,
// and a second tag, stay in the frame.
TEST(TcpUdpFilter, TaggedEthernetAsTheKernelFiltersIt) {
    const COracle oracle(DLT_EN10MB);
    for (const Bytes& tag :
         {Bytes{0x81, 0, 0, 100}, Bytes{0x88, 0xA8, 0, 10}, Bytes{0x91, 0, 0, 1}}) {
        const bool bApart = tag[0] != 0x91;
        for (const Bytes& type : {Bytes{8, 0}, Bytes{0x86, 0xDD}, Bytes{0x81, 0, 0, 5, 8, 0}}) {
            for (const Bytes& packet : NetworkPackets()) {
                const Bytes tagged = kMacs + tag + type + packet;
                const Bytes seen = bApart ? kMacs + type + packet : tagged;
                for (uint32_t nCapLen = 0; nCapLen <= tagged.size(); ++nCapLen) {
                    const uint32_t nSeen = !bApart ? nCapLen : nCapLen < 16 ? 0 : nCapLen - 4;
                    ASSERT_EQ(Classify(DLT_EN10MB, tagged, nCapLen), oracle.Passes(seen, nSeen))
                        << "tag " << int{tag[0]} << ", cut to " << nCapLen;
                }
            }
        }
    }
}

} // namespace
