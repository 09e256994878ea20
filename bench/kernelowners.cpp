// The in-kernel flow owners' cost per packet, as the kernel measures its programs
// (kernel.bpf_stats_enabled, set for the run and restored): UDP over loopback in a network
// namespace of the benchmark's own, first PACKETS datagrams of one flow (each a send and a
// receive: the look-up path), then FLOWS datagrams each to a new port (a send that inserts a new
// flow). The programs see every packet of the host meanwhile, which the figures include. Run as
// root, or with CAP_BPF, CAP_NET_ADMIN and CAP_PERFMON as the service loads them (without the last
// the kernel also guards them against speculation). Usage: orvek_bench_kernelowners [PACKETS [FLOWS]]

#include "BenchCommon.h"
#include "KernelFlowOwners.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using orvekbench::BringLoopbackUp;

namespace {

void SetStats(const std::string& strValue) {
    std::ofstream("/proc/sys/kernel/bpf_stats_enabled") << strValue;
}

void Report(const char* szWhat, const CKernelFlowOwners::RunStats& before,
            const CKernelFlowOwners::RunStats& after) {
    const uint64_t nRuns = after.nRuns - before.nRuns;
    const uint64_t nNs = after.nRunNs - before.nRunNs;
    std::printf("%s: %llu runs, %.1f ns a run\n", szWhat, static_cast<unsigned long long>(nRuns),
                nRuns != 0 ? static_cast<double>(nNs) / static_cast<double>(nRuns) : 0.0);
}

} // namespace

int main(int argc, char** argv) {
    const long nPackets = argc > 1 ? std::atol(argv[1]) : 1000000;
    const long nFlows = argc > 2 ? std::atol(argv[2]) : 50000;
    // Without CAP_SYS_ADMIN (as the service runs: CAP_BPF and CAP_NET_ADMIN, with
    // kernel.bpf_stats_enabled set by root beforehand) in the host's namespace.
    if (unshare(CLONE_NEWNET) == 0) {
        BringLoopbackUp();
    }
    std::string strRefusal;
    const auto pOwners = CKernelFlowOwners::TryLoad(strRefusal);
    if (!pOwners) {
        std::fprintf(stderr, "%s\n", strRefusal.c_str());
        return 1;
    }
    std::string strWas;
    std::getline(std::ifstream("/proc/sys/kernel/bpf_stats_enabled"), strWas);
    SetStats("1");

    const int hReceiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int hSender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof address;
    bind(hReceiver, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(hReceiver, reinterpret_cast<sockaddr*>(&address), &nLength);
    char aPayload[64] = {};
    auto before = pOwners->GetRunStats();
    for (long n = 0; n < nPackets; ++n) {
        sendto(hSender, aPayload, sizeof aPayload, 0, reinterpret_cast<sockaddr*>(&address),
               sizeof address);
        recv(hReceiver, aPayload, sizeof aPayload, 0);
    }
    auto after = pOwners->GetRunStats();
    Report("one flow (look-up)", before, after);

    before = after;
    for (long n = 0; n < nFlows; ++n) {
        address.sin_port = htons(static_cast<uint16_t>(1024 + n % 60000));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK + static_cast<uint32_t>(n / 60000));
        sendto(hSender, aPayload, sizeof aPayload, 0, reinterpret_cast<sockaddr*>(&address),
               sizeof address);
    }
    after = pOwners->GetRunStats();
    Report("new flows (insert)", before, after);
    std::printf("flows held: %zu of %zu\n", pOwners->CountFlows(), CKernelFlowOwners::kMaxFlows);
    SetStats(strWas.empty() ? "0" : strWas);
    return 0;
}
