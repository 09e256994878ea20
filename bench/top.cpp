// The terminal view at 1,000 connections: the time of one refresh (sample, sort, layout) in this
// process, and, given orvek-top's path, the CPU of the program itself refreshing once a second in
// a tmux terminal, fed by a stand-in service that pushes 1,000 connections ten times a second.
//
//   orvek_bench_top [--top PATH/orvek-top] [--seconds N]      (as root, with tmux)

#include "BenchCommon.h"
#include "FrameSocket.h"
#include "Protocol.h"
#include "TopLayout.h"
#include "TrafficSampler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <vector>

namespace {

constexpr size_t kConnections = 1000;

// 1,000 connections of 60 applications on 5 devices, each grown by nTick's traffic.
MeterSnapshot MakeSnapshot(int nTick) {
    MeterSnapshot snapshot;
    for (int n = 0; n < 5; ++n) {
        DeviceSnapshot& device = snapshot.devices.emplace_back();
        device.strName = "eth" + std::to_string(n);
        device.eState = EDeviceState::Capturing;
        device.bCapturing = true;
        device.nSentBytes = device.nRecvBytes = int64_t{nTick} * 100'000 * (n + 1);
        snapshot.nSentBytes += device.nSentBytes;
        snapshot.nRecvBytes += device.nRecvBytes;
    }
    for (int n = 0; n < 60; ++n) {
        snapshot.apps.push_back({"application-" + std::to_string(n), 0, int64_t{nTick} * 1000 * n,
                                 int64_t{nTick} * 2000 * n, 17, 2});
    }
    for (size_t n = 0; n < kConnections; ++n) {
        const char aRemote[4] = {93, static_cast<char>(n >> 8), static_cast<char>(n & 0xFF), 1};
        const int64_t nGrowth = static_cast<int64_t>((n * 7919) % 5000);
        snapshot.connections.push_back({n % 3 == 0 ? 17u : 6u, std::string("\x0a\0\0\x02", 4),
                                        std::string(aRemote, 4), static_cast<uint32_t>(30000 + n),
                                        443, "application-" + std::to_string(n % 60), 0,
                                        nGrowth * nTick, 3 * nGrowth * nTick});
    }
    snapshot.nOtherConnections = 2345;
    snapshot.nTakenNs = SnapshotClockNs();
    return snapshot;
}

void TimeRefresh() {
    CTrafficSampler sampler;
    TopChoices choices;
    choices.eView = ETopView::Connections;
    choices.eSort = ETopSort::Rate;
    // Half the remote ends named, as a cache answers.
    TopExtras extras;
    extras.fnName = [](const std::string& strAddress) {
        return (strAddress[2] & 1) != 0 ? "host-" + std::to_string(strAddress[2]) + ".example.org"
                                        : std::string();
    };
    auto tNow = std::chrono::steady_clock::now();
    sampler.Sample(MakeSnapshot(0), tNow);
    std::vector<double> times, cpuTimes;
    size_t nLines = 0;
    const auto threadCpuMs = [] {
        timespec cpu{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        return static_cast<double>(cpu.tv_sec) * 1e3 + static_cast<double>(cpu.tv_nsec) * 1e-6;
    };
    for (int nTick = 1; nTick <= 200; ++nTick) {
        MeterSnapshot snapshot = MakeSnapshot(nTick); // what the client holds, not timed
        tNow += std::chrono::seconds(1);
        const auto tStart = std::chrono::steady_clock::now();
        const double dCpuStart = threadCpuMs();
        sampler.Sample(std::move(snapshot), tNow);
        const TopScreen screen = LayoutTop(sampler.GetLatest(), choices, 160, 50, "", extras);
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - tStart)
                .count());
        cpuTimes.push_back(threadCpuMs() - dCpuStart);
        nLines += screen.lines.size();
    }
    std::ranges::sort(times);
    std::ranges::sort(cpuTimes);
    std::printf("refresh at %zu connections (sample + sort + layout, 160x50, %zu lines): "
                "median %.2f ms, 99th %.2f ms, max %.2f ms\n",
                kConnections, nLines / times.size(), times[times.size() / 2],
                times[times.size() * 99 / 100], times.back());
    // The thread's own CPU, which other processes taking the cores do not inflate.
    std::printf("  its thread's CPU: median %.2f ms, 99th %.2f ms, max %.2f ms\n",
                cpuTimes[cpuTimes.size() / 2], cpuTimes[cpuTimes.size() * 99 / 100],
                cpuTimes.back());
}

// A stand-in for the service: answers each client in turn (the program looks at the socket
// before its session) with a hello, Start and Stop's answers, and the snapshot pushed at the
// display's pace, until bStop.
void Serve(int hListen, const std::atomic<bool>& bStop) {
    for (int nTick = 0; !bStop;) {
        pollfd listen{hListen, POLLIN, 0};
        if (poll(&listen, 1, 100) <= 0) {
            continue;
        }
        CFrameSocket client(accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC));
        client.Send(EncodeFrame(HelperMessage{HelloMessage{}}));
        for (bool bOpen = true; bOpen && !bStop; ++nTick) {
            pollfd input{client.Get(), POLLIN, 0};
            if (poll(&input, 1, 100) > 0) {
                CFrameSocket::Read read = client.Next(false);
                for (; read.eStatus == CFrameSocket::EStatus::Frame; read = client.Next(false)) {
                    const ClientMessage message = DecodeClientMessage(read.body).message;
                    if (std::holds_alternative<StartMessage>(message)) {
                        client.Send(
                            EncodeFrame(HelperMessage{SnapshotMessage{MakeSnapshot(nTick)}}));
                        client.Send(EncodeFrame(HelperMessage{StartedMessage{}}));
                    } else if (std::holds_alternative<StopMessage>(message)) {
                        client.Send(EncodeFrame(HelperMessage{StoppedMessage{}}));
                    }
                }
                bOpen = read.eStatus == CFrameSocket::EStatus::Again;
            }
            client.Send(EncodeFrame(HelperMessage{SnapshotMessage{MakeSnapshot(nTick)}}));
        }
    }
}

int MeasureTop(const std::string& strTop, int nSeconds) {
    const std::string strDir =
        std::filesystem::temp_directory_path() / ("orvek-bench-top-" + std::to_string(getpid()));
    std::filesystem::create_directories(strDir);
    const std::string strSocket = strDir + "/service.sock";
    CZarnFd hListen(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strSocket.copy(address.sun_path, sizeof address.sun_path - 1);
    if (bind(hListen.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(hListen.Get(), 1) != 0) {
        std::perror("bind");
        return 1;
    }
    std::atomic<bool> bStop = false;
    std::thread server([&] { Serve(hListen.Get(), bStop); });
    const std::string strTmux = "tmux -f /dev/null -L orvek-bench-top-" + std::to_string(getpid());
    // In a network namespace of its own: its reverse lookups of the made-up addresses fail at
    // once and reach no name server.
    std::system((strTmux + " new-session -d -x 160 -y 50 'unshare -n " + strTop + " --socket " +
                 strSocket + " --view connections --sort rate --interval 1'")
                    .c_str());
    // Started and drawing: give it a few refreshes before measuring.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    pid_t nTop = 0;
    if (FILE* pPids = popen("pgrep -n -x orvek-top", "r")) {
        if (std::fscanf(pPids, "%d", &nTop) != 1) {
            nTop = 0;
        }
        pclose(pPids);
    }
    int nStatus = 0;
    if (nTop <= 0) {
        std::fprintf(stderr, "orvek-top did not start\n");
        nStatus = 1;
    } else {
        const double dBefore = orvekbench::ProcessCpuSeconds(nTop);
        const auto tBefore = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(nSeconds));
        const double dCpu = orvekbench::ProcessCpuSeconds(nTop) - dBefore;
        const double dWall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - tBefore).count();
        std::printf("orvek-top, connections view, %zu connections pushed 10 times a second, "
                    "one refresh a second at 160x50: %.2f %% of a core over %.0f s\n",
                    kConnections, 100 * dCpu / dWall, dWall);
    }
    // What it showed, to see that it drew the rows.
    std::system((strTmux + " capture-pane -p | head -5").c_str());
    std::system((strTmux + " kill-server").c_str());
    bStop = true;
    server.join();
    std::filesystem::remove_all(strDir);
    return nStatus;
}

} // namespace

int main(int argc, char** argv) {
    std::string strTop;
    int nSeconds = 30;
    for (int n = 1; n + 1 < argc; n += 2) {
        const std::string strOption = argv[n];
        if (strOption == "--top") {
            strTop = argv[n + 1];
        } else if (strOption == "--seconds") {
            nSeconds = std::max(1, std::atoi(argv[n + 1]));
        }
    }
    TimeRefresh();
    return strTop.empty() ? 0 : MeasureTop(strTop, nSeconds);
}
