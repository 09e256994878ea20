// Many devices: times the meter's StartCapture and StopCapture on every device of its network
// namespace and shows where the time goes. The libpcap calls of the capture library are
// interposed at link time (-Wl,--wrap) and timed; the meter's OnAdapterFound is timed around.
// Per device: pcap_create, pcap_activate (the ring is allocated and mapped here), the capture
// thread start (activate's end to the filter hand-over's pcap_breakloop), and the filter
// hand-over (pcap_breakloop to SetFilter's return: wake of the capture thread, its pcap_compile
// and pcap_setfilter, wake of the caller). Then resident memory, threads and idle CPU while
// capturing, and StopCapture. After the cycles, models of the proposed changes in raw libpcap
// (no library change): filter installed before the thread starts, then the same opened by several
// threads at once, then one listing shared.
//
// Usage: orvek_bench_manydevices [-c CYCLES] [-i IDLE_SECONDS] [-s SNAPLEN] [-B BUFFER_BYTES] [-M]
//   -M: no models.
//   -s/-B: snapshot length and ring of the raw-libpcap models (the meter uses its own constants).
// Prints readable lines; every figure is in milliseconds unless it says otherwise.

#include "AdapterManager.h"
#include "BenchCommon.h"
#include "OrvekMeter.h"
#include "ZarnException.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <pcap/pcap.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

double Ms(int64_t nNs) {
    return static_cast<double>(nNs) * 1e-6;
}

// Time spent in one libpcap function, on the thread that started capture and on the others.
struct CallStats {
    std::atomic<uint64_t> nCalls[2]{};
    std::atomic<int64_t> nTotalNs[2]{};
    std::atomic<int64_t> nMaxNs{0};

    void Add(bool bMain, int64_t nNs) {
        nCalls[bMain ? 0 : 1].fetch_add(1);
        nTotalNs[bMain ? 0 : 1].fetch_add(nNs);
        int64_t nMax = nMaxNs.load();
        while (nNs > nMax && !nMaxNs.compare_exchange_weak(nMax, nNs)) {
        }
    }
    void Reset() {
        for (int i = 0; i < 2; ++i) {
            nCalls[i] = 0;
            nTotalNs[i] = 0;
        }
        nMaxNs = 0;
    }
};

enum ECall { FindAllDevs, Create, Activate, Compile, SetFilter, Close, BreakLoop, CallCount };
const char* const g_szCallNames[CallCount] = {"pcap_findalldevs", "pcap_create",    "pcap_activate",
                                              "pcap_compile",     "pcap_setfilter", "pcap_close",
                                              "pcap_breakloop"};
CallStats g_calls[CallCount];
pthread_t g_mainThread;
std::atomic<bool> g_bStopping{false};

bool IsMain() {
    return pthread_equal(pthread_self(), g_mainThread) != 0;
}

// One device's way through OnAdapterFound (nanosecond time points; 0 = not seen).
struct DeviceTimeline {
    std::atomic<pcap_t*> pPcap{nullptr};
    int64_t tEnter = 0;
    int64_t tActivateStart = 0;
    int64_t tActivateEnd = 0;
    int64_t tBreakLoop = 0;
    std::atomic<int64_t> tCompileStart{0};
    std::atomic<int64_t> tSetFilterEnd{0};
    std::atomic<bool> bCompiledOnCaptureThread{false};
    int64_t tExit = 0;
};

constexpr size_t kMaxDevices = 512;
DeviceTimeline g_timelines[kMaxDevices];
std::atomic<size_t> g_nTimelines{0};
std::atomic<bool> g_bRecording{false};

DeviceTimeline* CurrentTimeline() {
    const size_t n = g_nTimelines.load();
    return n == 0 ? nullptr : &g_timelines[n - 1];
}

DeviceTimeline* TimelineOf(pcap_t* pPcap) {
    const size_t n = g_nTimelines.load();
    for (size_t i = 0; i < n; ++i) {
        if (g_timelines[i].pPcap.load() == pPcap) {
            return &g_timelines[i];
        }
    }
    return nullptr;
}

} // namespace

extern "C" {
int __real_pcap_findalldevs(pcap_if_t**, char*);
pcap_t* __real_pcap_create(const char*, char*);
int __real_pcap_activate(pcap_t*);
int __real_pcap_compile(pcap_t*, bpf_program*, const char*, int, bpf_u_int32);
int __real_pcap_setfilter(pcap_t*, bpf_program*);
void __real_pcap_close(pcap_t*);
void __real_pcap_breakloop(pcap_t*);

int __wrap_pcap_findalldevs(pcap_if_t** ppDevices, char* szError) {
    const int64_t t0 = NowNs();
    const int nResult = __real_pcap_findalldevs(ppDevices, szError);
    g_calls[FindAllDevs].Add(IsMain(), NowNs() - t0);
    return nResult;
}

pcap_t* __wrap_pcap_create(const char* szDevice, char* szError) {
    const int64_t t0 = NowNs();
    pcap_t* pPcap = __real_pcap_create(szDevice, szError);
    g_calls[Create].Add(IsMain(), NowNs() - t0);
    if (g_bRecording.load() && IsMain()) {
        if (DeviceTimeline* pLine = CurrentTimeline()) {
            pLine->pPcap.store(pPcap);
        }
    }
    return pPcap;
}

int __wrap_pcap_activate(pcap_t* pPcap) {
    const int64_t t0 = NowNs();
    const int nResult = __real_pcap_activate(pPcap);
    const int64_t t1 = NowNs();
    g_calls[Activate].Add(IsMain(), t1 - t0);
    if (g_bRecording.load() && IsMain()) {
        if (DeviceTimeline* pLine = CurrentTimeline()) {
            pLine->tActivateStart = t0;
            pLine->tActivateEnd = t1;
        }
    }
    return nResult;
}

int __wrap_pcap_compile(pcap_t* pPcap, bpf_program* pProgram, const char* szExpression,
                        int nOptimize, bpf_u_int32 nNetmask) {
    const int64_t t0 = NowNs();
    const int nResult = __real_pcap_compile(pPcap, pProgram, szExpression, nOptimize, nNetmask);
    const bool bMain = IsMain();
    g_calls[Compile].Add(bMain, NowNs() - t0);
    if (g_bRecording.load()) {
        if (DeviceTimeline* pLine = TimelineOf(pPcap)) {
            pLine->tCompileStart.store(t0);
            pLine->bCompiledOnCaptureThread.store(!bMain);
        }
    }
    return nResult;
}

int __wrap_pcap_setfilter(pcap_t* pPcap, bpf_program* pProgram) {
    const int64_t t0 = NowNs();
    const int nResult = __real_pcap_setfilter(pPcap, pProgram);
    const int64_t t1 = NowNs();
    g_calls[SetFilter].Add(IsMain(), t1 - t0);
    if (g_bRecording.load()) {
        if (DeviceTimeline* pLine = TimelineOf(pPcap)) {
            pLine->tSetFilterEnd.store(t1);
        }
    }
    return nResult;
}

void __wrap_pcap_close(pcap_t* pPcap) {
    const int64_t t0 = NowNs();
    __real_pcap_close(pPcap);
    g_calls[Close].Add(IsMain(), NowNs() - t0);
}

void __wrap_pcap_breakloop(pcap_t* pPcap) {
    const int64_t t0 = NowNs();
    __real_pcap_breakloop(pPcap);
    g_calls[BreakLoop].Add(IsMain(), NowNs() - t0);
    if (g_bRecording.load() && !g_bStopping.load() && IsMain()) {
        if (DeviceTimeline* pLine = TimelineOf(pPcap)) {
            pLine->tBreakLoop = t0;
        }
    }
}
}

namespace {

// The meter with no display; OnAdapterFound is the meter's own, timed around.
class CTimedMeter : public COrvekMeter {
public:
    ~CTimedMeter() override { StopCapture(); }

    void OnAdapterFound(CAdapter* pAdapter, const char* szDeviceName) override {
        const size_t nIndex = g_nTimelines.load();
        DeviceTimeline* pLine = nIndex < kMaxDevices ? &g_timelines[nIndex] : nullptr;
        if (pLine != nullptr) {
            pLine->tEnter = NowNs();
            g_nTimelines.store(nIndex + 1);
        }
        COrvekMeter::OnAdapterFound(pAdapter, szDeviceName);
        if (pLine != nullptr) {
            pLine->tExit = NowNs();
        }
    }

protected:
    void PostDisplayUpdate() override {}
    void ShowCounters(const char*, const char*) override {}
    void ShowMessage(const std::string& strText, const char* szCaption) override {
        std::fprintf(stderr, "%s: %s\n", szCaption, strText.c_str());
    }
};

// A field of /proc/self/status ("VmRSS", "VmHWM", "Threads").
long StatusField(const char* szKey) {
    std::ifstream status("/proc/self/status");
    std::string strLine;
    const std::string strPrefix = std::string(szKey) + ":";
    while (std::getline(status, strLine)) {
        if (strLine.compare(0, strPrefix.size(), strPrefix) == 0) {
            return std::atol(strLine.c_str() + strPrefix.size());
        }
    }
    return -1;
}

// On-CPU nanoseconds and voluntary context switches summed over every thread of this process.
void ProcessSchedTotals(int64_t& nCpuNs, int64_t& nSwitches) {
    nCpuNs = 0;
    nSwitches = 0;
    DIR* pDir = opendir("/proc/self/task");
    if (pDir == nullptr) {
        return;
    }
    while (dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.') {
            continue;
        }
        const std::string strTask = std::string("/proc/self/task/") + pEntry->d_name;
        std::ifstream sched(strTask + "/schedstat");
        long long nRun = 0;
        if (sched >> nRun) {
            nCpuNs += nRun;
        }
        std::ifstream status(strTask + "/status");
        std::string strLine;
        while (std::getline(status, strLine)) {
            if (strLine.rfind("voluntary_ctxt_switches:", 0) == 0) {
                nSwitches += std::atoll(strLine.c_str() + 24);
            }
        }
    }
    closedir(pDir);
}

void ResetCalls() {
    for (auto& call : g_calls) {
        call.Reset();
    }
}

void PrintCalls(const char* szPhase) {
    for (int i = 0; i < CallCount; ++i) {
        const CallStats& call = g_calls[i];
        const uint64_t nCalls = call.nCalls[0] + call.nCalls[1];
        if (nCalls == 0) {
            continue;
        }
        std::printf(
            "  %-6s %-17s calls main=%llu other=%llu  total main=%.3f other=%.3f  max=%.3f\n",
            szPhase, g_szCallNames[i], static_cast<unsigned long long>(call.nCalls[0]),
            static_cast<unsigned long long>(call.nCalls[1]), Ms(call.nTotalNs[0]),
            Ms(call.nTotalNs[1]), Ms(call.nMaxNs));
    }
}

struct Spread {
    double dSum = 0, dMin = 1e18, dMax = 0;
    std::vector<double> values;
    void Add(double d) {
        dSum += d;
        dMin = std::min(dMin, d);
        dMax = std::max(dMax, d);
        values.push_back(d);
    }
    double Median() {
        if (values.empty()) {
            return 0;
        }
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }
};

void PrintSpread(const char* szName, Spread& spread) {
    std::printf("  %-34s sum=%8.3f  per device min=%.3f median=%.3f max=%.3f\n", szName,
                spread.dSum, spread.values.empty() ? 0 : spread.dMin, spread.Median(), spread.dMax);
}

// Breakdown of the devices opened during StartCapture, from the recorded time lines.
void PrintDeviceBreakdown() {
    Spread whole, create, activate, threadStart, handOver, wake, compileSet, wakeBack;
    size_t nOnCapture = 0;
    const size_t n = g_nTimelines.load();
    for (size_t i = 0; i < n; ++i) {
        const DeviceTimeline& line = g_timelines[i];
        whole.Add(Ms(line.tExit - line.tEnter));
        create.Add(Ms(line.tActivateStart - line.tEnter));
        activate.Add(Ms(line.tActivateEnd - line.tActivateStart));
        if (line.tBreakLoop != 0) {
            threadStart.Add(Ms(line.tBreakLoop - line.tActivateEnd));
            handOver.Add(Ms(line.tExit - line.tBreakLoop));
            if (line.tCompileStart.load() != 0) {
                wake.Add(Ms(std::max<int64_t>(0, line.tCompileStart.load() - line.tBreakLoop)));
                compileSet.Add(Ms(line.tSetFilterEnd.load() - line.tCompileStart.load()));
                wakeBack.Add(Ms(line.tExit - line.tSetFilterEnd.load()));
            }
        }
        nOnCapture += line.bCompiledOnCaptureThread.load() ? 1 : 0;
    }
    std::printf("  devices opened: %zu (filter installed on the capture thread for %zu)\n", n,
                nOnCapture);
    PrintSpread("OnAdapterFound (whole)", whole);
    PrintSpread("  pcap_create + options", create);
    PrintSpread("  pcap_activate (ring)", activate);
    PrintSpread("  thread start (to breakloop)", threadStart);
    PrintSpread("  SetFilter hand-over (breakloop..)", handOver);
    PrintSpread("    capture thread wakes", wake);
    PrintSpread("    pcap_compile + pcap_setfilter", compileSet);
    PrintSpread("    caller wakes", wakeBack);
}

// --- Raw libpcap models of the proposed changes -------------------------------------------------

struct ModelOptions {
    int nSnapLength = 65535;
    int nBufferBytes = 8 * 1024 * 1024;
};

bool IsCapturable(const pcap_if_t* pDevice) {
    if ((pDevice->flags & PCAP_IF_UP) == 0) {
        return false;
    }
    for (const pcap_addr_t* p = pDevice->addresses; p != nullptr; p = p->next) {
        if (p->addr != nullptr &&
            (p->addr->sa_family == AF_INET || p->addr->sa_family == AF_INET6)) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> CapturableNames() {
    pcap_if_t* pAll = nullptr;
    char szError[PCAP_ERRBUF_SIZE];
    std::vector<std::string> names;
    if (pcap_findalldevs(&pAll, szError) != 0) {
        return names;
    }
    for (pcap_if_t* p = pAll; p != nullptr; p = p->next) {
        if (IsCapturable(p)) {
            names.emplace_back(p->name);
        }
    }
    pcap_freealldevs(pAll);
    return names;
}

struct RawDevice {
    pcap_t* pPcap = nullptr;
    std::thread reader;
    std::atomic<bool> bStop{false};
};

void RawLoop(RawDevice* pDevice) {
    while (!pDevice->bStop.load()) {
        if (pcap_dispatch(
                pDevice->pPcap, -1, [](u_char*, const pcap_pkthdr*, const u_char*) {}, nullptr) ==
            PCAP_ERROR) {
            break;
        }
    }
}

// Opens one device completely on the calling thread (filter installed before the reader starts).
void RawOpen(RawDevice& device, const std::string& strName, const ModelOptions& options) {
    char szError[PCAP_ERRBUF_SIZE];
    device.pPcap = pcap_create(strName.c_str(), szError);
    pcap_set_snaplen(device.pPcap, options.nSnapLength);
    pcap_set_timeout(device.pPcap, 100);
    pcap_set_buffer_size(device.pPcap, options.nBufferBytes);
    if (pcap_activate(device.pPcap) < 0) {
        std::fprintf(stderr, "%s: %s\n", strName.c_str(), pcap_geterr(device.pPcap));
        return;
    }
    bpf_program program{};
    if (pcap_compile(device.pPcap, &program, COrvekMeter::kDefaultFilter, 1,
                     PCAP_NETMASK_UNKNOWN) == 0) {
        pcap_setfilter(device.pPcap, &program);
        pcap_freecode(&program);
    }
    device.reader = std::thread(RawLoop, &device);
}

void RawClose(RawDevice& device) {
    device.bStop.store(true);
    if (device.pPcap != nullptr) {
        pcap_breakloop(device.pPcap);
    }
    if (device.reader.joinable()) {
        device.reader.join();
    }
    if (device.pPcap != nullptr) {
        pcap_close(device.pPcap);
    }
}

// One model run: a listing, every capturable device opened by nWorkers threads (0: one thread per
// device), then closed by as many; prints one line.
void RunModel(const char* szName, size_t nWorkers, const ModelOptions& options) {
    const double dCpu0 = orvekbench::ProcessCpuSeconds();
    const int64_t t0 = NowNs();
    const std::vector<std::string> names = CapturableNames();
    const int64_t t1 = NowNs();
    if (nWorkers == 0) {
        nWorkers = names.size();
    }
    std::vector<RawDevice> devices(names.size());
    auto forEach = [&](auto fnWork) {
        if (nWorkers <= 1) {
            for (size_t i = 0; i < names.size(); ++i) {
                fnWork(i);
            }
            return;
        }
        std::atomic<size_t> nNext{0};
        std::vector<std::thread> workers;
        for (size_t w = 0; w < nWorkers; ++w) {
            workers.emplace_back([&] {
                for (size_t i; (i = nNext.fetch_add(1)) < names.size();) {
                    fnWork(i);
                }
            });
        }
        for (auto& worker : workers) {
            worker.join();
        }
    };
    forEach([&](size_t i) { RawOpen(devices[i], names[i], options); });
    const int64_t t2 = NowNs();
    const double dCpu2 = orvekbench::ProcessCpuSeconds();
    const long nRss = StatusField("VmRSS");
    const double dCpu3 = orvekbench::ProcessCpuSeconds();
    const int64_t t3 = NowNs();
    forEach([&](size_t i) { RawClose(devices[i]); });
    const int64_t t4 = NowNs();
    const double dCpu4 = orvekbench::ProcessCpuSeconds();
    std::printf("model %-36s devices=%zu listing=%.3f open=%.3f start_total=%.3f (CPU %.3f)  "
                "close=%.3f (CPU %.3f)  VmRSS=%ld KiB\n",
                szName, names.size(), Ms(t1 - t0), Ms(t2 - t1), Ms(t2 - t0), (dCpu2 - dCpu0) * 1e3,
                Ms(t4 - t3), (dCpu4 - dCpu3) * 1e3, nRss);
}

} // namespace

int main(int argc, char** argv) {
    int nCycles = 3;
    int nIdleSeconds = 5;
    ModelOptions options;
    bool bModels = true;
    for (int nOption; (nOption = getopt(argc, argv, "c:i:s:B:M")) != -1;) {
        switch (nOption) {
        case 'c':
            nCycles = std::atoi(optarg);
            break;
        case 'i':
            nIdleSeconds = std::atoi(optarg);
            break;
        case 's':
            options.nSnapLength = std::atoi(optarg);
            break;
        case 'B':
            options.nBufferBytes = std::atoi(optarg);
            break;
        case 'M':
            bModels = false;
            break;
        default:
            std::fprintf(stderr,
                         "usage: %s [-c CYCLES] [-i IDLE_SECONDS] [-s SNAPLEN] [-B BYTES] [-M]\n",
                         argv[0]);
            return 2;
        }
    }
    g_mainThread = pthread_self();

    // The listing alone, before anything is open.
    {
        Spread listing;
        size_t nAll = 0, nCapturable = 0;
        for (int i = 0; i < 5; ++i) {
            pcap_if_t* pAll = nullptr;
            char szError[PCAP_ERRBUF_SIZE];
            const int64_t t0 = NowNs();
            if (pcap_findalldevs(&pAll, szError) != 0) {
                std::fprintf(stderr, "pcap_findalldevs: %s\n", szError);
                return 1;
            }
            listing.Add(Ms(NowNs() - t0));
            nAll = nCapturable = 0;
            for (pcap_if_t* p = pAll; p != nullptr; p = p->next) {
                ++nAll;
                nCapturable += IsCapturable(p) ? 1 : 0;
            }
            pcap_freealldevs(pAll);
        }
        std::printf("listing: %zu entries, %zu capturable; pcap_findalldevs x5 min=%.3f "
                    "median=%.3f max=%.3f\n",
                    nAll, nCapturable, listing.dMin, listing.Median(), listing.dMax);
    }
    std::printf("process before capture: VmRSS=%ld KiB VmHWM=%ld KiB Threads=%ld\n",
                StatusField("VmRSS"), StatusField("VmHWM"), StatusField("Threads"));

    CTimedMeter meter;
    for (int nCycle = 1; nCycle <= nCycles; ++nCycle) {
        ResetCalls();
        g_nTimelines.store(0);
        g_bRecording.store(true);
        g_bStopping.store(false);
        const double dCpuStart = orvekbench::ProcessCpuSeconds();
        const int64_t tStart = NowNs();
        try {
            meter.StartCapture();
        } catch (const CZarnException& e) {
            std::fprintf(stderr, "StartCapture: %s\n", e.GetDescription());
            return 1;
        }
        const int64_t tStarted = NowNs();
        const double dCpuStarted = orvekbench::ProcessCpuSeconds();
        const size_t nDevices = g_nTimelines.load();
        const int64_t tLastExit = nDevices > 0 ? g_timelines[nDevices - 1].tExit : tStarted;
        std::printf("cycle %d: StartCapture %.3f ms (process CPU %.3f ms), adapters=%zu\n", nCycle,
                    Ms(tStarted - tStart), (dCpuStarted - dCpuStart) * 1e3,
                    CAdapterManager::GetInstance()->GetAdapterCount());
        PrintDeviceBreakdown();
        std::printf("  %-34s %.3f\n", "before first device (socket, list)",
                    Ms((nDevices > 0 ? g_timelines[0].tEnter : tStarted) - tStart));
        std::printf("  %-34s %.3f\n", "after last device (monitor start)",
                    Ms(tStarted - tLastExit));
        PrintCalls("start");
        g_bRecording.store(false);

        std::printf("  after StartCapture: VmRSS=%ld KiB VmHWM=%ld KiB Threads=%ld\n",
                    StatusField("VmRSS"), StatusField("VmHWM"), StatusField("Threads"));
        ResetCalls();
        int64_t nCpu0 = 0, nSw0 = 0, nCpu1 = 0, nSw1 = 0;
        ProcessSchedTotals(nCpu0, nSw0);
        const int64_t tIdle0 = NowNs();
        std::this_thread::sleep_for(std::chrono::seconds(nIdleSeconds));
        ProcessSchedTotals(nCpu1, nSw1);
        const double dIdleSeconds = static_cast<double>(NowNs() - tIdle0) * 1e-9;
        std::printf("  idle %.1f s: CPU %.3f ms (%.4f %% of one core), %.0f wakeups/s, monitor "
                    "refreshes so far %u\n",
                    dIdleSeconds, Ms(nCpu1 - nCpu0), Ms(nCpu1 - nCpu0) / (dIdleSeconds * 10.0),
                    static_cast<double>(nSw1 - nSw0) / dIdleSeconds,
                    CAdapterManager::GetInstance()->GetMonitorRefreshCount());
        PrintCalls("idle");

        ResetCalls();
        g_bStopping.store(true);
        const double dCpuStop = orvekbench::ProcessCpuSeconds();
        const int64_t tStop = NowNs();
        meter.StopCapture();
        const int64_t tStopped = NowNs();
        std::printf("  StopCapture %.3f ms (process CPU %.3f ms)\n", Ms(tStopped - tStop),
                    (orvekbench::ProcessCpuSeconds() - dCpuStop) * 1e3);
        PrintCalls("stop");
        std::printf("  after StopCapture: VmRSS=%ld KiB Threads=%ld\n", StatusField("VmRSS"),
                    StatusField("Threads"));
    }

    if (!bModels) {
        return 0;
    }
    std::printf("models (raw libpcap, snaplen %d, ring %d bytes, filter \"%s\"):\n",
                options.nSnapLength, options.nBufferBytes, COrvekMeter::kDefaultFilter);
    RunModel("filter before thread, 1 opener", 1, options);
    RunModel("filter before thread, 2 openers", 2, options);
    RunModel("filter before thread, 4 openers", 4, options);
    RunModel("filter before thread, 8 openers", 8, options);
    RunModel("filter before thread, 1 opener per device", 0, options);
    return 0;
}
