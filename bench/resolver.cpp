// The resolver's cost at many new connections a second: real TCP connections on loopback (in a
// network namespace of the benchmark's own), each a new flow handed to the resolver the way a
// capture thread hands its batches over, every 10 ms. Prints the resolver's CPU as a share of one
// core (the process's CPU time less the main thread's, which makes the connections) and per new
// flow, and how many flows it attributed. Needs root (the namespace).
// Usage: orvek_bench_resolver [CONNECTIONS_PER_SECOND [SECONDS]]

#include "AppResolver.h"
#include "BenchCommon.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <net/if.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using orvekbench::BringLoopbackUp;

namespace {

double CpuSeconds(clockid_t nClock) {
    timespec time{};
    clock_gettime(nClock, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

// A sent TCP/IPv4 frame of the flow from local to remote, as a capture thread reads it.
std::vector<uint8_t> MakeFrame(const sockaddr_in& local, const sockaddr_in& remote) {
    std::vector<uint8_t> frame(14 + 20 + 20, 0);
    frame[12] = 0x08;
    uint8_t* pIp = frame.data() + 14;
    pIp[0] = 0x45;
    pIp[9] = IPPROTO_TCP;
    std::memcpy(pIp + 12, &local.sin_addr, 4);
    std::memcpy(pIp + 16, &remote.sin_addr, 4);
    std::memcpy(pIp + 20, &local.sin_port, 2);
    std::memcpy(pIp + 22, &remote.sin_port, 2);
    return frame;
}

} // namespace

int main(int argc, char** argv) {
    const int nRate = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int nSeconds = argc > 2 ? std::atoi(argv[2]) : 5;
    constexpr int kTicksPerSecond = 100;
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare(CLONE_NEWNET), run as root");
        return 1;
    }
    BringLoopbackUp();
    const int hListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof server;
    if (bind(hListen, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
        listen(hListen, 4096) != 0 ||
        getsockname(hListen, reinterpret_cast<sockaddr*>(&server), &nLength) != 0) {
        std::perror("listen");
        return 1;
    }

    CAppResolver resolver;
    CFlowTap tap;
    resolver.AddTap(&tap);
    resolver.Start();
    // Connections live for two ticks, as short ones do, then end with a reset (no TIME_WAIT).
    std::deque<std::vector<int>> open;
    const int nPerTick = nRate / kTicksPerSecond;
    const double dProcessStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double dMainStart = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const auto tStart = std::chrono::steady_clock::now();
    timespec tick{};
    clock_gettime(CLOCK_MONOTONIC, &tick);
    long nFlows = 0;
    for (int nTick = 0; nTick < nSeconds * kTicksPerSecond; ++nTick) {
        std::vector<int>& fds = open.emplace_back();
        for (int n = 0; n < nPerTick; ++n) {
            const int hClient = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(hClient, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
                std::perror("connect");
                return 1;
            }
            const int hServer = accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC);
            sockaddr_in local{};
            nLength = sizeof local;
            getsockname(hClient, reinterpret_cast<sockaddr*>(&local), &nLength);
            const std::vector<uint8_t> frame = MakeFrame(local, server);
            pcap_pkthdr header{};
            header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
            const PacketInfo info{&header, frame.data(), 14, ENetworkProtocol::IPv4};
            tap.Add(info, true, 100);
            ++nFlows;
            const linger reset{1, 0};
            setsockopt(hClient, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            fds.push_back(hClient);
            fds.push_back(hServer);
        }
        if (tap.HandOver(CFlowTap::NowNs())) {
            resolver.Wake();
        }
        if (open.size() > 2) {
            for (const int hFd : open.front()) {
                close(hFd);
            }
            open.pop_front();
        }
        orvekbench::SleepToNextTick(tick, kTicksPerSecond);
    }
    // What the resolver still works on counts too: its worker is joined before the clocks stop.
    resolver.StopWorker();
    const double dWall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    const double dResolver = (CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - dProcessStart) -
                             (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - dMainStart);
    resolver.DrainStopped();
    long nAttributed = 0, nBytes = 0;
    for (const AppUsage& row : resolver.GetUsage()) {
        nBytes += row.nSentBytes;
        if (row.IsAttributed()) {
            nAttributed += row.nSentBytes / 100;
        }
    }
    std::printf("%d new connections a second for %.1f s: %ld flows, %ld attributed (%ld bytes in "
                "rows of %ld)\nresolver CPU: %.3f s = %.2f %% of a core, %.2f us per new flow\n",
                nRate, dWall, nFlows, nAttributed, nBytes, nFlows * 100, dResolver,
                100 * dResolver / dWall, 1e6 * dResolver / static_cast<double>(nFlows));
    return 0;
}
