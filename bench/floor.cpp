// The floor: the least a libpcap capturer can do. One handle, whole packets, 100 ms time-out, and
// a callback that only adds the wire length. Runs until SIGINT or SIGTERM, then drains what the
// kernel still holds and reports.
//
// Usage: orvek_bench_floor IFACE [BUFFER_BYTES]   (libpcap's default buffer when not given)
// Prints "ready" once capturing, then: packets=N bytes=B cpu=S drops=D

#include "BenchCommon.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <pcap/pcap.h>

namespace {

struct Totals {
    uint64_t nPackets = 0;
    uint64_t nBytes = 0;
};

struct PcapCloser {
    void operator()(pcap_t* pPcap) const { pcap_close(pPcap); }
};

std::atomic<bool> g_bStop{false};
std::atomic<pcap_t*> g_pPcap{nullptr};

// Signal handler: asks the loop to end; pcap_breakloop is meant to be called from one.
void OnSignal(int) {
    g_bStop.store(true);
    if (pcap_t* pPcap = g_pPcap.load()) {
        pcap_breakloop(pPcap);
    }
}

// Capture thread (the only thread): counts one packet.
void OnPacket(unsigned char* pUser, const pcap_pkthdr* pHeader, const unsigned char*) {
    auto* pTotals = reinterpret_cast<Totals*>(pUser);
    ++pTotals->nPackets;
    pTotals->nBytes += pHeader->len;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s IFACE [BUFFER_BYTES]\n", argv[0]);
        return 2;
    }
    char szError[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, PcapCloser> pPcap(pcap_create(argv[1], szError));
    if (!pPcap) {
        std::fprintf(stderr, "%s\n", szError);
        return 1;
    }
    pcap_set_snaplen(pPcap.get(), 65535);
    pcap_set_timeout(pPcap.get(), 100);
    if (argc == 3) {
        pcap_set_buffer_size(pPcap.get(), std::atoi(argv[2]));
    }
    if (pcap_activate(pPcap.get()) < 0) {
        std::fprintf(stderr, "%s\n", pcap_geterr(pPcap.get()));
        return 1;
    }
    g_pPcap.store(pPcap.get());
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    Totals totals;
    const double dCpuStart = orvekbench::ProcessCpuSeconds();
    std::printf("ready\n");
    std::fflush(stdout);
    auto* pUser = reinterpret_cast<unsigned char*>(&totals);
    while (!g_bStop.load()) {
        if (pcap_dispatch(pPcap.get(), -1, OnPacket, pUser) == PCAP_ERROR) {
            std::fprintf(stderr, "%s\n", pcap_geterr(pPcap.get()));
            return 1;
        }
    }
    // Drains what the kernel has handed over; a blocking read would wait for the next packet.
    pcap_setnonblock(pPcap.get(), 1, szError);
    while (pcap_dispatch(pPcap.get(), -1, OnPacket, pUser) > 0) {
    }
    const double dCpu = orvekbench::ProcessCpuSeconds() - dCpuStart;
    pcap_stat stats{};
    pcap_stats(pPcap.get(), &stats);
    std::printf("packets=%llu bytes=%llu cpu=%.6f drops=%u\n",
                static_cast<unsigned long long>(totals.nPackets),
                static_cast<unsigned long long>(totals.nBytes), dCpu, stats.ps_drop);
    g_pPcap.store(nullptr);
    return 0;
}
