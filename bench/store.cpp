// The usage store's write cost: CPU per flush with 40 devices that all moved (and per snapshot
// observed), on a clock the benchmark moves; and a simulated year of five-minute buckets, after
// which the file's size and rows per tier are printed. Usage:
//   orvek_bench_store flush FOLDER [FLUSHES]    (FOLDER on the disk the user's file is on)
//   orvek_bench_store year FILE DEVICES [PLAN|- [APPS [AWAY]]]  (a year up to now; PLAN: a cap,
//   set as the plan; APPS: applications all year and as many new short-lived scopes every five
//   minutes; AWAY: days from the 200th on with the computer asleep, which nobody records)

#include "PlanUsage.h"
#include "UsageRecorder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

namespace {

struct CBenchClock final : IUsageClock {
    int64_t NowUtcMs() const override { return nWallMs; }
    int64_t NowSteadyMs() const override { return nWallMs + nSteadyOffsetMs; }
    // Asleep: the wall clock moves on, the steady one does not.
    void Sleep(int64_t nMs) {
        nWallMs += nMs;
        nSteadyOffsetMs -= nMs;
    }
    int64_t nWallMs = 0;
    int64_t nSteadyOffsetMs = 1'000'000;
};

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

MeterSnapshot Devices(int nDevices) {
    MeterSnapshot snapshot;
    for (int n = 0; n < nDevices; ++n) {
        DeviceSnapshot& device = snapshot.devices.emplace_back();
        device.strName = n == 0 ? "eth0" : n == 1 ? "wlan0" : "veth" + std::to_string(n);
    }
    return snapshot;
}

double Median(std::vector<double> vec) {
    std::ranges::sort(vec);
    return vec[vec.size() / 2];
}

int Flush(const std::string& strFolder, int nFlushes) {
    const std::string strPath = strFolder + "/bench-usage.sqlite";
    std::filesystem::remove(strPath);
    CBenchClock clock;
    clock.nWallMs = static_cast<int64_t>(std::time(nullptr)) * 1000;
    CUsageRecorder recorder(
        strPath, clock, [](const std::string& str) { std::fprintf(stderr, "%s\n", str.c_str()); });
    MeterSnapshot snapshot = Devices(40);
    recorder.Observe(snapshot);
    std::vector<double> vecFlushCpu, vecFlushWall, vecObserveCpu, vecIdleCpu;
    for (int n = 0; n < nFlushes; ++n) {
        // Ten one-second samples, as the window takes them, then the flush.
        for (int nSample = 0; nSample < 10; ++nSample) {
            clock.nWallMs += 1000;
            for (DeviceSnapshot& device : snapshot.devices) {
                device.nSentBytes += 1000 + n;
                device.nRecvBytes += 5000 + n;
            }
            const double dCpu = CpuSeconds();
            recorder.Observe(snapshot);
            vecObserveCpu.push_back(CpuSeconds() - dCpu);
        }
        const double dCpu = CpuSeconds(), dWall = WallSeconds();
        recorder.Flush();
        vecFlushCpu.push_back(CpuSeconds() - dCpu);
        vecFlushWall.push_back(WallSeconds() - dWall);
        // Nothing moved: the flush writes nothing.
        const double dIdle = CpuSeconds();
        recorder.Observe(snapshot);
        recorder.Flush();
        vecIdleCpu.push_back(CpuSeconds() - dIdle);
    }
    std::printf("40 devices, %d flushes of 10 samples each:\n", nFlushes);
    std::printf("  flush CPU   median %.3f ms, mean %.3f ms, max %.3f ms (wall median %.3f ms)\n",
                Median(vecFlushCpu) * 1e3,
                std::accumulate(vecFlushCpu.begin(), vecFlushCpu.end(), 0.0) / nFlushes * 1e3,
                *std::ranges::max_element(vecFlushCpu) * 1e3, Median(vecFlushWall) * 1e3);
    std::printf("  observe CPU median %.1f us per snapshot\n", Median(vecObserveCpu) * 1e6);
    std::printf("  idle observe + flush CPU median %.1f us\n", Median(vecIdleCpu) * 1e6);
    std::filesystem::remove(strPath);
    std::filesystem::remove(strPath + "-wal");
    std::filesystem::remove(strPath + "-shm");
    std::filesystem::remove(strPath + "-writer");
    return 0;
}

// nApps: applications that run all year sharing the first device's bytes, and as many new
// short-lived scopes every five minutes, each with a flush's bytes (0: none). nAwayDays: the
// computer asleep from the 200th day on, a gap the file shows as not recorded.
int Year(const std::string& strPath, int nDevices, const std::string& strPlan, int nApps,
         int nAwayDays) {
    for (const char* szSuffix : {"", "-wal", "-shm", "-writer"}) {
        std::filesystem::remove(strPath + szSuffix);
    }
    const int64_t nNow = static_cast<int64_t>(std::time(nullptr));
    CBenchClock clock;
    clock.nWallMs = (nNow - 365 * 86400) * 1000;
    const double dCpu = CpuSeconds(), dWall = WallSeconds();
    int64_t nFlushes = 0;
    {
        CUsageRecorder recorder(strPath, clock, [](const std::string& str) {
            std::fprintf(stderr, "%s\n", str.c_str());
        });
        MeterSnapshot snapshot = Devices(nDevices);
        for (int nApp = 0; nApp < nApps; ++nApp) {
            snapshot.apps.push_back({"app-" + std::to_string(nApp), 0, 0, 0, 0});
        }
        recorder.Observe(snapshot);
        uint64_t nRandom = 88172645463325252ULL;
        const int64_t nAwayMs = (nNow - (365 - 200) * 86400) * 1000;
        while (clock.nWallMs < nNow * 1000) {
            clock.nWallMs += 300'000;
            if (nAwayDays > 0 && clock.nWallMs >= nAwayMs && clock.nWallMs < nAwayMs + 300'000) {
                clock.Sleep(int64_t{nAwayDays} * 86400 * 1000);
            }
            // Busy evenings, quiet nights, a few heavy days: the shape of a household's traffic.
            const double dHour = static_cast<double>((clock.nWallMs / 1000 + 3600) % 86400) / 3600;
            const double dDaily = 0.3 + std::max(0.0, std::sin((dHour - 8) / 24 * 2 * M_PI)) * 1.7;
            for (size_t n = 0; n < snapshot.devices.size(); ++n) {
                nRandom ^= nRandom << 13;
                nRandom ^= nRandom >> 7;
                nRandom ^= nRandom << 17;
                const double dNoise = static_cast<double>(nRandom % 1000) / 1000;
                const double dShare = n == 0 ? 1.0 : n == 1 ? 0.35 : 0.02;
                const auto nRecv = static_cast<int64_t>(dDaily * dShare * (20e6 + dNoise * 60e6));
                snapshot.devices[n].nRecvBytes += nRecv;
                snapshot.devices[n].nSentBytes += nRecv / 12;
                if (n == 0 && nApps > 0) {
                    // The scopes of the last five minutes are gone; new ones take a tenth.
                    snapshot.apps.resize(static_cast<size_t>(nApps));
                    for (int nScope = 0; nScope < nApps; ++nScope) {
                        snapshot.apps.push_back(
                            {"run-u" + std::to_string(nFlushes * nApps + nScope) + ".scope", 0,
                             nRecv / 12 / 10 / nApps, nRecv / 10 / nApps, 0});
                    }
                    for (int nApp = 0; nApp < nApps; ++nApp) {
                        // Zipf-like shares: a few applications carry most bytes.
                        const int64_t nShare = nRecv * 9 / 10 / (nApp + 1) / 5;
                        snapshot.apps[static_cast<size_t>(nApp)].nRecvBytes += nShare;
                        snapshot.apps[static_cast<size_t>(nApp)].nSentBytes += nShare / 12;
                    }
                }
            }
            recorder.Observe(snapshot);
            recorder.Flush();
            ++nFlushes;
        }
        recorder.Flush(true);
        if (!strPlan.empty() && strPlan != "-") {
            Plan plan;
            std::string strError;
            if (!ParseCap(strPlan, plan.nCapBytes, plan.eUnit, strError)) {
                std::fprintf(stderr, "%s\n", strError.c_str());
                return 2;
            }
            SavePlan(*recorder.GetStore(), plan);
        }
    }
    const double dCpuSpent = CpuSeconds() - dCpu, dWallSpent = WallSeconds() - dWall;
    {
        // The log folded into the file, as the last connection's close does.
        CSqlite db(strPath, SQLITE_OPEN_READWRITE);
        db.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    CUsageStore store(strPath, CUsageStore::EAccess::Read, nNow);
    std::printf("a year of five-minute buckets up to now, %d devices, %lld flushes: %.1f s CPU, "
                "%.1f s wall (%.3f ms CPU per flush)\n",
                nDevices, static_cast<long long>(nFlushes), dCpuSpent, dWallSpent,
                dCpuSpent / static_cast<double>(nFlushes) * 1e3);
    std::printf("  file %s: %.1f KiB; rows:", strPath.c_str(),
                static_cast<double>(std::filesystem::file_size(strPath)) / 1024);
    for (int nTier = 0; nTier < kTierCount; ++nTier) {
        std::printf(" %s %zu", TierName(static_cast<ETier>(nTier)),
                    store.ReadUsage(static_cast<ETier>(nTier), 0, int64_t{1} << 40).size());
    }
    if (nApps > 0) {
        std::printf("; application rows: day %zu month %zu",
                    store.ReadApplications(ETier::Day, 0, int64_t{1} << 40).size(),
                    store.ReadApplications(ETier::Month, 0, int64_t{1} << 40).size());
    }
    std::printf("\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "flush") {
        return Flush(args[1], args.size() > 2 ? std::stoi(args[2]) : 300);
    }
    if (args.size() >= 3 && args[0] == "year") {
        return Year(args[1], std::stoi(args[2]), args.size() > 3 ? args[3] : "",
                    args.size() > 4 ? std::stoi(args[4]) : 0,
                    args.size() > 5 ? std::stoi(args[5]) : 0);
    }
    std::fprintf(stderr, "usage: orvek_bench_store flush FOLDER [FLUSHES] | year FILE DEVICES "
                         "[CAP|-] [APPLICATIONS [AWAY_DAYS]]\n");
    return 2;
}
