#include "WriterLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

CWriterLock::CFd::~CFd() {
    if (hFd >= 0) {
        ::close(hFd);
    }
}

CWriterLock::CWriterLock(const std::string& strUsagePath) : m_strPath(strUsagePath + "-writer") {
    TryAcquire();
}

bool CWriterLock::TryAcquire() {
    if (m_bHeld) {
        return true;
    }
    m_strError.clear();
    m_nHolder = 0;
    if (m_fd.hFd < 0) {
        m_fd.hFd = ::open(m_strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd.hFd < 0) {
            m_strError = std::strerror(errno);
            return false;
        }
    }
    if (::flock(m_fd.hFd, LOCK_EX | LOCK_NB) != 0) {
        char szPid[32] = {};
        if (::pread(m_fd.hFd, szPid, sizeof szPid - 1, 0) > 0) {
            m_nHolder = static_cast<pid_t>(std::strtol(szPid, nullptr, 10));
        }
        return false;
    }
    m_bHeld = true;
    const std::string strPid = std::to_string(::getpid()) + "\n";
    // Only a note for the message of others: a failure to write it changes nothing.
    if (::ftruncate(m_fd.hFd, 0) == 0 && ::pwrite(m_fd.hFd, strPid.data(), strPid.size(), 0) < 0) {
        m_strError.clear();
    }
    return true;
}
