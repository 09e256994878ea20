#include "HelperProcess.h"

#include "Protocol.h"
#include "ZarnException.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// Debian 12's C library declares these without C linkage.
extern "C" {
#include <sys/pidfd.h>
}

namespace {

std::string CannotRun(const std::string& strPath, int nError) {
    return "Cannot run Orvek's capture helper " + strPath + ": " + std::strerror(nError);
}

struct SpawnActions {
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    posix_spawn_file_actions_t actions;
};

struct SpawnAttributes {
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    posix_spawnattr_t attributes;
};

} // namespace

CHelperProcess::CHelperProcess(const std::string& strPath) {
    int hPair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, hPair) != 0) {
        throw CZarnException(errno, CannotRun(strPath, errno).c_str());
    }
    m_socket.Reset(hPair[0]);
    CZarnFd hTheirs(hPair[1]);
    // Its end must not already sit where the child expects it: a copy onto itself would keep the
    // close-on-exec mark.
    if (hTheirs.Get() == kHelperSocketFd) {
        hTheirs = CZarnFd(fcntl(hTheirs.Get(), F_DUPFD_CLOEXEC, kHelperSocketFd + 1));
    }
    SpawnActions spawn;
    posix_spawn_file_actions_adddup2(&spawn.actions, hTheirs.Get(), kHelperSocketFd);
    posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&spawn.actions, kHelperSocketFd + 1);
    SpawnAttributes attributes;
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes.attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes.attributes, &signals);
    posix_spawnattr_setpgroup(&attributes.attributes, 0);
    posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGMASK |
                                                         POSIX_SPAWN_SETSIGDEF |
                                                         POSIX_SPAWN_SETPGROUP);
    char szName[] = "orvek-capture";
    char* argv[] = {szName, nullptr};
    const int nError = hTheirs.IsOpen() ? posix_spawn(&m_nPid, strPath.c_str(), &spawn.actions,
                                                      &attributes.attributes, argv, environ)
                                        : errno;
    if (nError != 0) {
        m_nPid = -1;
        throw CZarnException(nError, CannotRun(strPath, nError).c_str());
    }
    m_hPidFd.Reset(pidfd_open(m_nPid, 0));
    if (!m_hPidFd.IsOpen()) {
        const int nOpenError = errno;
        kill(m_nPid, SIGKILL);
        waitpid(m_nPid, nullptr, 0);
        m_bReaped = true;
        throw CZarnException(nOpenError, CannotRun(strPath, nOpenError).c_str());
    }
}

CHelperProcess::~CHelperProcess() {
    if (m_nPid > 0 && !m_bReaped) {
        Kill();
        waitpid(m_nPid, nullptr, 0);
    }
}

void CHelperProcess::Kill() const {
    pidfd_send_signal(m_hPidFd.Get(), SIGKILL, nullptr, 0);
}

std::string CHelperProcess::WaitForExit(int nGraceMs) {
    pollfd exited{m_hPidFd.Get(), POLLIN, 0};
    while (poll(&exited, 1, nGraceMs) < 0 && errno == EINTR) {
    }
    if (exited.revents == 0) {
        Kill();
    }
    int nStatus = 0;
    while (waitpid(m_nPid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    m_bReaped = true;
    if (WIFSIGNALED(nStatus)) {
        const int nSignal = WTERMSIG(nStatus);
        const char* szName = sigdescr_np(nSignal);
        return "killed by signal " + std::to_string(nSignal) +
               (szName != nullptr ? std::string(" (") + szName + ")" : "");
    }
    return "exited with status " + std::to_string(WEXITSTATUS(nStatus));
}
