// The cost of one look for user-space tunnels: a walk over every readable process's descriptors
// for tun devices, the socket dumps and the route requests for the holder's connected sockets.
// In a network namespace of the benchmark's own, with a tun device held by this process (which
// also holds a connected UDP socket) and CHILDREN extra processes of 24 descriptors each, as a
// desktop's processes hold them; as root every process of the machine is read besides. Prints the
// median and worst wall and CPU time of a look over LOOKS looks. Needs root (the namespace).
// Usage: orvek_bench_usertunnels [CHILDREN [LOOKS]]

#include "UserTunnels.h"
#include "LinkTable.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double CpuSeconds() {
    timespec time{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

void Up(const char* szName) {
    const int hFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", szName);
    request.ifr_flags = IFF_UP;
    if (hFd < 0 || ioctl(hFd, SIOCSIFFLAGS, &request) != 0) {
        std::perror(szName);
        std::exit(1);
    }
    close(hFd);
}

size_t CountProcesses() {
    size_t nCount = 0;
    DIR* pProc = opendir("/proc");
    while (const dirent* pEntry = pProc != nullptr ? readdir(pProc) : nullptr) {
        nCount += pEntry->d_name[0] >= '1' && pEntry->d_name[0] <= '9' ? 1 : 0;
    }
    if (pProc != nullptr) {
        closedir(pProc);
    }
    return nCount;
}

} // namespace

int main(int argc, char** argv) {
    const int nChildren = argc > 1 ? std::atoi(argv[1]) : 300;
    const int nLooks = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare (needs root)");
        return 1;
    }
    Up("lo");
    const int hTun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "obt0");
    if (hTun < 0 || ioctl(hTun, TUNSETIFF, &request) != 0) {
        std::perror("tun");
        return 1;
    }
    Up("obt0");
    const int hUdp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(1194);
    inet_pton(AF_INET, "127.0.0.2", &peer.sin_addr);
    if (connect(hUdp, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        std::perror("udp");
        return 1;
    }
    std::vector<pid_t> children;
    for (int n = 0; n < nChildren; ++n) {
        const pid_t nPid = fork();
        if (nPid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(hTun); // only this process holds the device
            for (int nSocket = 0; nSocket < 20; ++nSocket) {
                (void)!socket(AF_INET, SOCK_DGRAM, 0);
            }
            pause();
            _exit(0);
        }
        children.push_back(nPid);
    }
    usleep(200000); // the children have opened their sockets

    const CLinkTable links;
    std::vector<double> wall, cpu;
    std::string strVerdict;
    for (int n = 0; n < nLooks; ++n) {
        CUserTunnels tunnels; // a fresh one: the device is due
        const double dCpu = CpuSeconds();
        const auto tStart = std::chrono::steady_clock::now();
        const auto& verdicts = tunnels.Update(links, tStart);
        wall.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count());
        cpu.push_back(CpuSeconds() - dCpu);
        strVerdict = verdicts.contains("obt0") ? verdicts.at("obt0").strReason : "none";
    }
    const size_t nProcesses = CountProcesses();
    for (const pid_t nPid : children) {
        kill(nPid, SIGKILL);
        waitpid(nPid, nullptr, 0);
    }
    std::ranges::sort(wall);
    std::ranges::sort(cpu);
    std::printf("user-space tunnels: %zu processes, %d looks: wall median %.2f ms, worst %.2f "
                "ms; CPU median %.2f ms, worst %.2f ms (verdict: %s)\n",
                nProcesses, nLooks, wall[wall.size() / 2] * 1e3, wall.back() * 1e3,
                cpu[cpu.size() / 2] * 1e3, cpu.back() * 1e3, strVerdict.c_str());
    return 0;
}
