#pragma once

#include <string>
#include <sys/types.h>

// The right to record into one usage file: an exclusive lock on "<file>-writer" that the kernel
// releases when the holder ends, however it ends. The file holds the holder's process id, so that
// the others can say who records.
class CWriterLock {
public:
    // Tries once; never waits.
    explicit CWriterLock(const std::string& strUsagePath);
    CWriterLock(const CWriterLock&) = delete;
    CWriterLock& operator=(const CWriterLock&) = delete;

    bool IsHeld() const { return m_bHeld; }
    // Tries again when not held; true when held now.
    bool TryAcquire();
    // When another process holds it: that process's id as it wrote it (0 when unknown).
    pid_t GetHolder() const { return m_nHolder; }
    // When the lock file could not even be opened: the system's reason ("" otherwise).
    const std::string& GetError() const { return m_strError; }

private:
    struct CFd {
        int hFd = -1;
        CFd() = default;
        CFd(const CFd&) = delete;
        CFd& operator=(const CFd&) = delete;
        ~CFd();
    };

    std::string m_strPath;
    CFd m_fd;
    bool m_bHeld = false;
    pid_t m_nHolder = 0;
    std::string m_strError;
};
