// Fuzz target for everything that reads packet or netlink bytes: the link-header parser, the
// meter's source lookup, counting and flow reading, the address-change reader, the link dump
// parser, the socket diagnostics' reader, the route answer's reader and the readers of /proc's
// descriptor texts that find user-space tunnels. The first input byte picks the link type; the
// rest is one captured frame, exactly as long as the capture, and for the netlink readers one
// received buffer (for the /proc readers, one text). Their unit tests check the verdicts on crafted
// messages; every cut and lying length is the fuzzer's.
#include "AddressChange.h"
#include "FakeCapture.h"
#include "FakeMeterView.h"
#include "LinkLayer.h"
#include "LinkTable.h"
#include "OrvekMeter.h"
#include "SockDiag.h"
#include "UserTunnels.h"
#include "ZarnException.h"

#include <cstring>
#include <memory>
#include <pcap/pcap.h>
#include <string_view>
#include <vector>

namespace {

constexpr int kLinkTypes[] = {DLT_EN10MB, DLT_RAW,       DLT_IPV4,       DLT_IPV6,
                              DLT_NULL,   DLT_LOOP,      DLT_LINUX_SLL,  DLT_LINUX_SLL2,
                              DLT_PPP,    DLT_PPP_ETHER, DLT_PPP_SERIAL, DLT_IEEE802_11};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static orvektest::CFakeView s_view; // never served: one display update stays pending
    static CAddressTable s_noAddresses;
    static orvektest::CFakeControl s_control;
    static COrvekMeter s_meter(s_view, s_noAddresses, s_control);
    static IPacketAnalyzer& s_device = orvektest::Announce(s_meter, "fuzz0");
    // The system service's meter: every IP packet, the filter's told apart.
    static COrvekMeter s_everyIpMeter(s_view, s_noAddresses, s_control);
    static IPacketAnalyzer& s_everyIpDevice = []() -> IPacketAnalyzer& {
        s_everyIpMeter.SetCountEveryIp(true);
        return orvektest::Announce(s_everyIpMeter, "fuzz1");
    }();
    if (nSize == 0) {
        return 0;
    }
    const int nLinkType = kLinkTypes[pData[0] % std::size(kLinkTypes)];
    // A copy of exactly the captured length, so that any read beyond it is caught.
    const size_t nCaptured = nSize - 1;
    std::unique_ptr<uint8_t[]> pFrame(new uint8_t[nCaptured]);
    std::memcpy(pFrame.get(), pData + 1, nCaptured);

    pcap_pkthdr header{};
    header.caplen = static_cast<bpf_u_int32>(nCaptured);
    header.len = header.caplen + (pData[0] & 0x80 ? 1000 : 0);
    const LinkVerdict verdict = ParseLinkHeader(nLinkType, pFrame.get(), header.caplen);
    PacketInfo info{&header,           pFrame.get(), verdict.nHeaderLength,
                    verdict.eProtocol, 1500,         nLinkType};
    s_device.AnalyzePacket(&info);
    s_device.OnPacketsDelivered();
    s_everyIpDevice.AnalyzePacket(&info);
    s_everyIpDevice.OnPacketsDelivered();

    IsAddressChange(pFrame.get(), nCaptured);
    std::vector<LinkRecord> links;
    try {
        ParseLinkMessages(pFrame.get(), nCaptured, links);
    } catch (const CZarnException&) {
    }
    std::vector<DiagReply> replies;
    std::string strError;
    ParseDiagReplies({pFrame.get(), nCaptured}, replies, strError);
    ParseRouteReply({pFrame.get(), nCaptured});
    const std::string_view text(reinterpret_cast<const char*>(pFrame.get()), nCaptured);
    ParseTunFdinfo(text);
    ParseSocketLink(text);
    return 0;
}
