// The per-packet path of the meter alone, on crafted frames: the link header, the source address,
// the look-up in the host's address table and the count, as a capture thread runs them.
// With two threads each counts into its own device's counters, as two capture threads do. The
// second argument 1 runs the system service's meter, which captures every IP packet and counts
// apart what "tcp or udp" would not pass (kIcmpIPv4 is such a packet).

#include "FakeCapture.h"
#include "Frames.h"
#include "LinkLayer.h"
#include "OrvekMeter.h"

#include <array>
#include <benchmark/benchmark.h>
#include <cstring>
#include <pcap/pcap.h>
#include <vector>

namespace {

class CNullView : public IMeterView {
public:
    // Never called: nothing is shown.
    void ShowCounters(int64_t, int64_t) override {}
    void ShowMessage(const std::string&, const char*) override {}
    // Capture thread: drops the update, which stays pending, as between two display paces.
    void Post(std::function<void()>, int) override {}
};

// An IP frame (Frames.h) behind an Ethernet header of the right type, with nVlanTags 802.1Q tags
// before it.
std::vector<uint8_t> MakeEthernetFrame(bool bIPv6, uint32_t nWire, const char* szSource,
                                       const char* szDest, int nVlanTags = 0) {
    const uint32_t nHeader = 14 + 4 * static_cast<uint32_t>(nVlanTags);
    std::vector<uint8_t> frame = orvektest::MakeIpFrame(nHeader, bIPv6, nWire, szSource, szDest);
    for (uint32_t nType = 12; nType < nHeader; nType += 4) {
        const bool bLast = nType + 2 == nHeader;
        frame[nType] = bLast ? (bIPv6 ? 0x86 : 0x08) : 0x81;
        frame[nType + 1] = bLast ? (bIPv6 ? 0xDD : 0x00) : 0x00;
        if (!bLast) {
            frame[nType + 2] = 0;
            frame[nType + 3] = 7; // VLAN 7
        }
    }
    return frame;
}

// kMixedIPv4: received IPv4 of 64 flows in turn, so that no packet follows one of its own flow.
enum EFrame { kRecvIPv4, kSentIPv4, kRecvIPv6, kSentIPv6, kVlanIPv4, kMixedIPv4, kIcmpIPv4 };
constexpr int kMixedFlows = 64;

// An Ethernet frame of 512 bytes of TCP between this host (loopback's addresses, which every host
// holds) and a foreign one: sent frames come from the host, received ones go to it.
std::vector<uint8_t> MakeFrame(EFrame eFrame) {
    const bool bIPv6 = eFrame == kRecvIPv6 || eFrame == kSentIPv6;
    const bool bSent = eFrame == kSentIPv4 || eFrame == kSentIPv6;
    const bool bIcmp = eFrame == kIcmpIPv4;
    if (eFrame == kMixedIPv4 || bIcmp) {
        eFrame = kRecvIPv4;
    }
    const char* szLocal = bIPv6 ? "::1" : "127.0.0.1";
    const char* szForeign = bIPv6 ? "2001:db8::9" : "192.0.2.9";
    std::vector<uint8_t> frame =
        MakeEthernetFrame(bIPv6, 512, bSent ? szLocal : szForeign, bSent ? szForeign : szLocal,
                          eFrame == kVlanIPv4 ? 1 : 0);
    // TCP, not a fragment, so that the flow tables see what most traffic is.
    uint8_t* pIp = frame.data() + (eFrame == kVlanIPv4 ? 18 : 14);
    if (bIPv6) {
        pIp[6] = 6;
    } else {
        pIp[6] = pIp[7] = 0;
        pIp[9] = bIcmp ? 1 : 6;
    }
    return frame;
}

// The host's addresses as a listing publishes them: loopback's, and a few more of each kind, so
// that the table is as large as a small host's.
const CAddressTable& HostTable() {
    static const CAddressTable s_table = [] {
        CAddressTable table;
        table.AddIPv4(0x0100007F); // 127.0.0.1 in packet order
        CAddressTable::Address6 loopback6{};
        loopback6[15] = 1;
        table.AddIPv6(loopback6);
        for (uint8_t n = 1; n <= 4; ++n) {
            table.AddIPv4(0x0000000A | uint32_t{n} << 24); // 10.0.0.n
            CAddressTable::Address6 address6{0xFE, 0x80};
            address6[15] = n;
            table.AddIPv6(address6);
        }
        table.Seal();
        return table;
    }();
    return s_table;
}

CNullView g_view;
orvektest::CFakeControl g_control;
COrvekMeter g_meter(g_view, HostTable(), g_control);
COrvekMeter g_everyIpMeter(g_view, HostTable(), g_control);

void BM_PerPacket(benchmark::State& state) {
    COrvekMeter& meter = state.range(1) != 0 ? g_everyIpMeter : g_meter;
    g_everyIpMeter.SetCountEveryIp(true);
    IPacketAnalyzer& device =
        orvektest::Announce(meter, ("bench" + std::to_string(state.thread_index())).c_str());
    const auto eFrame = static_cast<EFrame>(state.range(0));
    std::vector<std::vector<uint8_t>> frames(eFrame == kMixedIPv4 ? kMixedFlows : 1,
                                             MakeFrame(eFrame));
    for (size_t n = 1; n < frames.size(); ++n) {
        frames[n][14 + 20] = static_cast<uint8_t>(n); // the source port's high byte
    }
    pcap_pkthdr header{};
    header.caplen = static_cast<bpf_u_int32>(frames[0].size());
    header.len = header.caplen;
    PacketInfo info{};
    int nInBatch = 0;
    size_t nNext = 0;
    for (auto _ : state) {
        // As the capture loop does for every packet.
        const std::vector<uint8_t>& frame = frames[nNext];
        nNext = nNext + 1 == frames.size() ? 0 : nNext + 1;
        const LinkVerdict verdict = ParseLinkHeader(DLT_EN10MB, frame.data(), header.caplen);
        info.pHeader = &header;
        info.pData = frame.data();
        info.nLinkHeaderLength = verdict.nHeaderLength;
        info.eNetworkProtocol = verdict.eProtocol;
        info.nMtu = 1500;
        benchmark::DoNotOptimize(&info);
        device.AnalyzePacket(&info);
        // As a capture thread does after each batch (a ring block holds some thousands).
        if (++nInBatch == 256) {
            nInBatch = 0;
            device.OnPacketsDelivered();
        }
    }
    device.OnPacketsDelivered();
    state.SetItemsProcessed(state.iterations());
}

// Just the pure part: link header and direction against a fixed table, no shared counter.
void BM_ParseOnly(benchmark::State& state) {
    const CAddressTable& table = HostTable();
    const std::vector<uint8_t> frame = MakeFrame(static_cast<EFrame>(state.range(0)));
    pcap_pkthdr header{};
    header.caplen = static_cast<bpf_u_int32>(frame.size());
    header.len = header.caplen;
    for (auto _ : state) {
        const LinkVerdict verdict = ParseLinkHeader(DLT_EN10MB, frame.data(), header.caplen);
        const PacketInfo info{&header, frame.data(), verdict.nHeaderLength, verdict.eProtocol,
                              1500};
        benchmark::DoNotOptimize(ClassifyPacket(info, table, false));
    }
    state.SetItemsProcessed(state.iterations());
}

void FrameKinds(benchmark::internal::Benchmark* pBenchmark) {
    pBenchmark->ArgNames({"frame", "every_ip"});
    for (int nKind : {kRecvIPv4, kSentIPv4, kRecvIPv6, kSentIPv6, kVlanIPv4, kMixedIPv4}) {
        pBenchmark->Args({nKind, 0});
    }
}

void EveryIpFrameKinds(benchmark::internal::Benchmark* pBenchmark) {
    pBenchmark->ArgNames({"frame", "every_ip"});
    for (int nKind : {kRecvIPv4, kSentIPv4, kRecvIPv6, kSentIPv6, kVlanIPv4, kMixedIPv4}) {
        pBenchmark->Args({nKind, 0});
        pBenchmark->Args({nKind, 1});
    }
    pBenchmark->Args({kIcmpIPv4, 1});
}

} // namespace

BENCHMARK(BM_PerPacket)->Apply(EveryIpFrameKinds)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_ParseOnly)->Apply(FrameKinds)->Threads(1)->Threads(2)->UseRealTime();

BENCHMARK_MAIN();
