// Short TCP connections at a fixed rate, for a meter that captures the device they cross: every
// 10 ms, RATE/100 connections are made and accepted, each living two ticks, then reset (no
// TIME_WAIT). The listening socket is on ADDRESS (default 127.0.0.1), made in the network
// namespace LISTEN_NETNS when given (a path such as /run/netns/peer), so that the connections
// cross a device a meter captures (loopback never is). Prints how many were made and how long it
// took. Usage: orvek_bench_connections [CONNECTIONS_PER_SECOND [SECONDS [LISTEN_NETNS ADDRESS]]]

#include "BenchCommon.h"
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    const int nRate = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int nSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    constexpr int kTicksPerSecond = 100;
    // The listening socket stays in the namespace it was made in.
    const int hHome = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int hPeer = argc > 4 ? open(argv[3], O_RDONLY | O_CLOEXEC) : -1;
    if (argc > 4 && (hPeer < 0 || setns(hPeer, CLONE_NEWNET) != 0)) {
        std::perror(argv[3]);
        return 1;
    }
    const int hListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (argc > 4 && setns(hHome, CLONE_NEWNET) != 0) {
        std::perror("setns back");
        return 1;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    inet_pton(AF_INET, argc > 4 ? argv[4] : "127.0.0.1", &server.sin_addr);
    socklen_t nLength = sizeof server;
    if (bind(hListen, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
        listen(hListen, 4096) != 0 ||
        getsockname(hListen, reinterpret_cast<sockaddr*>(&server), &nLength) != 0) {
        std::perror("listen");
        return 1;
    }
    std::deque<std::vector<int>> open;
    const int nPerTick = nRate / kTicksPerSecond;
    const auto tStart = std::chrono::steady_clock::now();
    timespec tick{};
    clock_gettime(CLOCK_MONOTONIC, &tick);
    long nMade = 0;
    for (int nTick = 0; nTick < nSeconds * kTicksPerSecond; ++nTick) {
        std::vector<int>& fds = open.emplace_back();
        for (int n = 0; n < nPerTick; ++n) {
            const int hClient = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(hClient, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
                std::perror("connect");
                return 1;
            }
            const linger reset{1, 0};
            setsockopt(hClient, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            fds.push_back(hClient);
            fds.push_back(accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC));
            ++nMade;
        }
        if (open.size() > 2) {
            for (const int hFd : open.front()) {
                close(hFd);
            }
            open.pop_front();
        }
        orvekbench::SleepToNextTick(tick, kTicksPerSecond);
    }
    const double dWall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    std::printf("connections=%ld seconds=%.2f rate=%.0f\n", nMade, dWall,
                static_cast<double>(nMade) / dWall);
    return 0;
}
