// The exporter under hostile and heavy clients: a running `orvek-headless --metrics` (its process
// id and port given) gets a 37 MB header flood, idle connections before a scrape, 64 concurrent
// scrapers and 10 000 scrapes in a row. Its resident memory and threads come from /proc; times
// from this process's clock.
//
// Usage: orvek_bench_exporter PID PORT
// Prints one line per measurement.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int g_nPid = 0;
uint16_t g_nPort = 0;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A "Name:   N kB" line of the exporter's /proc status, in KiB.
long StatusKiB(const char* szName) {
    std::ifstream status("/proc/" + std::to_string(g_nPid) + "/status");
    for (std::string strLine; std::getline(status, strLine);) {
        if (strLine.rfind(szName, 0) == 0 && strLine[std::strlen(szName)] == ':') {
            return std::atol(strLine.c_str() + std::strlen(szName) + 1);
        }
    }
    return -1;
}

long Threads() {
    return std::distance(
        std::filesystem::directory_iterator("/proc/" + std::to_string(g_nPid) + "/task"), {});
}

// A connected socket to the exporter, or -1.
int Connect() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address{AF_INET, htons(g_nPort), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One scrape on a connection of its own; true when answered 200 with a body.
bool Scrape() {
    const int fd = Connect();
    if (fd < 0) {
        return false;
    }
    static const char kRequest[] = "GET /metrics HTTP/1.1\r\nHost: b\r\nConnection: close\r\n\r\n";
    std::string strReply;
    if (send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) ==
        static_cast<ssize_t>(sizeof kRequest - 1)) {
        char buffer[65536];
        pollfd wait{fd, POLLIN, 0};
        while (poll(&wait, 1, 10000) == 1) {
            const ssize_t nRead = recv(fd, buffer, sizeof buffer, 0);
            if (nRead <= 0) {
                break;
            }
            strReply.append(buffer, static_cast<size_t>(nRead));
        }
    }
    close(fd);
    return strReply.rfind("HTTP/1.1 200 ", 0) == 0 &&
           strReply.find("orvek_build_info") != std::string::npos;
}

double Percentile(std::vector<double> values, double dFraction) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(dFraction * values.size()))];
}

void Flood() {
    const long nBefore = StatusKiB("VmRSS");
    const int fd = Connect();
    std::string strLines = "GET /metrics HTTP/1.1\r\nHost: b\r\n";
    while (strLines.size() < 16384) {
        strLines += "a:b\r\n";
    }
    const auto start = Clock::now();
    size_t nSent = 0;
    long nPeak = nBefore;
    while (nSent < 37'000'000) {
        const ssize_t nPart = send(fd, strLines.data(), strLines.size(), MSG_NOSIGNAL);
        if (nPart <= 0) {
            break;
        }
        nSent += static_cast<size_t>(nPart);
        nPeak = std::max(nPeak, StatusKiB("VmRSS"));
    }
    const double dMs = MsSince(start);
    char szReply[32] = "";
    const ssize_t nReply = recv(fd, szReply, sizeof szReply - 1, 0);
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::printf("header flood: the exporter closed the connection after %zu bytes sent (%.1f ms); "
                "answer: %s; VmRSS %ld KiB before, %ld KiB at most during, %ld KiB after\n",
                nSent, dMs, nReply > 12 ? std::string(szReply, 12).c_str() : "none", nBefore, nPeak,
                StatusKiB("VmRSS"));
}

void IdleThenScrape(int nIdle) {
    std::vector<int> idle;
    for (int n = 0; n < nIdle; ++n) {
        idle.push_back(Connect());
    }
    const auto start = Clock::now();
    const bool bOk = Scrape();
    const double dMs = MsSince(start);
    std::printf("%d idle connections open (%ld failed to connect): a scrape %s in %.2f ms; VmRSS "
                "%ld KiB\n",
                nIdle, std::ranges::count(idle, -1), bOk ? "answered" : "NOT answered", dMs,
                StatusKiB("VmRSS"));
    for (const int fd : idle) {
        close(fd);
    }
}

void Concurrent(int nScrapers, int nEach) {
    std::vector<std::vector<double>> latencies(static_cast<size_t>(nScrapers));
    std::atomic<int> nFailed{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int t = 0; t < nScrapers; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < nEach; ++n) {
                const auto begin = Clock::now();
                nFailed += Scrape() ? 0 : 1;
                latencies[static_cast<size_t>(t)].push_back(MsSince(begin));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<double> all;
    for (const auto& one : latencies) {
        all.insert(all.end(), one.begin(), one.end());
    }
    std::printf("%d concurrent scrapers, %d scrapes each in %.0f ms: %d not answered; latency "
                "p50 %.2f ms, p99 %.2f ms, max %.2f ms; VmRSS %ld KiB, threads %ld\n",
                nScrapers, nEach, MsSince(start), nFailed.load(), Percentile(all, 0.5),
                Percentile(all, 0.99), Percentile(all, 1.0), StatusKiB("VmRSS"), Threads());
}

void Sequential(int nScrapes) {
    for (int n = 0; n < 1000; ++n) {
        Scrape(); // warm-up
    }
    const long nBefore = StatusKiB("VmRSS");
    int nFailed = 0;
    const auto start = Clock::now();
    for (int n = 0; n < nScrapes; ++n) {
        nFailed += Scrape() ? 0 : 1;
    }
    std::printf("%d scrapes in a row in %.0f ms: %d not answered; VmRSS %ld KiB before, %ld KiB "
                "after\n",
                nScrapes, MsSince(start), nFailed, nBefore, StatusKiB("VmRSS"));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: orvek_bench_exporter PID PORT\n");
        return 2;
    }
    g_nPid = std::atoi(argv[1]);
    g_nPort = static_cast<uint16_t>(std::atoi(argv[2]));
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    std::printf("exporter at start: VmRSS %ld KiB, threads %ld\n", StatusKiB("VmRSS"), Threads());
    Flood();
    IdleThenScrape(100);
    IdleThenScrape(1000);
    Concurrent(64, 50);
    Sequential(10000);
    std::printf("exporter at the end: VmRSS %ld KiB, VmHWM %ld KiB, threads %ld\n",
                StatusKiB("VmRSS"), StatusKiB("VmHWM"), Threads());
    return 0;
}
