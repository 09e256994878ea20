#include "ZarnFd.h"

#include "ZarnException.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

CZarnFd& CZarnFd::operator=(CZarnFd&& other) noexcept {
    if (this != &other) {
        Reset(other.Release());
    }
    return *this;
}

int CZarnFd::Release() {
    const int hFd = m_hFd;
    m_hFd = -1;
    return hFd;
}

void CZarnFd::Reset(int hFd) {
    if (m_hFd >= 0) {
        ::close(m_hFd);
    }
    m_hFd = hFd;
}

CZarnEvent::CZarnEvent() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_fd.IsOpen()) {
        throw CZarnException(errno);
    }
}

void CZarnEvent::Set() {
    const uint64_t nOne = 1;
    // The counter only has to become non-zero; a full counter (EAGAIN) is already set.
    while (::write(m_fd.Get(), &nOne, sizeof nOne) < 0 && errno == EINTR) {
    }
}

void CZarnEvent::Reset() {
    uint64_t nCount = 0;
    while (::read(m_fd.Get(), &nCount, sizeof nCount) < 0 && errno == EINTR) {
    }
}

bool CZarnEvent::IsSet() const {
    pollfd pfd{m_fd.Get(), POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0;
}
