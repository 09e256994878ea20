// The floor: the least a libpcap capturer can do. One handle, whole packets unless told otherwise,
// 100 ms time-out, and a callback that only adds the lengths. Runs until SIGINT or SIGTERM, then
// drains what the kernel still holds and reports.
//
// Usage: orvek_bench_floor [-s SNAPLEN] [-B BUFFER_BYTES] [-f FILTER] IFACE [BUFFER_BYTES]
//   -s  snapshot length (default 65535)
//   -B  kernel ring size (libpcap's default when not given; the second operand does the same)
//   -f  filter expression. On Linux the kernel cuts a packet to the snapshot length only through
//       the filter's return value: without a filter, whole packets fill the ring whatever -s says.
//       -f '' installs the empty filter, which accepts everything and only cuts.
// Prints "ready" once capturing, then: packets=N bytes=B caplen=C cpu=S drops=D
// (bytes adds the wire lengths, caplen the captured lengths).

#include "BenchCommon.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <pcap/pcap.h>
#include <unistd.h>

namespace {

struct Totals {
    uint64_t nPackets = 0;
    uint64_t nBytes = 0;
    uint64_t nCaptured = 0;
    uint64_t nRead = 0;
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
    pTotals->nCaptured += pHeader->caplen;
}

// Capture thread: the same, and reads what an analyzer must: the Ethernet type and the IPv4
// addresses.
void OnPacketRead(unsigned char* pUser, const pcap_pkthdr* pHeader, const unsigned char* pData) {
    OnPacket(pUser, pHeader, pData);
    if (pHeader->caplen >= 34) {
        auto* pTotals = reinterpret_cast<Totals*>(pUser);
        pTotals->nRead += pData[12] + pData[26] + pData[30];
    }
}

} // namespace

int main(int argc, char** argv) {
    int nSnapLength = 65535;
    int nBufferBytes = 0;
    const char* szFilter = nullptr;
    pcap_handler pfnOnPacket = OnPacket;
    const char* szUsage =
        "usage: %s [-s SNAPLEN] [-B BUFFER_BYTES] [-f FILTER] IFACE [BUFFER_BYTES]\n";
    for (int nOption; (nOption = getopt(argc, argv, "s:B:f:r")) != -1;) {
        switch (nOption) {
        case 's':
            nSnapLength = std::atoi(optarg);
            break;
        case 'B':
            nBufferBytes = std::atoi(optarg);
            break;
        case 'f':
            szFilter = optarg;
            break;
        case 'r':
            pfnOnPacket = OnPacketRead;
            break;
        default:
            std::fprintf(stderr, szUsage, argv[0]);
            return 2;
        }
    }
    if (optind != argc - 1 && optind != argc - 2) {
        std::fprintf(stderr, szUsage, argv[0]);
        return 2;
    }
    if (optind == argc - 2) {
        nBufferBytes = std::atoi(argv[optind + 1]);
    }
    char szError[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, PcapCloser> pPcap(pcap_create(argv[optind], szError));
    if (!pPcap) {
        std::fprintf(stderr, "%s\n", szError);
        return 1;
    }
    pcap_set_snaplen(pPcap.get(), nSnapLength);
    pcap_set_timeout(pPcap.get(), 100);
    if (nBufferBytes > 0) {
        pcap_set_buffer_size(pPcap.get(), nBufferBytes);
    }
    if (pcap_activate(pPcap.get()) < 0) {
        std::fprintf(stderr, "%s\n", pcap_geterr(pPcap.get()));
        return 1;
    }
    if (szFilter != nullptr) {
        bpf_program program{};
        if (pcap_compile(pPcap.get(), &program, szFilter, 1, PCAP_NETMASK_UNKNOWN) < 0 ||
            pcap_setfilter(pPcap.get(), &program) < 0) {
            std::fprintf(stderr, "%s\n", pcap_geterr(pPcap.get()));
            return 1;
        }
        pcap_freecode(&program);
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
        if (pcap_dispatch(pPcap.get(), -1, pfnOnPacket, pUser) == PCAP_ERROR) {
            std::fprintf(stderr, "%s\n", pcap_geterr(pPcap.get()));
            return 1;
        }
    }
    // Drains what the kernel has handed over; a blocking read would wait for the next packet.
    pcap_setnonblock(pPcap.get(), 1, szError);
    while (pcap_dispatch(pPcap.get(), -1, pfnOnPacket, pUser) > 0) {
    }
    const double dCpu = orvekbench::ProcessCpuSeconds() - dCpuStart;
    pcap_stat stats{};
    pcap_stats(pPcap.get(), &stats);
    std::printf("packets=%llu bytes=%llu caplen=%llu cpu=%.6f drops=%u\n",
                static_cast<unsigned long long>(totals.nPackets),
                static_cast<unsigned long long>(totals.nBytes),
                static_cast<unsigned long long>(totals.nCaptured), dCpu, stats.ps_drop);
    g_pPcap.store(nullptr);
    return 0;
}
