// orvek-capture: Orvek's capture helper. The only program of Orvek that holds CAP_NET_RAW; orvek
// and orvek-headless start it as a child with their end of a socket pair and get counts from it.

#include "Capabilities.h"
#include "HelperSession.h"
#include "HelperStart.h"
#include "KernelFlowOwners.h"
#include "ZarnException.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

int main(int argc, char** argv) {
    SecureEnvironment();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("orvek-capture %s\n", ORVEK_VERSION);
        return 0;
    }
    // No option names a file or a library: there are none to take.
    if (argc > 1 || !IsStartedByClient(kHelperSocketFd)) {
        std::fputs("orvek-capture is Orvek's capture helper: orvek and orvek-headless start it, "
                   "it is not run by hand and takes no options but --version.\n",
                   stderr);
        return 2;
    }
    try {
        // Run by root (or given CAP_BPF and CAP_NET_ADMIN) it loads the in-kernel flow owners,
        // which name even a connection that closed at once; reading them needs only their
        // descriptors. Loaded is what root expects, so it goes unsaid (a client's standard error
        // stays its own); root's helper refused says why once. A user's helper, given CAP_NET_RAW
        // alone, is always refused and says nothing: its meter asks the socket diagnostics.
        std::string strRefusal;
        const std::unique_ptr<CKernelFlowOwners> pFlowOwners =
            CKernelFlowOwners::TryLoad(strRefusal);
        if (!pFlowOwners && geteuid() == 0) {
            std::fprintf(stderr, "orvek-capture: applications: socket diagnostics (%s)\n",
                         strRefusal.c_str());
        }
        // Run by root it also keeps the right to read other processes' descriptors, so that it
        // finds the VPN program holding a tun device whoever runs it (root's own programs hold
        // capabilities this one lacks); root's uid already owns the system's files. A user's
        // helper, given CAP_NET_RAW by its file, has no such right to keep.
        KeepOnlyCapabilities({CAP_NET_RAW, CAP_SYS_PTRACE});
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        // Before any thread: every thread inherits the mask, and the signals reach the session
        // only through the descriptor: those that stop it, and the monitor's test hook.
        sigset_t signals;
        sigemptyset(&signals);
        for (const int nSignal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
            sigaddset(&signals, nSignal);
        }
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        const CZarnFd hSignals(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
        if (!hSignals.IsOpen()) {
            throw CZarnException(errno);
        }
        CHelperSession session(kHelperSocketFd, hSignals.Get(), pFlowOwners.get());
        return session.Run();
    } catch (...) {
        std::fprintf(stderr, "orvek-capture: %s\n", DescribeError(CurrentError()).c_str());
        return CHelperSession::kFailed;
    }
}
