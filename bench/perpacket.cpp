// The per-packet path of the meter alone, on crafted frames: the link header, the source address,
// the host-address look-up through the manager and the count, as a capture thread runs them.
// With two threads each counts into its own device's counters, as two capture threads do.

#include "AdapterManager.h"
#include "LinkLayer.h"
#include "OrvekMeter.h"

#include <array>
#include <benchmark/benchmark.h>
#include <cstring>
#include <pcap/pcap.h>
#include <vector>

namespace {

// Publishes the host's addresses without opening any device.
class CAddressesOnly : public IAdapterListener {
public:
    // Capture thread: never called, no device is opened.
    void AnalyzePacket(PacketInfo*) override {}
    // Monitor thread: failures of the monitor do not matter here.
    void OnException(const CZarnException&) override {}
    // Refreshing thread: leaves the device closed.
    void OnAdapterFound(CAdapter*, const char*) override {}
};

class CNullView : public IMeterView {
public:
    // Never called: nothing is shown.
    void ShowCounters(const char*, const char*) override {}
    void ShowMessage(const std::string&, const char*) override {}
    // Capture thread: drops the update, which stays pending, as between two display paces.
    void Post(std::function<void()>, int) override {}
};

enum EFrame { kRecvIPv4, kSentIPv4, kRecvIPv6, kSentIPv6, kVlanIPv4 };

// An Ethernet frame of 512 bytes between this host (loopback's addresses, which every host holds)
// and a foreign one: sent frames come from the host, received ones go to it.
std::vector<uint8_t> MakeFrame(EFrame eFrame) {
    std::vector<uint8_t> frame(512, 0);
    size_t nOffset = 12;
    if (eFrame == kVlanIPv4) {
        frame[12] = 0x81;
        frame[13] = 0x00;
        frame[15] = 7;
        nOffset = 16;
    }
    const bool bIPv6 = eFrame == kRecvIPv6 || eFrame == kSentIPv6;
    const bool bSent = eFrame == kSentIPv4 || eFrame == kSentIPv6;
    frame[nOffset] = bIPv6 ? 0x86 : 0x08;
    frame[nOffset + 1] = bIPv6 ? 0xdd : 0x00;
    uint8_t* pIp = frame.data() + nOffset + 2;
    if (bIPv6) {
        pIp[0] = 0x60;
        pIp[6] = 17;
        uint8_t local[16] = {};
        local[15] = 1; // ::1
        const uint8_t foreign[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
        std::memcpy(pIp + 8, bSent ? local : foreign, 16);
        std::memcpy(pIp + 24, bSent ? foreign : local, 16);
    } else {
        pIp[0] = 0x45;
        pIp[9] = 17;
        const uint8_t local[4] = {127, 0, 0, 1};
        const uint8_t foreign[4] = {192, 0, 2, 9};
        std::memcpy(pIp + 12, bSent ? local : foreign, 4);
        std::memcpy(pIp + 16, bSent ? foreign : local, 4);
    }
    return frame;
}

CNullView g_view;
COrvekMeter g_meter(g_view);

void BM_PerPacket(benchmark::State& state) {
    static CAddressesOnly s_listener;
    if (state.thread_index() == 0) {
        CAdapterManager::GetInstance()->Start(&s_listener);
    }
    const std::vector<uint8_t> frame = MakeFrame(static_cast<EFrame>(state.range(0)));
    pcap_pkthdr header{};
    header.caplen = static_cast<bpf_u_int32>(frame.size());
    header.len = header.caplen;
    PacketInfo info{};
    info.pCounters = g_meter.GetDeviceCounters("bench" + std::to_string(state.thread_index()));
    int nInBatch = 0;
    for (auto _ : state) {
        // As the capture loop does for every packet.
        const LinkVerdict verdict = ParseLinkHeader(DLT_EN10MB, frame.data(), header.caplen);
        info.pHeader = &header;
        info.pData = frame.data();
        info.nLinkHeaderLength = verdict.nHeaderLength;
        info.eNetworkProtocol = verdict.eProtocol;
        benchmark::DoNotOptimize(&info);
        g_meter.AnalyzePacket(&info);
        // As a capture thread does after each batch (a ring block holds some thousands).
        if (++nInBatch == 256) {
            nInBatch = 0;
            g_meter.OnPacketsDelivered(info.pCounters);
        }
    }
    // Ends the last batch: the address table it holds goes with StopAll.
    g_meter.OnPacketsDelivered(info.pCounters);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        CAdapterManager::GetInstance()->StopAll();
    }
}

// Just the pure part: link header and direction against a fixed table, no shared counter.
void BM_ParseOnly(benchmark::State& state) {
    static const CAddressTable s_table = [] {
        CAddressTable table;
        table.AddIPv4(0x0100007F); // 127.0.0.1 in packet order
        table.Seal();
        return table;
    }();
    const std::vector<uint8_t> frame = MakeFrame(static_cast<EFrame>(state.range(0)));
    pcap_pkthdr header{};
    header.caplen = static_cast<bpf_u_int32>(frame.size());
    header.len = header.caplen;
    for (auto _ : state) {
        const LinkVerdict verdict = ParseLinkHeader(DLT_EN10MB, frame.data(), header.caplen);
        const PacketInfo info{&header, frame.data(), verdict.nHeaderLength, verdict.eProtocol,
                              nullptr};
        benchmark::DoNotOptimize(ClassifyPacket(info, s_table, false));
    }
    state.SetItemsProcessed(state.iterations());
}

void FrameKinds(benchmark::internal::Benchmark* pBenchmark) {
    pBenchmark->ArgName("frame");
    for (int nKind : {kRecvIPv4, kSentIPv4, kRecvIPv6, kSentIPv6, kVlanIPv4}) {
        pBenchmark->Arg(nKind);
    }
}

} // namespace

BENCHMARK(BM_PerPacket)->Apply(FrameKinds)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_ParseOnly)->Apply(FrameKinds)->Threads(1)->Threads(2)->UseRealTime();

BENCHMARK_MAIN();
