// orvekd: Orvek's system service. Counts from boot, records into the usage file and serves every
// local user's Orvek on its socket (see CDaemon).

#include "Capabilities.h"
#include "Daemon.h"
#include "DaemonOptions.h"
#include "KernelFlowOwners.h"
#include "ZarnException.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    DaemonOptions options;
    std::string strError;
    if (!ParseDaemonOptions(std::vector<std::string>(argv + 1, argv + argc), options, strError)) {
        std::fprintf(stderr, "orvekd: %s\n%s", strError.c_str(), DaemonUsage());
        return 2;
    }
    if (options.bHelp) {
        std::fputs(DaemonUsage(), stdout);
        return 0;
    }
    if (options.bVersion) {
        std::printf("orvekd %s\n", ORVEK_VERSION);
        return 0;
    }
    // The usage file and its folder are read by every user; nothing else is made.
    umask(022);
    try {
        // The in-kernel flow owners name the application of every flow, even one that closed at
        // once; loading and attaching them needs CAP_BPF and CAP_NET_ADMIN (CAP_PERFMON makes them
        // cheaper and lets them keep senders' names), which go right after: reading them needs
        // only their descriptors. Else the socket diagnostics alone do.
        std::string strRefusal;
        const std::unique_ptr<CKernelFlowOwners> pFlowOwners =
            CKernelFlowOwners::TryLoad(strRefusal);
        if (pFlowOwners) {
            std::fprintf(stderr, "orvekd: applications: in-kernel\n");
        } else {
            std::fprintf(stderr, "orvekd: applications: socket diagnostics (%s)\n",
                         strRefusal.c_str());
        }
        // Capturing, and reading other users' descriptors: a VPN program holding a tun device is
        // found by its sockets, and such programs mostly run as root; without that right their
        // traffic would count twice, inside the tunnel and on the uplink. The addresses, the
        // devices and the control groups that name applications are open to every user.
        KeepOnlyCapabilities({CAP_NET_RAW, CAP_SYS_PTRACE});
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        // Before any thread: every thread inherits the mask, and the stop signals reach the loop
        // only through the descriptor.
        sigset_t signals;
        sigemptyset(&signals);
        for (const int nSignal : {SIGTERM, SIGINT, SIGHUP}) {
            sigaddset(&signals, nSignal);
        }
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        signal(SIGPIPE, SIG_IGN);
        const CZarnFd hSignals(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
        if (!hSignals.IsOpen()) {
            throw CZarnException(errno);
        }
        CEventLoop loop;
        DaemonConfig config;
        config.strStateDir = options.strStateDir;
        config.strSocket = options.strSocket;
        config.strCaptureGroup =
            options.strCaptureGroup.empty() ? InstalledCaptureGroup() : options.strCaptureGroup;
        if (options.bMetrics) {
            config.strMetricsAddress = options.strMetricsAddress;
            config.nMetricsPort = options.nMetricsPort;
        }
        config.pFlowOwners = pFlowOwners.get();
        CDaemon daemon(config, loop);
        loop.Watch(hSignals.Get(), [&] {
            signalfd_siginfo info{};
            while (read(hSignals.Get(), &info, sizeof info) > 0) {
            }
            loop.Quit();
        });
        const std::string strMetrics =
            options.bMetrics ? ", metrics on port " + std::to_string(daemon.GetMetricsPort()) : "";
        std::fprintf(stderr, "orvekd: counting; records into %s/usage.sqlite, serves %s%s\n",
                     options.strStateDir.c_str(), options.strSocket.c_str(), strMetrics.c_str());
        loop.Run();
        return 0;
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "orvekd: %s\n", e.what());
        return 1;
    } catch (...) {
        std::fprintf(stderr, "orvekd: %s\n", DescribeError(CurrentError()).c_str());
        return 1;
    }
}
